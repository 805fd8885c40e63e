// The client side of a QUIC version 1 connection up to its ClientHello:
// Initial packets decrypted with the initial keys, CRYPTO frames gathered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture/tls_hello.h"

namespace ostrel_capture {

// A long-header version 1 Initial packet starts the datagram.
bool LooksLikeQuicInitial(const uint8_t *data, size_t size);

class QuicClientHello
{
public:
    // One UDP datagram from the client (coalesced packets allowed). The keys
    // come from the DCID of the first Initial seen. FOUND sets `ja4` ("q...");
    // NOT_HELLO: the connection gives no ClientHello (not QUIC v1, bad data,
    // over the bound).
    HelloStatus Datagram(const uint8_t *data, size_t size, std::string &ja4);

private:
    bool have_keys = false;
    uint8_t key[16] = {};
    uint8_t iv[12] = {};
    uint8_t hp[16] = {};
    std::map<uint64_t, std::vector<uint8_t>> crypto; // CRYPTO data by offset
    size_t crypto_bytes = 0;
    bool failed = false;
};

} // namespace ostrel_capture
