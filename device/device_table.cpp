#include "plugin/plugin.h"

bool ozpPlugin::AddUpdateDevice(const std::string &mac, const ozpDevice &device, bool merge)
{
    auto [entry, inserted] = devices.try_emplace(mac, device);
    ozpDevice &stored = entry->second;

    if (inserted) {
        // Cached entries too take today's limits and count as just seen.
        stored.SetLimits(config);
        stored.last_update = oz_time_monotonic();
        return true;
    }

    if (!merge) return false;

    if (!device.label.empty()) {
        oz_dprintf("%s: label: %s -> %s\n", mac.c_str(), stored.label.c_str(), device.label.c_str());
        stored.label = device.label;
    }
    if (device.confidence != 0) {
        oz_dprintf("%s: confidence: %u -> %u\n", mac.c_str(), stored.confidence, device.confidence);
        stored.confidence = device.confidence;
    }
    if (!device.response.empty()) stored.response = device.response;

    stored.Update(device);
    return false;
}

uint64_t ozpPlugin::PurgeDevices()
{
    uint64_t purged = 0;
    for (auto entry = devices.begin(); entry != devices.end();) {
        if (oz_has_expired(entry->first, config.max_device_age, entry->second.last_update, true, 0)) {
            entry = devices.erase(entry);
            purged++;
        } else
            ++entry;
    }

    if (purged != 0)
        oz_dprintf("%s: Purged %lu device(s).\n", tag.c_str(), static_cast<unsigned long>(purged));
    return purged;
}

void ozpPlugin::AddIdentified(const std::string &mac)
{
    identified.insert(mac);
}
