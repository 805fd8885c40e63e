// The message of what an action throws, for tests that check refusals by
// their text.
#pragma once

#include <exception>
#include <string>

namespace ostrel_test {

// What `action` throws as its message, or `if_none` when it returns.
template <typename Action> std::string ThrownMessage(Action &&action, const std::string &if_none = "")
{
    try {
        action();
    } catch (const std::exception &e) {
        return e.what();
    }
    return if_none;
}

} // namespace ostrel_test
