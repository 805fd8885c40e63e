#include "capture/http.h"

#include <cstring>

#include "capture/flow_record.h"
#include "capture/protocols.h"
#include "capture/stream_upgrade.h"

namespace ostrel_capture {
namespace {

// Longest method taken: the registered ones have at most 17 letters.
constexpr size_t MAX_METHOD = 32;
constexpr uint64_t MAX_HTTP_BODY = 1ULL << 30; // a longer body is not skipped to a next request

// The token characters a method is made of.
bool IsTokenChar(char c)
{
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

enum class Start { REQUEST, PARTIAL, OTHER };

// A request line is METHOD SP target SP HTTP/1.x, the method any token: RTSP,
// SIP and other look-alikes share the shape but not the version. On REQUEST
// `line_end` is the offset after its newline.
Start MatchRequestLine(const char *data, size_t size, size_t &line_end)
{
    size_t method = 0;
    while (method < size && method <= MAX_METHOD && IsTokenChar(data[method]))
        ++method;
    if (method == size) return method <= MAX_METHOD ? Start::PARTIAL : Start::OTHER;
    if (method == 0 || method > MAX_METHOD || data[method] != ' ') return Start::OTHER;
    size_t end = method + 1;
    for (; end < size && data[end] != '\n'; ++end) {
        const unsigned char c = static_cast<unsigned char>(data[end]);
        if ((c < 0x20 && c != '\r') || c == 0x7f) return Start::OTHER;
    }
    if (end == size) return Start::PARTIAL;
    size_t line = end;
    if (data[line - 1] == '\r') --line;
    // " HTTP/1.x" after a target of at least one byte.
    constexpr size_t VERSION = 9;
    if (line < method + 2 + VERSION) return Start::OTHER;
    const char *version = data + line - VERSION;
    if (std::memcmp(version, " HTTP/1.", 8) != 0 || version[8] < '0' || version[8] > '9') return Start::OTHER;
    line_end = end + 1;
    return Start::REQUEST;
}

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// `lower` is the header name in lower case.
bool NameIs(const char *name, size_t size, const char *lower, size_t lower_size)
{
    if (size != lower_size) return false;
    for (size_t i = 0; i < size; ++i) {
        if (Lower(name[i]) != lower[i]) return false;
    }
    return true;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Decimal digits only; anything else, or more than 19 digits, is no length.
bool ParseLength(const char *value, size_t size, uint64_t &length)
{
    if (size == 0 || size > 19) return false;
    uint64_t result = 0;
    for (size_t i = 0; i < size; ++i) {
        if (value[i] < '0' || value[i] > '9') return false;
        result = result * 10 + static_cast<uint64_t>(value[i] - '0');
    }
    length = result;
    return true;
}

// What the header lines said about the body, settled once the head ends.
struct BodyState {
    bool chunked = false;
    bool bad_length = false;
    bool have_length = false;
    uint64_t length = 0;

    void ContentLength(const char *value, size_t size)
    {
        uint64_t parsed = 0;
        if (!ParseLength(value, size, parsed))
            bad_length = true;
        else if (have_length && parsed != length)
            bad_length = true; // two different lengths: no way to tell which is right
        have_length = true;
        length = parsed;
    }
};

void Header(const char *line, size_t size, HttpRequestHead &head, bool &have_agent, BodyState &body)
{
    const void *colon_found = std::memchr(line, ':', size);
    if (colon_found == nullptr) return;
    const char *colon = static_cast<const char *>(colon_found);
    size_t name_size = static_cast<size_t>(colon - line);
    while (name_size > 0 && IsBlank(line[name_size - 1]))
        --name_size;
    const char *value = colon + 1;
    const char *value_end = line + size;
    while (value < value_end && IsBlank(*value))
        ++value;
    while (value_end > value && IsBlank(value_end[-1]))
        --value_end;
    const size_t value_size = static_cast<size_t>(value_end - value);

    // Cheap first-letter test: most lines are none of the three.
    switch (Lower(line[0])) {
    case 'u':
        if (!have_agent && NameIs(line, name_size, "user-agent", 10)) {
            have_agent = true;
            for (size_t i = 0; i < value_size; ++i) {
                const unsigned char c = static_cast<unsigned char>(value[i]);
                if (c >= 0x20 && c != 0x7f) head.user_agent.push_back(static_cast<char>(c));
            }
        }
        break;
    case 'c':
        if (NameIs(line, name_size, "content-length", 14)) body.ContentLength(value, value_size);
        break;
    case 't':
        // Any transfer coding hides the length (chunked must be among them).
        if (NameIs(line, name_size, "transfer-encoding", 17)) body.chunked = true;
        break;
    default:
        break;
    }
}

} // namespace

HeadStatus ParseHttpRequestHead(const uint8_t *data, size_t size, HttpRequestHead &head)
{
    if (data == nullptr || size == 0) return HeadStatus::NEED_MORE;
    const char *const begin = reinterpret_cast<const char *>(data);
    const char *const end = begin + size;
    size_t line_end = 0;
    switch (MatchRequestLine(begin, size, line_end)) {
    case Start::PARTIAL:
        return HeadStatus::NEED_MORE;
    case Start::OTHER:
        return HeadStatus::NOT_HTTP;
    case Start::REQUEST:
        break;
    }

    HttpRequestHead result;
    result.request_line = true;
    BodyState body;
    bool have_agent = false;
    const char *pos = begin + line_end;
    while (pos < end) {
        const void *found = std::memchr(pos, '\n', static_cast<size_t>(end - pos));
        if (found == nullptr) break;
        const char *newline = static_cast<const char *>(found);
        size_t line_size = static_cast<size_t>(newline - pos);
        if (line_size > 0 && pos[line_size - 1] == '\r') --line_size;
        if (line_size == 0) {
            result.head_size = static_cast<size_t>(newline + 1 - begin);
            result.body_known = !body.chunked && !body.bad_length;
            result.body_size = result.body_known && body.have_length ? body.length : 0;
            head = std::move(result);
            return HeadStatus::COMPLETE;
        }
        Header(pos, line_size, result, have_agent, body);
        pos = newline + 1;
    }
    // What the whole lines so far gave: a head longer than the caller keeps
    // still has its User-Agent.
    head = std::move(result);
    return HeadStatus::NEED_MORE;
}

StreamVerdict HttpStep(const StreamBytes &in, Attributes &out)
{
    HttpRequestHead head;
    HeadStatus status = ParseHttpRequestHead(in.data, in.size, head);
    if (status == HeadStatus::NOT_HTTP) return {StreamVerdict::NOT_MINE, 0};
    if (status == HeadStatus::NEED_MORE && !in.full) return {StreamVerdict::WAIT, 0};
    // A method's first letters alone do not make a flow HTTP: a whole
    // request line does.
    if (!head.request_line) return {StreamVerdict::DONE, 0};
    out.Detected(PROTO_HTTP);
    // A head longer than what is kept still gives the User-Agent it had.
    out.UserAgent(head.user_agent, UA_HTTP);
    // Through a proxy's tunnel comes the client's own protocol.
    if (status == HeadStatus::COMPLETE && IsConnectRequest(in.data, in.size))
        return {StreamVerdict::ANY, head.head_size};
    // A keep-alive stream: the next request follows the body, which is
    // skipped unread; without a known length there is no next request.
    if (status == HeadStatus::NEED_MORE || !head.body_known || head.body_size > MAX_HTTP_BODY
        || head.head_size == 0)
        return {StreamVerdict::DONE, 0};
    return {StreamVerdict::SAME, head.head_size + head.body_size};
}

} // namespace ostrel_capture
