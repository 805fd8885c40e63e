// QUIC Initial packets from the client (version 1, 2 and late drafts): header protection removed,
// the payload decrypted with the initial keys (libcrypto does the crypto),
// CRYPTO frames gathered by offset until the ClientHello is whole.
#include "capture/quic.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <cstring>
#include <iterator>
#include <memory>

#include "capture/byte_reader.h"

namespace ostrel_capture {
namespace {

constexpr uint32_t QUIC_V1 = 0x00000001;
constexpr uint32_t QUIC_V2 = 0x6b3343cf;
constexpr size_t MAX_CID = 20;
constexpr size_t MIN_FIRST_DCID = 8; // a client's first DCID is at least this long
constexpr size_t SAMPLE_SIZE = 16;
constexpr size_t TAG_SIZE = 16;
constexpr size_t SECRET_SIZE = 32;
constexpr uint64_t MAX_CRYPTO = 64 * 1024; // CRYPTO stream bytes read for one hello
constexpr size_t MAX_PIECES = 256; // disjoint pieces held before the gaps are closed

constexpr uint8_t LONG_HEADER = 0x80;
constexpr uint8_t FIXED_BIT = 0x40;

constexpr uint8_t FRAME_PADDING = 0x00;
constexpr uint8_t FRAME_PING = 0x01;
constexpr uint8_t FRAME_ACK = 0x02;
constexpr uint8_t FRAME_ACK_ECN = 0x03;
constexpr uint8_t FRAME_CRYPTO = 0x06;

const uint8_t INITIAL_SALT_V1[] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17, 0x9a, 0xe6,
    0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
const uint8_t INITIAL_SALT_V2[] = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93, 0x81, 0xbe,
    0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};
const uint8_t INITIAL_SALT_DRAFT_29[] = {0xaf, 0xbf, 0xec, 0x28, 0x99, 0x93, 0xd2, 0x4c, 0x9e, 0x97, 0x86,
    0xf1, 0x9c, 0x61, 0x11, 0xe0, 0x43, 0x90, 0xa8, 0x99};
const uint8_t INITIAL_SALT_DRAFT_23[] = {0xc3, 0xee, 0xf7, 0x12, 0xc7, 0x2e, 0xbb, 0x5a, 0x11, 0xa7, 0xd2,
    0x43, 0x2b, 0xb4, 0x63, 0x65, 0xbe, 0xf9, 0xf5, 0x02};

const QuicVersion VERSION_1 {INITIAL_SALT_V1, "quic key", "quic iv", "quic hp", 0, 1, 3};
const QuicVersion VERSION_2 {INITIAL_SALT_V2, "quicv2 key", "quicv2 iv", "quicv2 hp", 1, 2, 0};

// A variable-length integer at data[pos]; false when it runs past `size`.
bool ReadVarint(const uint8_t *data, size_t size, size_t &pos, uint64_t &value)
{
    if (pos >= size) return false;
    size_t length = size_t {1} << (data[pos] >> 6);
    if (size - pos < length) return false;
    value = data[pos] & 0x3f;
    for (size_t i = 1; i < length; ++i)
        value = value << 8 | data[pos + i];
    pos += length;
    return true;
}

// HKDF with SHA-256 in one mode (extract only or expand only).
bool Hkdf(int mode, const uint8_t *key, size_t key_size, const uint8_t *salt_or_info, size_t extra_size,
    uint8_t *out, size_t out_size)
{
    EVP_KDF *kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    if (kdf == nullptr) return false;
    EVP_KDF_CTX *ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (ctx == nullptr) return false;
    char digest[] = "SHA256";
    const char *extra_name
        = mode == EVP_KDF_HKDF_MODE_EXTRACT_ONLY ? OSSL_KDF_PARAM_SALT : OSSL_KDF_PARAM_INFO;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t *>(key), key_size),
        OSSL_PARAM_construct_octet_string(extra_name, const_cast<uint8_t *>(salt_or_info), extra_size),
        OSSL_PARAM_construct_end(),
    };
    bool ok = EVP_KDF_derive(ctx, out, out_size, params) == 1;
    EVP_KDF_CTX_free(ctx);
    return ok;
}

// HKDF-Expand-Label of TLS 1.3 with an empty context.
bool ExpandLabel(const uint8_t secret[SECRET_SIZE], const char *label, uint8_t *out, size_t out_size)
{
    static const char PREFIX[] = "tls13 ";
    size_t prefix_size = sizeof PREFIX - 1;
    size_t label_size = std::strlen(label);
    uint8_t info[64];
    size_t n = 0;
    info[n++] = static_cast<uint8_t>(out_size >> 8);
    info[n++] = static_cast<uint8_t>(out_size);
    info[n++] = static_cast<uint8_t>(prefix_size + label_size);
    std::memcpy(info + n, PREFIX, prefix_size);
    n += prefix_size;
    std::memcpy(info + n, label, label_size);
    n += label_size;
    info[n++] = 0; // context length
    return Hkdf(EVP_KDF_HKDF_MODE_EXPAND_ONLY, secret, SECRET_SIZE, info, n, out, out_size);
}

class CipherContext
{
public:
    CipherContext()
        : ctx(EVP_CIPHER_CTX_new())
    {
    }
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
    CipherContext(const CipherContext &) = delete;
    CipherContext &operator=(const CipherContext &) = delete;
    EVP_CIPHER_CTX *get() const { return ctx; }

private:
    EVP_CIPHER_CTX *ctx;
};

// AES-128-GCM open in place; false when the tag does not match.
bool OpenInPlace(const uint8_t key[16], const uint8_t nonce[12], const uint8_t *aad, size_t aad_size,
    uint8_t *text, size_t text_size, const uint8_t tag[TAG_SIZE])
{
    CipherContext cipher;
    EVP_CIPHER_CTX *ctx = cipher.get();
    uint8_t tag_copy[TAG_SIZE];
    std::memcpy(tag_copy, tag, TAG_SIZE);
    int out_size = 0;
    return ctx != nullptr && EVP_DecryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, nullptr, nullptr) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1
        && EVP_DecryptInit_ex(ctx, nullptr, nullptr, key, nonce) == 1
        && EVP_DecryptUpdate(ctx, nullptr, &out_size, aad, static_cast<int>(aad_size)) == 1
        && EVP_DecryptUpdate(ctx, text, &out_size, text, static_cast<int>(text_size)) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, TAG_SIZE, tag_copy) == 1
        && EVP_DecryptFinal_ex(ctx, text + out_size, &out_size) == 1;
}

} // namespace

// Drafts 23 to 34 (0xff0000NN) differ from version 1 in their salt only, and
// from 33 on not even there.
const QuicVersion *FindQuicVersion(uint32_t number)
{
    static const QuicVersion DRAFT_23 {INITIAL_SALT_DRAFT_23, "quic key", "quic iv", "quic hp", 0, 1, 3};
    static const QuicVersion DRAFT_29 {INITIAL_SALT_DRAFT_29, "quic key", "quic iv", "quic hp", 0, 1, 3};
    if (number == QUIC_V1 || number == 0xff000021 || number == 0xff000022) return &VERSION_1;
    if (number == QUIC_V2) return &VERSION_2;
    if (number >= 0xff00001d && number <= 0xff000020) return &DRAFT_29;
    if (number >= 0xff000017 && number <= 0xff00001c) return &DRAFT_23;
    return nullptr;
}

namespace detail {

bool DeriveClientInitial(const uint8_t *dcid, size_t dcid_size, uint8_t key[16], uint8_t iv[12],
    uint8_t hp[16], const QuicVersion &version)
{
    uint8_t initial_secret[SECRET_SIZE];
    uint8_t client_secret[SECRET_SIZE];
    return Hkdf(EVP_KDF_HKDF_MODE_EXTRACT_ONLY, dcid, dcid_size, version.salt, sizeof INITIAL_SALT_V1,
               initial_secret, SECRET_SIZE)
        && ExpandLabel(initial_secret, "client in", client_secret, SECRET_SIZE)
        && ExpandLabel(client_secret, version.key_label, key, 16)
        && ExpandLabel(client_secret, version.iv_label, iv, 12)
        && ExpandLabel(client_secret, version.hp_label, hp, 16);
}

bool DeriveClientInitial(
    const uint8_t *dcid, size_t dcid_size, uint8_t key[16], uint8_t iv[12], uint8_t hp[16])
{
    return DeriveClientInitial(dcid, dcid_size, key, iv, hp, VERSION_1);
}

bool HeaderMask(const uint8_t hp[16], const uint8_t sample[16], uint8_t mask[16])
{
    CipherContext cipher;
    EVP_CIPHER_CTX *ctx = cipher.get();
    int out_size = 0;
    return ctx != nullptr && EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, hp, nullptr) == 1
        && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_EncryptUpdate(ctx, mask, &out_size, sample, 16) == 1
        && out_size == 16;
}

uint64_t DecodePacketNumber(bool have_largest, uint64_t largest, uint64_t truncated, size_t pn_bytes)
{
    uint64_t expected = have_largest ? largest + 1 : 0;
    uint64_t window = uint64_t {1} << (8 * pn_bytes);
    uint64_t half = window / 2;
    uint64_t candidate = (expected & ~(window - 1)) | truncated;
    if (candidate + half <= expected && candidate < (uint64_t {1} << 62) - window) return candidate + window;
    if (candidate > expected + half && candidate >= window) return candidate - window;
    return candidate;
}

} // namespace detail

bool LooksLikeQuicClientStart(const uint8_t *data, size_t size)
{
    if (size < 5 || (data[0] & (LONG_HEADER | FIXED_BIT)) != (LONG_HEADER | FIXED_BIT)) return false;
    const QuicVersion *version = FindQuicVersion(Read32(data + 1));
    if (version == nullptr) return false;
    unsigned type = (data[0] >> 4) & 0x03;
    return type == version->initial_type || type == version->zero_rtt_type;
}

HelloStatus QuicClientHello::Datagram(const uint8_t *data, size_t size, std::string &ja4)
{
    if (state == HelloStatus::FOUND) ja4 = found;
    if (state != HelloStatus::NEED_MORE || size == 0) return state;
    // The hello travels in the client's first Initials (0-RTT packets may come
    // first); a connection joined later, or one that is past its Initials (a
    // short header), gives none.
    if ((!have_keys && !LooksLikeQuicClientStart(data, size)) || (data[0] & LONG_HEADER) == 0) {
        state = HelloStatus::NOT_HELLO;
        return state;
    }
    size_t before = crypto_bytes;
    size_t pos = 0;
    while (pos < size && (data[pos] & LONG_HEADER) != 0 && state == HelloStatus::NEED_MORE) {
        size_t used = Packet(data + pos, size - pos);
        if (used == 0) break;
        pos += used;
    }
    if (state == HelloStatus::NEED_MORE && crypto_bytes != before) state = Assemble(ja4);
    if (state != HelloStatus::NEED_MORE) crypto.clear(); // done with it either way
    return state;
}

size_t QuicClientHello::Packet(const uint8_t *data, size_t size)
{
    if (size < 7 || (data[0] & FIXED_BIT) == 0) return 0;
    // One connection, one version: the first Initial's.
    const uint32_t number = Read32(data + 1);
    if (version != nullptr ? number != version_number : FindQuicVersion(number) == nullptr) return 0;
    const QuicVersion &packet_version = version != nullptr ? *version : *FindQuicVersion(number);
    unsigned type = (data[0] >> 4) & 0x03;
    if (type == packet_version.retry_type) return size; // no length field: it is the datagram's rest
    const bool initial = type == packet_version.initial_type;
    size_t pos = 5;
    size_t dcid_size = data[pos++];
    if (dcid_size > MAX_CID || size - pos < dcid_size + 1) return 0;
    const uint8_t *dcid = data + pos;
    pos += dcid_size;
    size_t scid_size = data[pos++];
    if (scid_size > MAX_CID || size - pos < scid_size) return 0;
    pos += scid_size;
    uint64_t value = 0;
    if (initial) {
        if (!ReadVarint(data, size, pos, value) || value > size - pos) return 0; // token
        pos += value;
    }
    if (!ReadVarint(data, size, pos, value) || value > size - pos) return 0; // length
    size_t packet_size = pos + value;
    if (!initial) return packet_size; // 0-RTT and Handshake: not ours to read
    if (!have_keys) {
        if (dcid_size < MIN_FIRST_DCID
            || !detail::DeriveClientInitial(dcid, dcid_size, key, iv, hp, packet_version)) {
            state = HelloStatus::NOT_HELLO;
            return 0;
        }
        have_keys = true;
        version = &packet_version;
        version_number = number;
    }
    Decrypt(data, pos, packet_size);
    return packet_size;
}

bool QuicClientHello::Decrypt(const uint8_t *packet, size_t pn_offset, size_t packet_size)
{
    // The sample sits as if the packet number were 4 bytes long, so this also
    // leaves room for the longest packet number and the tag.
    if (packet_size - pn_offset < 4 + SAMPLE_SIZE) return false;
    uint8_t mask[16];
    if (!detail::HeaderMask(hp, packet + pn_offset + 4, mask)) return false;
    std::vector<uint8_t> copy(packet, packet + packet_size);
    copy[0] ^= mask[0] & 0x0f;
    size_t pn_size = (copy[0] & 0x03) + 1;
    uint64_t truncated = 0;
    for (size_t i = 0; i < pn_size; ++i) {
        copy[pn_offset + i] ^= mask[1 + i];
        truncated = truncated << 8 | copy[pn_offset + i];
    }
    uint64_t number = detail::DecodePacketNumber(have_largest_pn, largest_pn, truncated, pn_size);
    uint8_t nonce[12];
    std::memcpy(nonce, iv, sizeof nonce);
    for (size_t i = 0; i < 8; ++i)
        nonce[11 - i] ^= static_cast<uint8_t>(number >> (8 * i));

    size_t header_size = pn_offset + pn_size;
    size_t text_size = packet_size - header_size - TAG_SIZE;
    uint8_t *text = copy.data() + header_size;
    // A packet that fails here is another party's or under other keys: skipped.
    if (!OpenInPlace(key, nonce, copy.data(), header_size, text, text_size, text + text_size)) return false;
    if (!have_largest_pn || number > largest_pn) largest_pn = number;
    have_largest_pn = true;
    Frames(text, text_size);
    return true;
}

void QuicClientHello::Frames(const uint8_t *data, size_t size)
{
    size_t pos = 0;
    uint64_t a = 0, b = 0;
    while (pos < size && state == HelloStatus::NEED_MORE) {
        uint8_t type = data[pos++];
        switch (type) {
        case FRAME_PADDING:
        case FRAME_PING:
            break;
        case FRAME_ACK:
        case FRAME_ACK_ECN: {
            uint64_t ranges = 0;
            // largest acknowledged, delay, range count, first range
            if (!ReadVarint(data, size, pos, a) || !ReadVarint(data, size, pos, a)
                || !ReadVarint(data, size, pos, ranges) || !ReadVarint(data, size, pos, a))
                return;
            // Each range takes at least two bytes, so a false count runs out here.
            for (uint64_t i = 0; i < ranges; ++i)
                if (!ReadVarint(data, size, pos, a) || !ReadVarint(data, size, pos, b)) return;
            if (type == FRAME_ACK_ECN
                && (!ReadVarint(data, size, pos, a) || !ReadVarint(data, size, pos, a)
                    || !ReadVarint(data, size, pos, a)))
                return;
            break;
        }
        case FRAME_CRYPTO:
            if (!ReadVarint(data, size, pos, a) || !ReadVarint(data, size, pos, b) || b > size - pos) return;
            AddCrypto(a, data + pos, b);
            pos += b;
            break;
        default:
            return; // frames an Initial may not carry, or ones we do not read
        }
    }
}

void QuicClientHello::AddCrypto(uint64_t offset, const uint8_t *data, size_t size)
{
    if (size == 0) return;
    if (offset > MAX_CRYPTO || size > MAX_CRYPTO - offset) {
        state = HelloStatus::NOT_HELLO;
        return;
    }
    // Only the bytes not held yet are kept, so retransmissions and overlaps
    // cost nothing and the pieces stay disjoint.
    uint64_t at = offset;
    uint64_t end = offset + size;
    while (at < end) {
        auto next = crypto.lower_bound(at);
        if (next != crypto.begin()) {
            auto prev = std::prev(next);
            uint64_t prev_end = prev->first + prev->second.size();
            if (prev_end > at) {
                at = prev_end;
                continue;
            }
        }
        if (next != crypto.end() && next->first == at) {
            at += next->second.size();
            continue;
        }
        uint64_t stop = end;
        if (next != crypto.end() && next->first < stop) stop = next->first;
        if (crypto.size() >= MAX_PIECES) {
            state = HelloStatus::NOT_HELLO;
            return;
        }
        crypto.emplace_hint(next, at, std::vector<uint8_t>(data + (at - offset), data + (stop - offset)));
        crypto_bytes += stop - at;
        at = stop;
    }
}

HelloStatus QuicClientHello::Assemble(std::string &ja4)
{
    auto it = crypto.begin();
    if (it == crypto.end() || it->first != 0) return HelloStatus::NEED_MORE;
    HelloStatus status;
    if (std::next(it) == crypto.end() || std::next(it)->first != it->second.size()) {
        // The common case: one piece from offset 0, read where it is.
        status = Ja4FromHandshake(it->second.data(), it->second.size(), 'q', found);
    } else {
        std::vector<uint8_t> joined;
        for (; it != crypto.end() && it->first == joined.size(); ++it)
            joined.insert(joined.end(), it->second.begin(), it->second.end());
        status = Ja4FromHandshake(joined.data(), joined.size(), 'q', found);
    }
    if (status == HelloStatus::FOUND) ja4 = found;
    return status;
}

namespace {

// A connection's Initials, gathered between datagrams.
struct QuicState : StepState {
    QuicClientHello hello;
    size_t Memory() const override { return sizeof(QuicClientHello) + hello.Memory(); }
};

} // namespace

DatagramVerdict QuicStep(const Datagram &in, Attributes &out)
{
    if (!*in.state) *in.state = std::make_unique<QuicState>();
    if (!in.from_client) return DatagramVerdict::MORE;
    std::string ja4;
    HelloStatus status = static_cast<QuicState &>(**in.state).hello.Datagram(in.data, in.size, ja4);
    if (status == HelloStatus::FOUND) out.Ja4(ja4);
    return status == HelloStatus::NEED_MORE ? DatagramVerdict::MORE : DatagramVerdict::DONE;
}

} // namespace ostrel_capture
