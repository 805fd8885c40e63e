#include "plugin/plugin.h"

namespace {

// Ignore messages are detail that only a debug level of 2 or more asks for.
bool LogIgnored()
{
    const ozGlobalConfig &host = ozGlobalConfig::GetInstance();
    return host.IsDebug() && host.GetDebugLevel() >= 2;
}

} // namespace

// Nothing is cached: the host's group data may change between calls.
bool ozpPlugin::IgnoreDeviceMac(const std::string &mac)
{
    if (mac.empty()) {
        if (LogIgnored()) oz_dprintf("%s: %s: Ignoring; empty MAC.\n", tag.c_str(), mac.c_str());
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
