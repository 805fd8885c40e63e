#include "daemon/line_framer.h"

#include <cstring>

namespace ostrel_host {

void LineFramer::Append(const char *data, size_t size)
{
    if (ended || size == 0) return;
    // Given-out lines are dropped before the buffer grows, so it holds at
    // most the unfinished line and the new piece.
    if (start > 0) {
        buffer.erase(0, start);
        start = 0;
    }
    buffer.append(data, size);
}

void LineFramer::End()
{
    if (ended) return;
    ended = true;
    // A last line without its newline still counts (or, when too long, ends
    // the line being dropped).
    if (start < buffer.size() && buffer.back() != '\n') buffer += '\n';
}

bool LineFramer::Next(Line &line)
{
    for (;;) {
        const char *begin = buffer.data() + start;
        const size_t held = buffer.size() - start;
        const void *found = scanned < held ? std::memchr(begin + scanned, '\n', held - scanned) : nullptr;
        if (found == nullptr) {
            if (!discarding && held <= max_bytes) {
                scanned = held;
                return false;
            }
            // The unfinished line's bytes are of no use once it is too long.
            buffer.clear();
            start = scanned = 0;
            if (discarding) return false;
            // Reported now, not when (if ever) it ends.
            discarding = true;
            line.kind = Line::TOO_LONG;
            line.number = ++number;
            line.text.clear();
            return true;
        }
        const size_t length = static_cast<size_t>(static_cast<const char *>(found) - begin);
        start += length + 1;
        scanned = 0;
        if (discarding) {
            discarding = false;
            continue;
        }
        line.number = ++number;
        if (length > max_bytes) {
            line.kind = Line::TOO_LONG;
            line.text.clear();
        } else {
            line.kind = Line::TEXT;
            line.text.assign(begin, length);
        }
        return true;
    }
}

} // namespace ostrel_host
