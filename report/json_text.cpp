#include "report/json_text.h"

#include <algorithm>

#include <nlohmann/json.hpp>

// Device texts come from the network and are nearly always plain printable
// ASCII, which needs no escaping under either setting; anything else
// (escapes, non-ASCII, bad UTF-8 that must not lose data) is left to the
// library itself.
void ozpAppendJsonString(std::string &out, const std::string &text, bool ensure_ascii)
{
    bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7f && c != '"' && c != '\\';
    });
    if (!plain) {
        out += nlohmann::json(text).dump(-1, ' ', ensure_ascii, nlohmann::json::error_handler_t::replace);
        return;
    }
    out += '"';
    out += text;
    out += '"';
}
