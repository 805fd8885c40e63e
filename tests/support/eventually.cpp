#include "tests/support/eventually.h"

#include <algorithm>
#include <thread>

namespace ostrel_test {

namespace {

constexpr std::chrono::milliseconds LONGEST_PAUSE {20};

} // namespace

bool Eventually(const std::function<bool()> &condition, std::chrono::milliseconds timeout, const Await &await)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    std::chrono::microseconds pause {100};
    while (!condition()) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (await) {
            await(std::max(left, std::chrono::milliseconds(1)));
            continue;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min<std::chrono::microseconds>(pause * 2, LONGEST_PAUSE);
    }
    return true;
}

} // namespace ostrel_test
