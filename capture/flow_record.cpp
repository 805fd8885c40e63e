#include "capture/flow_record.h"

#include <algorithm>

namespace ostrel_capture {

namespace {

// Written by hand: each event's addresses are turned into text, and printf
// was the largest cost of a capture replay.
void AppendDecimal(std::string &out, unsigned value)
{
    if (value >= 100) out += static_cast<char>('0' + value / 100);
    if (value >= 10) out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

void AppendDottedQuad(std::string &out, const uint8_t *bytes)
{
    for (int i = 0; i < 4; ++i) {
        if (i > 0) out += '.';
        AppendDecimal(out, bytes[i]);
    }
}

void AppendHex(std::string &out, unsigned value)
{
    static const char digits[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned digit = (value >> shift) & 0xf;
        if (digit != 0 || started || shift == 0) {
            out += digits[digit];
            started = true;
        }
    }
}

} // namespace

bool IpAddress::IsUnspecified() const
{
    if (family != 4 && family != 6) return false;
    for (uint8_t byte : bytes)
        if (byte != 0) return false;
    return true;
}

std::string IpAddress::Text() const
{
    std::string out;
    if (family == 4) {
        AppendDottedQuad(out, bytes.data());
        return out;
    }
    if (family != 6) return out;
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(mapped, mapped + 12, bytes.begin())) {
        out = "::ffff:";
        AppendDottedQuad(out, bytes.data() + 12);
        return out;
    }
    // Groups in lower-case hex, the longest run of two or more zero groups
    // (the first of equal runs) written "::".
    unsigned groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = (static_cast<unsigned>(bytes[2 * i]) << 8) | bytes[2 * i + 1];
    int best = -1, best_length = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > best_length && j - i >= 2) {
            best = i;
            best_length = j - i;
        }
        i = j;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            out += "::";
            i += best_length - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':') out += ':';
        AppendHex(out, groups[i]);
    }
    return out;
}

std::string MacText(const MacAddress &mac)
{
    static const char digits[] = "0123456789abcdef";
    std::string text(17, ':');
    for (int i = 0; i < 6; ++i) {
        text[3 * i] = digits[mac[i] >> 4];
        text[3 * i + 1] = digits[mac[i] & 0xf];
    }
    return text;
}

} // namespace ostrel_capture
