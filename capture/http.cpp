#include "capture/http.h"

#include <cstring>

namespace ostrel_capture {
namespace {

struct Method {
    const char *text; // with the space that ends it
    size_t size;
};

constexpr Method kMethods[] = {
    {"GET ", 4},
    {"POST ", 5},
    {"HEAD ", 5},
    {"PUT ", 4},
    {"DELETE ", 7},
    {"OPTIONS ", 8},
    {"PATCH ", 6},
    {"CONNECT ", 8},
    {"TRACE ", 6},
};

enum class Start { REQUEST, PARTIAL, OTHER };

Start MatchMethod(const uint8_t *data, size_t size)
{
    bool partial = false;
    for (const Method &m : kMethods) {
        const size_t n = size < m.size ? size : m.size;
        if (std::memcmp(data, m.text, n) != 0) continue;
        if (n == m.size) return Start::REQUEST;
        partial = true;
    }
    return partial ? Start::PARTIAL : Start::OTHER;
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
    switch (MatchMethod(data, size)) {
    case Start::PARTIAL:
        return HeadStatus::NEED_MORE;
    case Start::OTHER:
        return HeadStatus::NOT_HTTP;
    case Start::REQUEST:
        break;
    }

    const char *const begin = reinterpret_cast<const char *>(data);
    const char *const end = begin + size;
    HttpRequestHead result;
    BodyState body;
    bool have_agent = false;
    bool request_line = true;
    const char *pos = begin;
    while (pos < end) {
        const void *found = std::memchr(pos, '\n', static_cast<size_t>(end - pos));
        if (found == nullptr) break;
        const char *newline = static_cast<const char *>(found);
        size_t line_size = static_cast<size_t>(newline - pos);
        if (line_size > 0 && pos[line_size - 1] == '\r') --line_size;
        if (line_size == 0 && !request_line) {
            result.head_size = static_cast<size_t>(newline + 1 - begin);
            result.body_known = !body.chunked && !body.bad_length;
            result.body_size = result.body_known && body.have_length ? body.length : 0;
            head = std::move(result);
            return HeadStatus::COMPLETE;
        }
        if (!request_line && line_size > 0) Header(pos, line_size, result, have_agent, body);
        request_line = false;
        pos = newline + 1;
    }
    return HeadStatus::NEED_MORE;
}

} // namespace ostrel_capture
