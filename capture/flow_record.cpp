#include "capture/flow_record.h"

#include <algorithm>
#include <cstdio>

namespace ostrel_capture {

bool IpAddress::IsUnspecified() const
{
    if (family != 4 && family != 6) return false;
    for (uint8_t byte : bytes)
        if (byte != 0) return false;
    return true;
}

std::string IpAddress::Text() const
{
    char text[48];
    if (family == 4) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        return text;
    }
    if (family != 6) return std::string();
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(mapped, mapped + 12, bytes.begin())) {
        std::snprintf(text, sizeof text, "::ffff:%u.%u.%u.%u", bytes[12], bytes[13], bytes[14], bytes[15]);
        return text;
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
    std::string out;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            out += "::";
            i += best_length - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':') out += ':';
        std::snprintf(text, sizeof text, "%x", groups[i]);
        out += text;
    }
    return out;
}

std::string MacText(const MacAddress &mac)
{
    char text[18];
    std::snprintf(
        text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

} // namespace ostrel_capture
