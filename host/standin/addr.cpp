#include <arpa/inet.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <fstream>

#include "host/oz_addr.h"
#include "host/oz_log.h"
#include "host/oz_util.h"
#include "host/standin/host_state.h"

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseMac(const std::string &text, std::array<uint8_t, 16> &bytes)
{
    if (text.size() != 17) return false;
    char separator = text[2];
    if (separator != ':' && separator != '-') return false;
    for (size_t i = 0; i < 6; i++) {
        size_t at = i * 3;
        int high = HexValue(text[at]);
        int low = HexValue(text[at + 1]);
        if (high < 0 || low < 0) return false;
        if (i < 5 && text[at + 2] != separator) return false;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

// Addresses are formatted by hand, in the forms snprintf("%02x") and
// inet_ntop give: this runs for every address of every flow, and those two
// cost more than the rest of a flow's processing.
const char HEX_LOWER[] = "0123456789abcdef";
const char HEX_UPPER[] = "0123456789ABCDEF";

char *WriteMac(char *out, const uint8_t *bytes, const char *digits)
{
    for (size_t i = 0; i < 6; i++) {
        if (i != 0) *out++ = ':';
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 0x0f];
    }
    return out;
}

char *WriteDecimal(char *out, unsigned value)
{
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

char *WriteIpv4(char *out, const uint8_t *bytes)
{
    for (size_t i = 0; i < 4; i++) {
        if (i != 0) *out++ = '.';
        out = WriteDecimal(out, bytes[i]);
    }
    return out;
}

// A 16-bit group in lowercase hex without leading zeros.
char *WriteGroup(char *out, unsigned group)
{
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned digit = (group >> shift) & 0x0f;
        if (digit == 0 && !started && shift != 0) continue;
        started = true;
        *out++ = HEX_LOWER[digit];
    }
    return out;
}

// The longest run of two or more zero groups (the first of equal ones) is
// written "::"; ::a.b.c.d and ::ffff:a.b.c.d end in dotted IPv4.
char *WriteIpv6(char *out, const uint8_t *bytes)
{
    unsigned groups[8];
    for (size_t i = 0; i < 8; i++)
        groups[i] = static_cast<unsigned>(bytes[2 * i]) << 8 | bytes[2 * i + 1];

    int best_base = -1;
    int best_len = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            i++;
            continue;
        }
        int base = i;
        while (i < 8 && groups[i] == 0)
            i++;
        if (i - base > best_len) {
            best_base = base;
            best_len = i - base;
        }
    }
    if (best_len < 2) best_base = -1;

    for (int i = 0; i < 8; i++) {
        if (best_base >= 0 && i >= best_base && i < best_base + best_len) {
            if (i == best_base) *out++ = ':';
            continue;
        }
        if (i != 0) *out++ = ':';
        if (i == 6 && best_base == 0 && (best_len == 6 || (best_len == 5 && groups[5] == 0xffff)))
            return WriteIpv4(out, bytes + 12);
        out = WriteGroup(out, groups[i]);
    }
    if (best_base >= 0 && best_base + best_len == 8) *out++ = ':';
    return out;
}

// Group files come from configuration: a device or a pipe named there would
// block the reader for ever.
bool IsRegularFile(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Trim(const std::string &text)
{
    size_t start = 0;
    size_t end = text.size();
    while (start < end && std::isspace(static_cast<unsigned char>(text[start])))
        start++;
    while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1])))
        end--;
    return text.substr(start, end - start);
}

} // namespace

bool ozAddr::Create(ozAddr &addr, const std::string &text)
{
    ozAddr parsed;
    if (ParseMac(text, parsed.bytes))
        parsed.type = TYPE_ETHER;
    else if (inet_pton(AF_INET, text.c_str(), parsed.bytes.data()) == 1)
        parsed.type = TYPE_IPV4;
    else if (inet_pton(AF_INET6, text.c_str(), parsed.bytes.data()) == 1)
        parsed.type = TYPE_IPV6;
    else {
        addr = ozAddr();
        return false;
    }
    addr = parsed;
    return true;
}

void ozAddr::MakeString(const ozAddr &addr, std::string &text, unsigned flags)
{
    char buffer[INET6_ADDRSTRLEN + 2];
    char *end = buffer;
    switch (addr.type) {
    case TYPE_ETHER:
        end = WriteMac(buffer, addr.bytes.data(), (flags & MAKE_UPPERCASE) ? HEX_UPPER : HEX_LOWER);
        break;
    case TYPE_IPV4:
        end = WriteIpv4(buffer, addr.bytes.data());
        break;
    case TYPE_IPV6:
        if (flags & MAKE_IPV6_BRACKETS) *end++ = '[';
        end = WriteIpv6(end, addr.bytes.data());
        if (flags & MAKE_IPV6_BRACKETS) *end++ = ']';
        break;
    default:
        break;
    }
    text.assign(buffer, end);
}

std::string ozAddr::GetString(unsigned flags) const
{
    std::string text;
    MakeString(*this, text, flags);
    return text;
}

bool ozAddr::operator<(const ozAddr &other) const
{
    if (type != other.type) return type < other.type;
    return bytes < other.bytes;
}

ozAddrLookup::~ozAddrLookup()
{
    ostrel_standin::LookupStates().Drop(*this);
}

void ozAddrLookup::SetGroupFilename(const std::string &name)
{
    std::string path
        = ostrel_standin::LookupStates().With(*this, [&name](ostrel_standin::LookupState &state) {
              auto file = state.group_files.find(name);
              if (file != state.group_files.end()) return file->second;
              if (state.groups.count(name) == 0 && IsRegularFile(name)) return name;
              return std::string();
          });
    if (!path.empty()) ostrel_standin::ReadGroupFile(*this, name, path);
}

bool ozAddrLookup::LookupGroupAddress(const std::string &group, const ozAddr &addr) const
{
    return ostrel_standin::LookupStates().With(*this, [&](ostrel_standin::LookupState &state) {
        auto members = state.groups.find(group);
        return members != state.groups.end() && members->second.count(addr) != 0;
    });
}

bool ostrel_standin::ReadGroupFile(
    const ozAddrLookup &lookup, const std::string &group, const std::string &path)
{
    if (oz_file_exists(path) && !IsRegularFile(path)) {
        oz_printf("address group %s: %s: not a regular file\n", group.c_str(), path.c_str());
        return false;
    }
    std::ifstream file(path);
    if (!file) {
        oz_printf("address group %s: %s: %s\n", group.c_str(), path.c_str(), strerror(errno));
        return false;
    }
    std::set<ozAddr> members;
    std::string line;
    for (size_t number = 1; std::getline(file, line); number++) {
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        ozAddr addr;
        if (!ozAddr::Create(addr, line)) {
            oz_printf("address group %s: %s:%zu: not an address: %s\n", group.c_str(), path.c_str(), number,
                line.c_str());
            continue;
        }
        members.insert(addr);
    }
    LookupStates().With(lookup, [&](LookupState &state) {
        state.group_files[group] = path;
        state.groups[group] = std::move(members);
    });
    return true;
}
