#include "host/standin/escape.h"

#include <cstdint>

namespace ostrel_standin {
namespace {

const char kHex[] = "0123456789abcdef";

void AppendByteEscape(std::string &out, unsigned char byte)
{
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

void AppendCodePointEscape(std::string &out, uint32_t code)
{
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(code >> shift) & 0xf];
}

bool IsHiddenFormatting(uint32_t code)
{
    return (code >= 0x80 && code <= 0x9f) || code == 0x061c || code == 0x200e || code == 0x200f
        || (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069) || code == 0x2028
        || code == 0x2029;
}

// Length of the valid UTF-8 sequence that starts at `at` and its code point,
// or 0 when the byte there does not start one.
size_t DecodeUtf8(const std::string &text, size_t at, uint32_t &code)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length;
    uint32_t min;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, min = 0x80, code = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, min = 0x800, code = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, min = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

} // namespace

std::string EscapeControls(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f)
                AppendByteEscape(out, c);
            else if (c == '\\')
                out += "\\\\";
            else
                out += static_cast<char>(c);
            ++at;
            continue;
        }
        uint32_t code = 0;
        size_t length = DecodeUtf8(text, at, code);
        if (length == 0) {
            AppendByteEscape(out, c);
            ++at;
        } else {
            if (IsHiddenFormatting(code))
                AppendCodePointEscape(out, code);
            else
                out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

} // namespace ostrel_standin
