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
    // over the bound). Once FOUND or NOT_HELLO, later calls give the same.
    HelloStatus Datagram(const uint8_t *data, size_t size, std::string &ja4);

private:
    // One long-header packet at `data` (`size` bytes to the datagram's end).
    // Returns the bytes it spans, 0 when its header does not hold together.
    size_t Packet(const uint8_t *data, size_t size);
    bool Decrypt(const uint8_t *packet, size_t pn_offset, size_t packet_size);
    void Frames(const uint8_t *data, size_t size);
    void AddCrypto(uint64_t offset, const uint8_t *data, size_t size);
    HelloStatus Assemble(std::string &ja4);

    bool have_keys = false;
    uint8_t key[16] = {};
    uint8_t iv[12] = {};
    uint8_t hp[16] = {};
    bool have_largest_pn = false;
    uint64_t largest_pn = 0;
    // CRYPTO data by offset; pieces never overlap (bytes already held are
    // dropped on arrival), so what is held stays within the bound.
    std::map<uint64_t, std::vector<uint8_t>> crypto;
    size_t crypto_bytes = 0;
    HelloStatus state = HelloStatus::NEED_MORE;
    std::string found;
};

// Exposed for tests: the steps of RFC 9001 on their own.
namespace detail {

// The client's Initial key, iv and header protection key from the DCID.
bool DeriveClientInitial(
    const uint8_t *dcid, size_t dcid_size, uint8_t key[16], uint8_t iv[12], uint8_t hp[16]);
// AES-128-ECB of the 16-byte sample with the header protection key.
bool HeaderMask(const uint8_t hp[16], const uint8_t sample[16], uint8_t mask[16]);
// The full packet number from its `pn_bytes` low bytes, next to the largest
// number seen so far (none: `have_largest` false).
uint64_t DecodePacketNumber(bool have_largest, uint64_t largest, uint64_t truncated, size_t pn_bytes);

} // namespace detail

} // namespace ostrel_capture
