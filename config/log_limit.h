// Lines about failures that can repeat (a flapping cloud, a flood of new MACs)
// are always written, but a burst per interval at most: the rest are counted
// and the count is said with the next line that gets through.
#pragma once

#include <cstdint>

class ozpLogLimit
{
public:
    // At most `burst` lines per `interval` seconds of the host's monotonic
    // clock.
    explicit ozpLogLimit(uint64_t burst = 5, int64_t interval = 60);

    // Writes the line with oz_printf when the limit allows it, else counts
    // it. A line written after held-back ones is followed by
    // "<tag>: <n> similar line(s) held back\n". True when written.
    bool Printf(const char *tag, const char *format, ...) __attribute__((format(printf, 3, 4)));

    // Lines held back since the last one written.
    uint64_t HeldBack() const { return held_back; }

private:
    bool Allow();

    uint64_t burst;
    int64_t interval;
    int64_t window_start = 0;
    uint64_t written = 0;
    uint64_t held_back = 0;
};
