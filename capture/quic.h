// The client side of a QUIC connection (version 1, 2 or a late draft) up to its ClientHello:
// Initial packets decrypted with the initial keys, CRYPTO frames gathered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture/tls_hello.h"
#include "capture/step.h"

namespace ostrel_capture {

// What differs between the QUIC versions read: version 1, version 2 and the
// drafts 23 to 34.
struct QuicVersion {
    const uint8_t *salt; // 20 bytes
    const char *key_label;
    const char *iv_label;
    const char *hp_label;
    unsigned initial_type; // long-header packet type bits
    unsigned zero_rtt_type;
    unsigned retry_type;
};

// Null for a version this path does not read.
const QuicVersion *FindQuicVersion(uint32_t number);

// A long-header Initial or 0-RTT packet of a version read here starts the
// datagram: what a client sends first.
bool LooksLikeQuicClientStart(const uint8_t *data, size_t size);

class QuicClientHello
{
public:
    // One UDP datagram from the client (coalesced packets allowed). The keys
    // come from the DCID of the first Initial seen. FOUND sets `ja4` ("q...");
    // NOT_HELLO: the connection gives no ClientHello (not QUIC v1, bad data,
    // over the bound). Once FOUND or NOT_HELLO, later calls give the same.
    HelloStatus Datagram(const uint8_t *data, size_t size, std::string &ja4);
    // Heap bytes held for the ClientHello (its CRYPTO pieces), roughly.
    size_t Memory() const { return crypto_bytes + crypto.size() * 64; }

private:
    // One long-header packet at `data` (`size` bytes to the datagram's end).
    // Returns the bytes it spans, 0 when its header does not hold together.
    size_t Packet(const uint8_t *data, size_t size);
    bool Decrypt(const uint8_t *packet, size_t pn_offset, size_t packet_size);
    void Frames(const uint8_t *data, size_t size);
    void AddCrypto(uint64_t offset, const uint8_t *data, size_t size);
    HelloStatus Assemble(std::string &ja4);

    bool have_keys = false;
    const QuicVersion *version = nullptr; // the first Initial's, once keys are made
    uint32_t version_number = 0;
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

// The client's Initial key, iv and header protection key from the DCID
// (version 1 unless another is given).
bool DeriveClientInitial(
    const uint8_t *dcid, size_t dcid_size, uint8_t key[16], uint8_t iv[12], uint8_t hp[16]);
bool DeriveClientInitial(const uint8_t *dcid, size_t dcid_size, uint8_t key[16], uint8_t iv[12],
    uint8_t hp[16], const QuicVersion &version);
// AES-128-ECB of the 16-byte sample with the header protection key.
bool HeaderMask(const uint8_t hp[16], const uint8_t sample[16], uint8_t mask[16]);
// The full packet number from its `pn_bytes` low bytes, next to the largest
// number seen so far (none: `have_largest` false).
uint64_t DecodePacketNumber(bool have_largest, uint64_t largest, uint64_t truncated, size_t pn_bytes);

} // namespace detail

// The step of the protocol table: the client's datagrams up to the JA4 of
// its ClientHello; DONE once it is found or cannot be.
DatagramVerdict QuicStep(const Datagram &in, Attributes &out);

} // namespace ostrel_capture
