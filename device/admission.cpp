#include "plugin/plugin.h"

namespace {

// Ignore messages are detail that only a debug level of 2 or more asks for.
bool LogIgnored()
{
    const ozGlobalConfig &host = ozGlobalConfig::GetInstance();
    return host.IsDebug() && host.GetDebugLevel() >= 2;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSeparator(char c)
{
    return c == ':' || c == '-';
}

// The first octet of a MAC text: two hex digits and a separator at the start.
// Anything else is no MAC text; the other rules decide about it.
int FirstOctet(const std::string &mac)
{
    if (mac.size() < 3 || !IsSeparator(mac[2])) return -1;
    int high = HexDigit(mac[0]), low = HexDigit(mac[1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// Broadcast and multicast addresses name no one device: the group bit is the
// lowest bit of the first octet.
bool IsGroupMac(const std::string &mac)
{
    int octet = FirstOctet(mac);
    return octet >= 0 && (octet & 0x01) != 0;
}

// Six octets of "00" with one kind of separator between them.
bool IsZeroMac(const std::string &mac)
{
    if (mac.size() != 17 || !IsSeparator(mac[2])) return false;
    for (size_t i = 0; i < mac.size(); i++) {
        bool separator_place = i % 3 == 2;
        if (separator_place ? mac[i] != mac[2] : mac[i] != '0') return false;
    }
    return true;
}

} // namespace

// Nothing is cached: the host's group data may change between calls.
bool ozpPlugin::IgnoreDeviceMac(const std::string &mac)
{
    if (mac.empty()) {
        if (LogIgnored()) oz_dprintf("%s: %s: Ignoring; empty MAC.\n", tag.c_str(), mac.c_str());
        return true;
    }

    // Broadcast, multicast and unset addresses turn up as the other endpoint
    // of a flow, in broken cache files and in answers; none is a device.
    if (IsGroupMac(mac)) {
        if (LogIgnored()) oz_dprintf("%s: %s: Ignoring; group MAC.\n", tag.c_str(), mac.c_str());
        return true;
    }

    if (IsZeroMac(mac)) {
        if (LogIgnored()) oz_dprintf("%s: %s: Ignoring; zero MAC.\n", tag.c_str(), mac.c_str());
        return true;
    }

    if (config.device_mac_ignore.count(mac) != 0) {
        if (LogIgnored()) oz_dprintf("%s: %s: Ignoring; found in ignore list.\n", tag.c_str(), mac.c_str());
        return true;
    }

    if (!config.device_mac_ignore_group.empty()) {
        ozAddr addr;
        ozAddr::Create(addr, mac);
        if (ozInstance::GetInstance().addr_lookup.LookupGroupAddress(config.device_mac_ignore_group, addr)) {
            if (LogIgnored()) {
                oz_dprintf("%s: %s: Ignoring; found in ignore address group.\n", tag.c_str(), mac.c_str());
            }
            return true;
        }
    }

    return false;
}
