#include "config/log_limit.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "host/oz_log.h"
#include "host/oz_time.h"

ozpLogLimit::ozpLogLimit(uint64_t burst, int64_t interval)
    : burst(burst)
    , interval(interval)
{
}

bool ozpLogLimit::Allow()
{
    int64_t now = oz_time_monotonic();
    if (written == 0 || now - window_start >= interval || now < window_start) {
        window_start = now;
        written = 0;
    }
    if (written >= burst) {
        held_back++;
        return false;
    }
    written++;
    return true;
}

bool ozpLogLimit::Printf(const char *tag, const char *format, ...)
{
    if (!Allow()) return false;

    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int size = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char> text(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
    if (size > 0) vsnprintf(text.data(), text.size(), format, args);
    va_end(args);

    oz_printf("%s", text.data());
    if (held_back != 0) {
        oz_printf("%s: %lu similar line(s) held back\n", tag, static_cast<unsigned long>(held_back));
        held_back = 0;
    }
    return true;
}
