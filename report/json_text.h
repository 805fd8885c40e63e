// JSON strings written straight into a text that is built by hand, byte for
// byte as the JSON library dumps them with the replace error handler.
#pragma once

#include <string>

// Appends `text` as a JSON string. `ensure_ascii` as in the library's dump:
// every code point from 0x7f up escaped.
void ozpAppendJsonString(std::string &out, const std::string &text, bool ensure_ascii);
