// Polling for a condition with a deadline, for what a test cannot be told
// about directly (a log line, a file, another process).
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace ostrel_test {

// Polls `condition` every few milliseconds until it holds or `timeout` ends.
inline bool Eventually(const std::function<bool()> &condition,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(20000))
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace ostrel_test
