#include <atomic>
#include <ctime>

#include "host/oz_time.h"
#include "host/standin/standin.h"

namespace {

std::atomic<bool> manual {false};
std::atomic<int64_t> manual_now {0};

int64_t SystemSeconds(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

} // namespace

int64_t oz_time_monotonic()
{
    if (manual.load()) return manual_now.load();
    return SystemSeconds(CLOCK_MONOTONIC);
}

bool oz_has_expired(const std::string &, uint64_t ttl, int64_t since, bool monotonic, int64_t now)
{
    if (since == 0) return true;
    if (now == 0) now = monotonic ? oz_time_monotonic() : static_cast<int64_t>(time(nullptr));
    if (now < since) return false;
    return static_cast<uint64_t>(now - since) >= ttl;
}

namespace ostrel_standin {

ManualClock::ManualClock(int64_t start)
{
    manual_now = start;
    manual = true;
}

ManualClock::~ManualClock()
{
    manual = false;
}

void ManualClock::Set(int64_t now)
{
    manual_now = now;
}

void ManualClock::Advance(int64_t seconds)
{
    manual_now += seconds;
}

int64_t ManualClock::Now() const
{
    return manual_now.load();
}

} // namespace ostrel_standin
