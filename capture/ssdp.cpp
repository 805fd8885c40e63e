#include "capture/ssdp.h"

#include <cstring>

#include "capture/flow_record.h"

namespace ostrel_capture {
namespace {

struct Span {
    const char *data;
    size_t size;
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

Span Trim(Span s)
{
    while (s.size > 0 && IsBlank(s.data[0])) {
        ++s.data;
        --s.size;
    }
    while (s.size > 0 && IsBlank(s.data[s.size - 1]))
        --s.size;
    return s;
}

bool Equals(Span s, const char *text)
{
    const size_t n = std::strlen(text);
    return s.size == n && std::memcmp(s.data, text, n) == 0;
}

bool EqualsNoCase(Span s, const char *upper)
{
    const size_t n = std::strlen(upper);
    if (s.size != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s.data[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return true;
}

// Splits off the next line at "\n", without its "\r"; false at the end.
bool NextLine(const char *&pos, const char *end, Span &line)
{
    if (pos >= end) return false;
    const void *found = std::memchr(pos, '\n', static_cast<size_t>(end - pos));
    const char *stop = found != nullptr ? static_cast<const char *>(found) : end;
    line = Span {pos, static_cast<size_t>(stop - pos)};
    pos = found != nullptr ? stop + 1 : end;
    if (line.size > 0 && line.data[line.size - 1] == '\r') --line.size;
    return true;
}

} // namespace

bool ParseSsdp(const uint8_t *data, size_t size, SsdpMessage &message)
{
    if (data == nullptr) return false;
    const char *pos = reinterpret_cast<const char *>(data);
    const char *end = pos + size;

    Span line;
    if (!NextLine(pos, end, line)) return false;
    // Devices pad the start line with spaces now and then; the words stay as sent.
    while (line.size > 0 && IsBlank(line.data[line.size - 1]))
        --line.size;
    SsdpMessage::Kind kind;
    if (Equals(line, "NOTIFY * HTTP/1.1"))
        kind = SsdpMessage::NOTIFY;
    else if (Equals(line, "M-SEARCH * HTTP/1.1"))
        kind = SsdpMessage::M_SEARCH;
    else if (Equals(line, "HTTP/1.1 200 OK"))
        kind = SsdpMessage::RESPONSE;
    else
        return false;

    message = SsdpMessage {};
    message.kind = kind;
    const char *wanted = kind == SsdpMessage::M_SEARCH ? "USER-AGENT" : "SERVER";
    while (NextLine(pos, end, line) && line.size > 0) {
        const void *colon = std::memchr(line.data, ':', line.size);
        if (colon == nullptr) continue;
        const char *value_start = static_cast<const char *>(colon) + 1;
        const Span name = Trim(Span {line.data, static_cast<size_t>(value_start - 1 - line.data)});
        if (!EqualsNoCase(name, wanted)) continue;
        const Span value = Trim(Span {value_start, static_cast<size_t>(line.data + line.size - value_start)});
        for (size_t i = 0; i < value.size; ++i) {
            const unsigned char c = static_cast<unsigned char>(value.data[i]);
            if (c >= 0x20 && c != 0x7f) message.user_agent.push_back(static_cast<char>(c));
        }
        break;
    }
    return true;
}

DatagramVerdict SsdpStep(const Datagram &in, Attributes &out)
{
    SsdpMessage message;
    if (ParseSsdp(in.data, in.size, message)) out.UserAgent(message.user_agent, UA_SSDP);
    return DatagramVerdict::MORE;
}

} // namespace ostrel_capture
