// Cuts a byte stream into lines: bytes come in pieces of any size, whole
// lines go out numbered from 1. A line longer than the limit is reported
// once, as soon as it is known to be too long, and its bytes are dropped as
// they come, so the framer never holds much more than one limit's worth of
// an unfinished line. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel_host {

class LineFramer
{
public:
    struct Line {
        enum Kind { TEXT, TOO_LONG };
        Kind kind = TEXT;
        uint64_t number = 0;
        std::string text; // without its newline; empty for TOO_LONG
    };

    explicit LineFramer(size_t max_bytes)
        : max_bytes(max_bytes)
    {
    }

    void Append(const char *data, size_t size);
    // The input has ended: a last line without its newline still counts.
    void End();
    // The next line; false when no whole line is there yet.
    bool Next(Line &line);

    // Nothing held: every line given out (and, after End, the input is done).
    bool Empty() const { return start == buffer.size(); }
    bool Ended() const { return ended; }
    // Bytes held: the unfinished line and lines not yet given out.
    size_t Held() const { return buffer.size() - start; }
    size_t MaxBytes() const { return max_bytes; }

private:
    size_t max_bytes;
    std::string buffer;
    size_t start = 0; // first byte not given out
    size_t scanned = 0; // bytes from `start` known to hold no newline
    bool discarding = false; // inside a line already reported too long
    bool ended = false;
    uint64_t number = 0;
};

} // namespace ostrel_host
