// TLS ClientHello to JA4. The hello is read in place where one record holds it
// whole; only a hello split over records is copied together. Every length is
// checked against the bytes that enclose it: a hello that does not hold
// together is NOT_HELLO, never a read past its end.
#include "capture/tls_hello.h"

#include <algorithm>
#include <vector>

#include <openssl/evp.h>

#include "capture/byte_reader.h"
#include "capture/protocols.h"

namespace ostrel_capture {
namespace {

constexpr size_t MAX_HELLO = 64 * 1024; // larger hellos are not read
constexpr size_t MAX_RECORD = 16384 + 2048; // TLSCiphertext bound: anything longer is not TLS
constexpr uint8_t CONTENT_HANDSHAKE = 22;
constexpr uint8_t HANDSHAKE_CLIENT_HELLO = 1;
constexpr size_t RECORD_HEADER = 5;
constexpr size_t HANDSHAKE_HEADER = 4;

constexpr uint16_t EXT_SERVER_NAME = 0x0000;
constexpr uint16_t EXT_ALPN = 0x0010;
constexpr uint16_t EXT_SIGNATURE_ALGORITHMS = 0x000d;
constexpr uint16_t EXT_SUPPORTED_VERSIONS = 0x002b;

const char HEX[] = "0123456789abcdef";

bool IsGrease(uint16_t value)
{
    return (value & 0x0f0f) == 0x0a0a && (value >> 8) == (value & 0xff);
}

struct ClientHello {
    uint16_t legacy_version = 0;
    uint16_t best_version = 0; // highest of supported_versions; 0 without
    bool server_name = false;
    const uint8_t *alpn = nullptr; // first ALPN value; null or empty: none
    size_t alpn_size = 0;
    std::vector<uint16_t> ciphers; // GREASE left out
    std::vector<uint16_t> extensions; // GREASE left out
    std::vector<uint16_t> signature_algorithms;
};

// Reads 16-bit values of a list whose byte length must be even; GREASE skipped.
bool ReadU16List(ByteReader list, std::vector<uint16_t> &out)
{
    if (list.Left() % 2 != 0) return false;
    while (list.Left() > 0) {
        uint16_t value = list.U16();
        if (!IsGrease(value)) out.push_back(value);
    }
    return true;
}

bool ReadAlpn(ByteReader ext, ClientHello &hello)
{
    ByteReader list = ext.Sub(ext.U16());
    if (!ext.Ok()) return false;
    if (list.Left() == 0) return true;
    size_t first_size = list.U8();
    const uint8_t *first = list.Here();
    list.Skip(first_size);
    if (!list.Ok()) return false;
    hello.alpn = first;
    hello.alpn_size = first_size;
    return true;
}

bool ReadSupportedVersions(ByteReader ext, ClientHello &hello)
{
    ByteReader list = ext.Sub(ext.U8());
    if (!ext.Ok() || list.Left() % 2 != 0) return false;
    while (list.Left() > 0) {
        uint16_t version = list.U16();
        if (!IsGrease(version)) hello.best_version = std::max(hello.best_version, version);
    }
    return true;
}

bool ReadExtension(uint16_t type, ByteReader ext, ClientHello &hello)
{
    switch (type) {
    case EXT_SERVER_NAME:
        hello.server_name = true;
        return true;
    case EXT_ALPN:
        return ReadAlpn(ext, hello);
    case EXT_SIGNATURE_ALGORITHMS: {
        ByteReader list = ext.Sub(ext.U16());
        return ext.Ok() && ReadU16List(list, hello.signature_algorithms);
    }
    case EXT_SUPPORTED_VERSIONS:
        return ReadSupportedVersions(ext, hello);
    default:
        return true;
    }
}

// The ClientHello body (after its handshake header).
bool ParseClientHello(const uint8_t *data, size_t size, ClientHello &hello)
{
    ByteReader body(data, size);
    hello.legacy_version = body.U16();
    body.Skip(32); // random
    body.Skip(body.U8()); // session id
    ByteReader ciphers = body.Sub(body.U16());
    if (!body.Ok() || !ReadU16List(ciphers, hello.ciphers)) return false;
    body.Skip(body.U8()); // compression methods
    if (!body.Ok()) return false;
    if (body.Left() == 0) return true; // a hello without extensions ends here
    ByteReader extensions = body.Sub(body.U16());
    if (!body.Ok()) return false;
    while (extensions.Left() > 0) {
        uint16_t type = extensions.U16();
        ByteReader ext = extensions.Sub(extensions.U16());
        if (!extensions.Ok()) return false;
        if (IsGrease(type)) continue;
        hello.extensions.push_back(type);
        if (!ReadExtension(type, ext, hello)) return false;
    }
    return true;
}

const char *VersionText(uint16_t version)
{
    switch (version) {
    case 0x0304:
        return "13";
    case 0x0303:
        return "12";
    case 0x0302:
        return "11";
    case 0x0301:
        return "10";
    case 0x0300:
        return "s3";
    case 0x0002:
        return "s2";
    case 0xfeff:
        return "d1";
    case 0xfefd:
        return "d2";
    case 0xfefc:
        return "d3";
    default:
        return "00";
    }
}

void AppendCount(std::string &out, size_t count)
{
    count = std::min<size_t>(count, 99);
    out += static_cast<char>('0' + count / 10);
    out += static_cast<char>('0' + count % 10);
}

bool IsAsciiAlnum(uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void AppendAlpn(std::string &out, const ClientHello &hello)
{
    if (hello.alpn == nullptr || hello.alpn_size == 0) {
        out += "00";
        return;
    }
    uint8_t first = hello.alpn[0];
    uint8_t last = hello.alpn[hello.alpn_size - 1];
    if (IsAsciiAlnum(first) && IsAsciiAlnum(last)) {
        out += static_cast<char>(first);
        out += static_cast<char>(last);
    } else {
        // First and last character of the value's hex form.
        out += HEX[first >> 4];
        out += HEX[last & 0x0f];
    }
}

void AppendHexList(std::string &out, const std::vector<uint16_t> &values)
{
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ',';
        uint16_t v = values[i];
        out += HEX[v >> 12];
        out += HEX[(v >> 8) & 0x0f];
        out += HEX[(v >> 4) & 0x0f];
        out += HEX[v & 0x0f];
    }
}

// First 12 hex characters of SHA-256 over `text`; twelve zeros for no text.
void AppendHashPrefix(std::string &out, const std::string &text)
{
    if (text.empty()) {
        out += "000000000000";
        return;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &digest_size, EVP_sha256(), nullptr) != 1
        || digest_size < 6) {
        out += "000000000000"; // libcrypto failing here is not a packet's fault; keep the shape
        return;
    }
    for (size_t i = 0; i < 6; ++i) {
        out += HEX[digest[i] >> 4];
        out += HEX[digest[i] & 0x0f];
    }
}

std::string FormatJa4(ClientHello &hello, char transport)
{
    std::string out;
    out.reserve(40);
    out += transport;
    out += VersionText(hello.best_version != 0 ? hello.best_version : hello.legacy_version);
    out += hello.server_name ? 'd' : 'i';
    AppendCount(out, hello.ciphers.size());
    AppendCount(out, hello.extensions.size());
    AppendAlpn(out, hello);
    out += '_';

    std::string text;
    std::sort(hello.ciphers.begin(), hello.ciphers.end());
    AppendHexList(text, hello.ciphers);
    AppendHashPrefix(out, text);
    out += '_';

    auto &exts = hello.extensions;
    exts.erase(std::remove_if(exts.begin(), exts.end(),
                   [](uint16_t t) { return t == EXT_SERVER_NAME || t == EXT_ALPN; }),
        exts.end());
    std::sort(exts.begin(), exts.end());
    text.clear();
    AppendHexList(text, exts);
    if (!exts.empty() && !hello.signature_algorithms.empty()) {
        text += '_';
        AppendHexList(text, hello.signature_algorithms);
    }
    AppendHashPrefix(out, text);
    return out;
}

} // namespace

HelloStatus Ja4FromHandshake(const uint8_t *data, size_t size, char transport, std::string &ja4)
{
    if (size == 0) return HelloStatus::NEED_MORE;
    if (data[0] != HANDSHAKE_CLIENT_HELLO) return HelloStatus::NOT_HELLO;
    if (size < HANDSHAKE_HEADER) return HelloStatus::NEED_MORE;
    size_t length = size_t {data[1]} << 16 | size_t {data[2]} << 8 | data[3];
    if (length > MAX_HELLO) return HelloStatus::NOT_HELLO;
    if (size - HANDSHAKE_HEADER < length) return HelloStatus::NEED_MORE;
    ClientHello hello;
    if (!ParseClientHello(data + HANDSHAKE_HEADER, length, hello)) return HelloStatus::NOT_HELLO;
    ja4 = FormatJa4(hello, transport);
    return HelloStatus::FOUND;
}

HelloStatus Ja4FromTlsStream(const uint8_t *data, size_t size, std::string &ja4)
{
    // The handshake bytes: a view of the first record's fragment, copied into
    // `joined` only once a second record is needed.
    const uint8_t *handshake = nullptr;
    size_t handshake_size = 0;
    std::vector<uint8_t> joined;
    size_t pos = 0;
    for (;;) {
        size_t left = size - pos;
        const uint8_t *record = data + pos;
        if (left >= 1 && record[0] != CONTENT_HANDSHAKE) return HelloStatus::NOT_HELLO;
        if (left >= 2 && record[1] != 3) return HelloStatus::NOT_HELLO;
        if (left < RECORD_HEADER) return HelloStatus::NEED_MORE;
        size_t length = Read16(record + 3);
        if (length == 0 || length > MAX_RECORD) return HelloStatus::NOT_HELLO;
        size_t present = std::min(length, left - RECORD_HEADER);
        const uint8_t *fragment = record + RECORD_HEADER;
        if (handshake == nullptr) {
            handshake = fragment;
            handshake_size = present;
        } else {
            if (joined.empty()) joined.assign(handshake, handshake + handshake_size);
            joined.insert(joined.end(), fragment, fragment + present);
            handshake = joined.data();
            handshake_size = joined.size();
        }
        HelloStatus status = Ja4FromHandshake(handshake, handshake_size, 't', ja4);
        if (status != HelloStatus::NEED_MORE || present < length) return status;
        pos += RECORD_HEADER + length;
    }
}

bool StartsTlsRecord(const uint8_t *data, size_t size)
{
    return size > 0 && data[0] == CONTENT_HANDSHAKE;
}

StreamVerdict TlsStep(const StreamBytes &in, Attributes &out)
{
    std::string ja4;
    HelloStatus status = Ja4FromTlsStream(in.data, in.size, ja4);
    if (status == HelloStatus::NEED_MORE && !in.full) return {StreamVerdict::WAIT, 0};
    if (status != HelloStatus::NOT_HELLO) out.Detected(PROTO_TLS);
    if (status == HelloStatus::FOUND) out.Ja4(ja4);
    return {StreamVerdict::DONE, 0};
}

} // namespace ostrel_capture
