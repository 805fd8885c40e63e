// Waiting with a deadline for what a test cannot be told about directly: a
// log line, a file, another thread or process.
#pragma once

#include <chrono>
#include <functional>

namespace ostrel_test {

// Waits until something may have changed, at most the given time: a
// server's next request, a child's exit.
using Await = std::function<void(std::chrono::milliseconds at_most)>;

// Checks `condition` until it holds or `timeout` ends; true when it held.
// Between checks it waits on `await`, or, with none, for pauses that start
// short and grow, so that a quick change is seen at once and a slow one
// costs little.
bool Eventually(const std::function<bool()> &condition,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(20000), const Await &await = nullptr);

} // namespace ostrel_test
