// Makes text from the network safe to show in one line of a log or a table.
#pragma once

#include <string>

#include "host/oz_export.h"

namespace ostrel_standin {

// Returns `text` with every byte or character that could break a line, move
// the cursor, recolour a terminal or reorder what a reader sees replaced by
// a visible escape:
//   - C0 controls (newline and tab too) and DEL become "\xNN" (lower-case hex);
//   - bytes that are not part of valid UTF-8 (stray continuation bytes, cut
//     sequences, overlong forms, surrogates, values past U+10FFFF) become
//     "\xNN", one per byte;
//   - C1 controls (U+0080-U+009F), the bidirectional controls (U+061C,
//     U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) and the line and
//     paragraph separators (U+2028, U+2029) become "\uNNNN";
//   - a backslash becomes "\\", so an escape in the output always came from
//     this function and never from the text itself.
// Every other valid UTF-8 character is kept as it is.
OZ_HOST_API std::string EscapeControls(const std::string &text);

} // namespace ostrel_standin
