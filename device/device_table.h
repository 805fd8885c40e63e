// The device table's changes and the version of what the cache file would
// hold. The version moves here only, with every change of a stored device
// or of the map, so that a save is never skipped for a change made
// elsewhere. Plug-in thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "device/device.h"

class ozpDeviceTable
{
public:
    using Map = std::map<std::string, ozpDevice>;

    // A new device, at `hint` (lower_bound of `mac`).
    template <typename Device>
    ozpDevice &Add(Map &devices, Map::iterator hint, const std::string &mac, Device &&device)
    {
        version++;
        return devices.emplace_hint(hint, mac, std::forward<Device>(device))->second;
    }
    // Returns the entry after the one removed.
    Map::iterator Remove(Map &devices, Map::iterator entry);
    // Removes the devices for which `expired(mac, device)` holds; returns
    // how many.
    template <typename Expired> uint64_t RemoveIf(Map &devices, Expired expired)
    {
        uint64_t removed = 0;
        for (auto entry = devices.begin(); entry != devices.end();) {
            if (expired(entry->first, entry->second)) {
                entry = devices.erase(entry);
                removed++;
            } else
                ++entry;
        }
        if (removed != 0) version++;
        return removed;
    }
    // Merges a later observation or verdict of `mac` into its stored device.
    void Merge(const std::string &mac, ozpDevice &stored, const ozpDevice &device);
    // The sinks had the device's report: it is no longer the cache's alone.
    void SinkReported(ozpDevice &device);
    // The map as a whole no longer matches the file (a cache merged into a
    // table that held devices already).
    void Touch() { version++; }

    bool Unsaved() const { return version != saved_version; }
    // A save wrote the table as it is now.
    void Saved() { saved_version = version; }

private:
    uint64_t version = 0;
    uint64_t saved_version = 0;
};
