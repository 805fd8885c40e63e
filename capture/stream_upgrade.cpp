// Preludes are told apart by their first byte, then read field by field
// against the bytes there are: NEED_MORE only while every byte so far fits.
#include "capture/stream_upgrade.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace ostrel_capture {
namespace {

using S = PreludeStatus;

constexpr size_t MAX_COMMAND_LINES = 8; // lines a client sends before its upgrade command
constexpr size_t MAX_COMMAND_LINE = 512;
constexpr size_t MAX_XMPP_PRELUDE = 4096;
constexpr size_t MAX_LDAP_MESSAGES = 4; // a client may read the root DSE before StartTLS
constexpr size_t MAX_LDAP_MESSAGE = 4096;
constexpr size_t MAX_PROXY_V1 = 107;

// Whether `data` at `at` starts with `length` bytes of `text`.
S Starts(const uint8_t *data, size_t size, size_t at, const void *text, size_t length)
{
    const uint8_t *expected = static_cast<const uint8_t *>(text);
    for (size_t i = 0; i < length; ++i) {
        if (at + i >= size) return S::NEED_MORE;
        if (data[at + i] != expected[i]) return S::NONE;
    }
    return S::FOUND;
}

// The end of the first `text` at or after `from`, looked for within `bound`.
S After(const uint8_t *data, size_t size, size_t from, const char *text, size_t bound, size_t &end)
{
    size_t length = std::strlen(text);
    size_t limit = size < bound ? size : bound;
    for (size_t at = from; at + length <= limit; ++at) {
        if (std::memcmp(data + at, text, length) == 0) {
            end = at + length;
            return S::FOUND;
        }
    }
    return size < bound ? S::NEED_MORE : S::NONE;
}

S Found(Prelude &prelude, size_t size, bool tls_follows)
{
    prelude.size = size;
    prelude.tls_follows = tls_follows;
    return S::FOUND;
}

// PostgreSQL's SSLRequest: length 8, code 80877103.
S Postgres(const uint8_t *data, size_t size, Prelude &prelude)
{
    static const uint8_t REQUEST[] = {0, 0, 0, 8, 0x04, 0xd2, 0x16, 0x2f};
    S status = Starts(data, size, 0, REQUEST, sizeof(REQUEST));
    return status == S::FOUND ? Found(prelude, sizeof(REQUEST), true) : status;
}

// MySQL's SSL request: the first 32 bytes of a handshake response (packet 1)
// with CLIENT_SSL, sent in place of the whole response.
S MySql(const uint8_t *data, size_t size, Prelude &prelude)
{
    static const uint8_t HEADER[] = {32, 0, 0, 1};
    constexpr size_t PACKET = 4 + 32;
    constexpr uint32_t CLIENT_PROTOCOL_41 = 0x0200, CLIENT_SSL = 0x0800;
    S status = Starts(data, size, 0, HEADER, sizeof(HEADER));
    if (status != S::FOUND) return status;
    if (size < PACKET) return S::NEED_MORE;
    uint32_t capabilities = data[4] | data[5] << 8 | uint32_t {data[6]} << 16 | uint32_t {data[7]} << 24;
    if ((capabilities & (CLIENT_PROTOCOL_41 | CLIENT_SSL)) != (CLIENT_PROTOCOL_41 | CLIENT_SSL))
        return S::NONE;
    // The filler after capabilities, max packet and charset is zeros, but for
    // MariaDB's extended capabilities in its last 4 bytes.
    for (size_t i = 13; i < PACKET - 4; ++i) {
        if (data[i] != 0) return S::NONE;
    }
    return Found(prelude, PACKET, true);
}

// A zero-terminated text of at most 255 bytes at `at`.
S Terminated(const uint8_t *data, size_t size, size_t &at)
{
    size_t end = at;
    while (end < size && data[end] != 0 && end - at < 256)
        ++end;
    if (end - at >= 256) return S::NONE;
    if (end == size) return S::NEED_MORE;
    at = end + 1;
    return S::FOUND;
}

// SOCKS 4 CONNECT: 04 01, port, IPv4, user id; 4a (address 0.0.0.x) adds a host name.
S Socks4(const uint8_t *data, size_t size, Prelude &prelude)
{
    if (size < 2) return S::NEED_MORE;
    if (data[1] != 1) return S::NONE;
    if (size < 8) return S::NEED_MORE;
    bool named = data[4] == 0 && data[5] == 0 && data[6] == 0 && data[7] != 0;
    size_t at = 8;
    S status = Terminated(data, size, at);
    if (status == S::FOUND && named) status = Terminated(data, size, at);
    return status == S::FOUND ? Found(prelude, at, false) : status;
}

// SOCKS 5: the greeting, a user name and password when offered, the CONNECT request.
S Socks5(const uint8_t *data, size_t size, Prelude &prelude)
{
    if (size < 2) return S::NEED_MORE;
    size_t methods = data[1];
    size_t at = 2 + methods;
    if (methods == 0) return S::NONE;
    if (size <= at) return S::NEED_MORE;
    bool password = std::memchr(data + 2, 2, methods) != nullptr;
    if (data[at] == 1 && password) {
        if (size < at + 2) return S::NEED_MORE;
        if (data[at + 1] == 0) return S::NONE;
        at += 2 + data[at + 1];
        if (size <= at) return S::NEED_MORE;
        at += 1 + data[at];
    }
    static const uint8_t CONNECT[] = {5, 1, 0};
    S status = Starts(data, size, at, CONNECT, sizeof(CONNECT));
    if (status != S::FOUND) return status;
    at += sizeof(CONNECT);
    if (size <= at + 1) return S::NEED_MORE;
    size_t address = 0;
    switch (data[at]) {
    case 1:
        address = 4;
        break;
    case 3:
        if (data[at + 1] == 0) return S::NONE;
        address = 1 + data[at + 1];
        break;
    case 4:
        address = 16;
        break;
    default:
        return S::NONE;
    }
    at += 1 + address + 2;
    return size < at ? S::NEED_MORE : Found(prelude, at, false);
}

// PROXY protocol version 2: signature, version 2, LOCAL or PROXY, then its length.
S ProxyV2(const uint8_t *data, size_t size, Prelude &prelude)
{
    static const uint8_t SIGNATURE[]
        = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d, 0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};
    S status = Starts(data, size, 0, SIGNATURE, sizeof(SIGNATURE));
    if (status != S::FOUND) return status;
    if (size < 16) return S::NEED_MORE;
    if ((data[12] >> 4) != 2 || (data[12] & 0x0f) > 1) return S::NONE;
    size_t total = 16 + (size_t {data[14]} << 8 | data[15]);
    return size < total ? S::NEED_MORE : Found(prelude, total, false);
}

bool Printable(uint8_t c)
{
    return (c >= 0x20 && c < 0x7f) || c == '\t';
}

// PROXY protocol version 1: one text line.
S ProxyV1(const uint8_t *data, size_t size, Prelude &prelude)
{
    S status = Starts(data, size, 0, "PROXY ", 6);
    if (status != S::FOUND) return status;
    for (size_t at = 6; at + 1 < MAX_PROXY_V1; ++at) {
        if (at >= size) return S::NEED_MORE;
        if (data[at] == '\r') {
            if (at + 1 >= size) return S::NEED_MORE;
            if (data[at + 1] != '\n') return S::NONE;
            std::string line(reinterpret_cast<const char *>(data) + 6, at - 6);
            bool known
                = line.rfind("TCP4 ", 0) == 0 || line.rfind("TCP6 ", 0) == 0 || line.rfind("UNKNOWN", 0) == 0;
            return known ? Found(prelude, at + 2, false) : S::NONE;
        }
        if (!Printable(data[at])) return S::NONE;
    }
    return S::NONE;
}

// The commands that turn a text protocol to TLS.
bool IsUpgradeCommand(std::string line)
{
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    for (char &c : line)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    // SMTP, NNTP, ManageSieve; POP3; FTP (RFC 4217 and its forerunners).
    for (const char *command : {"starttls", "stls", "auth tls", "auth ssl", "auth tls-c", "auth tls-p"})
        if (line == command) return true;
    // IMAP: "<tag> STARTTLS".
    const std::string imap = " starttls";
    if (line.size() <= imap.size() || line.compare(line.size() - imap.size(), imap.size(), imap) != 0)
        return false;
    return line.find_first_of(" \t") == line.size() - imap.size();
}

bool IsLetters(const std::string &text, size_t from, size_t to)
{
    if (from >= to) return false;
    for (size_t i = from; i < to; ++i) {
        char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    return true;
}

// A command's verb first (SMTP, POP3, FTP), or a tag and then the verb
// (IMAP): a banner such as SSH's is neither.
bool IsCommandLine(const std::string &line)
{
    size_t space = std::min(line.find(' '), line.size());
    if (IsLetters(line, 0, space)) return true;
    if (space == 0 || space == line.size()) return false;
    return IsLetters(line, space + 1, std::min(line.find(' ', space + 1), line.size()));
}

// A few command lines of a text protocol, the last its upgrade command.
S Commands(const uint8_t *data, size_t size, Prelude &prelude)
{
    size_t at = 0;
    for (size_t lines = 0; lines < MAX_COMMAND_LINES; ++lines) {
        size_t end = at;
        for (; end < size && data[end] != '\n'; ++end) {
            if (end - at >= MAX_COMMAND_LINE || (!Printable(data[end]) && data[end] != '\r')) return S::NONE;
        }
        if (end == size) return S::NEED_MORE;
        size_t line_end = end > at && data[end - 1] == '\r' ? end - 1 : end;
        std::string line(reinterpret_cast<const char *>(data) + at, line_end - at);
        if (!IsCommandLine(line)) return S::NONE;
        if (IsUpgradeCommand(line)) return Found(prelude, end + 1, true);
        at = end + 1;
    }
    return S::NONE;
}

void SkipBlanks(const uint8_t *data, size_t size, size_t &at)
{
    while (at < size && (data[at] == ' ' || data[at] == '\t' || data[at] == '\r' || data[at] == '\n'))
        ++at;
}

// XMPP: an optional XML declaration, the stream's open tag, <starttls/>.
S Xmpp(const uint8_t *data, size_t size, Prelude &prelude)
{
    size_t at = 0;
    S status = S::FOUND;
    if (size < 5) return S::NEED_MORE;
    if (std::memcmp(data, "<?xml", 5) == 0) status = After(data, size, 5, "?>", MAX_XMPP_PRELUDE, at);
    if (status != S::FOUND) return status;
    SkipBlanks(data, size, at);
    status = Starts(data, size, at, "<stream:stream", 14);
    if (status == S::FOUND) status = After(data, size, at, ">", MAX_XMPP_PRELUDE, at);
    if (status != S::FOUND) return status;
    if (data[at - 2] == '/') return S::NONE; // a stream closed as it opens
    SkipBlanks(data, size, at);
    size_t tag = at;
    status = Starts(data, size, at, "<starttls", 9);
    if (status == S::FOUND) status = After(data, size, at, ">", MAX_XMPP_PRELUDE, at);
    if (status != S::FOUND) return status;
    std::string text(reinterpret_cast<const char *>(data) + tag, at - tag);
    if (std::strchr(" \t\r\n/>", text[9]) == nullptr
        || text.find("urn:ietf:params:xml:ns:xmpp-tls") == std::string::npos)
        return S::NONE;
    if (text[text.size() - 2] != '/') {
        SkipBlanks(data, size, at);
        status = Starts(data, size, at, "</starttls>", 11);
        if (status != S::FOUND) return status;
        at += 11;
    }
    return Found(prelude, at, true);
}

// A BER tag and definite length at `at`; `body` is where its content starts.
S Ber(const uint8_t *data, size_t size, size_t at, uint8_t tag, size_t &body, size_t &length)
{
    if (at >= size) return S::NEED_MORE;
    if (data[at] != tag) return S::NONE;
    if (at + 1 >= size) return S::NEED_MORE;
    length = data[at + 1];
    body = at + 2;
    if ((length & 0x80) != 0) {
        size_t count = length & 0x7f;
        if (count == 0 || count > 3) return S::NONE;
        if (body + count > size) return S::NEED_MORE;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = length << 8 | data[body + i];
        body += count;
    }
    return S::FOUND;
}

// LDAP: messages (SEQUENCE, message id, operation) up to an ExtendedRequest
// whose name is the StartTLS OID.
S Ldap(const uint8_t *data, size_t size, Prelude &prelude)
{
    static const char START_TLS[] = "1.3.6.1.4.1.1466.20037";
    size_t at = 0;
    for (size_t messages = 0; messages < MAX_LDAP_MESSAGES; ++messages) {
        size_t body = 0, length = 0, id = 0, id_length = 0;
        S status = Ber(data, size, at, 0x30, body, length);
        if (status != S::FOUND) return status;
        if (length > MAX_LDAP_MESSAGE) return S::NONE;
        size_t end = body + length;
        status = Ber(data, size, body, 0x02, id, id_length);
        if (status != S::FOUND) return status;
        if (id_length == 0 || id_length > 4 || id + id_length >= end) return S::NONE;
        if (size < end) return S::NEED_MORE;
        size_t op = id + id_length, request = 0, request_length = 0, name = 0, name_length = 0;
        if (data[op] == 0x77) {
            if (Ber(data, size, op, 0x77, request, request_length) != S::FOUND
                || request + request_length > end
                || Ber(data, size, request, 0x80, name, name_length) != S::FOUND
                || name + name_length > request + request_length)
                return S::NONE;
            if (name_length == sizeof(START_TLS) - 1 && std::memcmp(data + name, START_TLS, name_length) == 0)
                return Found(prelude, end, true);
        }
        at = end;
    }
    return S::NONE;
}

// The first parser that finds its prelude; else whether either may still.
S Either(S first, S second)
{
    if (first == S::FOUND || second == S::FOUND) return S::FOUND;
    return first == S::NEED_MORE || second == S::NEED_MORE ? S::NEED_MORE : S::NONE;
}

} // namespace

PreludeStatus FindPrelude(const uint8_t *data, size_t size, Prelude &prelude)
{
    if (size == 0) return S::NEED_MORE;
    switch (data[0]) {
    case 0x00:
        return Postgres(data, size, prelude);
    case 0x04:
        return Socks4(data, size, prelude);
    case 0x05:
        return Socks5(data, size, prelude);
    case 0x0d:
        return ProxyV2(data, size, prelude);
    case 0x20:
        return MySql(data, size, prelude);
    case '<':
        return Xmpp(data, size, prelude);
    case '0': { // an LDAP message, or an IMAP tag of digits
        S ldap = Ldap(data, size, prelude);
        return ldap == S::FOUND ? ldap : Either(ldap, Commands(data, size, prelude));
    }
    case 'P': {
        S proxy = ProxyV1(data, size, prelude);
        return proxy == S::FOUND ? proxy : Either(proxy, Commands(data, size, prelude));
    }
    default:
        return Commands(data, size, prelude);
    }
}

bool IsConnectRequest(const uint8_t *data, size_t size)
{
    return size >= 8 && std::memcmp(data, "CONNECT ", 8) == 0;
}

StreamVerdict PreludeStep(const StreamBytes &in, Attributes &)
{
    Prelude prelude;
    PreludeStatus found = FindPrelude(in.data, in.size, prelude);
    if (found == PreludeStatus::NEED_MORE && !in.full && in.skipped + in.size < MAX_PRELUDE_REACH)
        return {StreamVerdict::WAIT, 0};
    if (found != PreludeStatus::FOUND || in.skipped + prelude.size > MAX_PRELUDE_REACH)
        return {StreamVerdict::DONE, 0};
    return {prelude.tls_follows ? StreamVerdict::TLS : StreamVerdict::ANY, prelude.size};
}

} // namespace ostrel_capture
