// Checks of what the stand-in host puts into HTTP request headers.
#pragma once

#include <string>

namespace ostrel_standin {

// The first control character (C0 or DEL) in `text`, or -1 when none. A CR
// or LF in a header would end it and start one of the sender's choosing, so
// such values are refused wherever they are set or sent, never trimmed.
inline int FirstControl(const std::string &text)
{
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) return c;
    }
    return -1;
}

} // namespace ostrel_standin
