#include "device/device_table.h"

#include "plugin/plugin.h"

#include <utility>

namespace {

bool TextChanges(const std::string &stored, const std::string &value)
{
    return !value.empty() && value != stored;
}

// A pushed value goes to the front of the set, new or not; one already there
// leaves the set as it is.
bool SetChanges(const ozpUniqueSet<std::string> &stored, const ozpUniqueSet<std::string> &other)
{
    return !other.empty() && (stored.empty() || stored.front() != other.front());
}

bool AddressesChange(const IPList &stored, const IPList &other)
{
    if (other.empty()) return false;
    // Several addresses may reorder the list in ways not worth predicting.
    return other.size() > 1 || stored.empty() || stored.front() != other.front();
}

// True when merging `other` into `stored` changes what a save would write.
// Decided before the merge, so that nothing needs copying: a merge that
// moves a known value to the front changes the cache file but counts no
// update.
bool MergeChanges(const ozpDevice &stored, const ozpDevice &other)
{
    return TextChanges(stored.label, other.label)
        || (other.confidence != 0 && other.confidence != stored.confidence)
        || (!other.response.empty() && other.response != stored.response)
        || AddressesChange(stored.ip_list, other.ip_list)
        || TextChanges(stored.dhcp_fingerprint, other.dhcp_fingerprint)
        || TextChanges(stored.dhcp_vendor, other.dhcp_vendor)
        || TextChanges(stored.dhcp_hostname, other.dhcp_hostname)
        || SetChanges(stored.http_user_agents, other.http_user_agents)
        || SetChanges(stored.ja4_clients, other.ja4_clients)
        || SetChanges(stored.mdns_services, other.mdns_services)
        || SetChanges(stored.ssdp_user_agents, other.ssdp_user_agents);
}

} // namespace

ozpDeviceTable::Map::iterator ozpDeviceTable::Remove(Map &devices, Map::iterator entry)
{
    version++;
    return devices.erase(entry);
}

void ozpDeviceTable::Merge(const std::string &mac, ozpDevice &stored, const ozpDevice &device)
{
    const bool changes = MergeChanges(stored, device);
    const uint32_t pending_updates = stored.pending_updates;
    const bool cached = stored.cached;

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
    if (changes || stored.pending_updates != pending_updates || stored.cached != cached) version++;
}

void ozpDeviceTable::SinkReported(ozpDevice &device)
{
    device.cached = false;
    version++;
}

// Every way into the table (flows, their other endpoint, answers, the cache)
// passes here, so the admission rules and the bound on its size are kept
// here too: an answer may name any MAC.
template <typename Device> bool ozpPlugin::AddOrMerge(const std::string &mac, Device &&device, bool merge)
{
    auto entry = devices.lower_bound(mac);
    if (entry == devices.end() || entry->first != mac) {
        if (IgnoreDeviceMac(mac)) return false;
        // A lowered bound keeps what is there and lets nothing new in.
        if (devices.size() >= config.max_devices) {
            refused_macs.Refuse(tag, mac, devices.size(), config.max_devices);
            return false;
        }
        // Room again: the stretch of refusals is over, and a MAC refused
        // in the next one is a device refused again.
        refused_macs.Reset();
        ozpDevice &stored = device_table.Add(devices, entry, mac, std::forward<Device>(device));
        // Cached entries too take today's limits and count as just seen.
        stored.SetLimits(config);
        stored.last_update = oz_time_monotonic();
        if (!held_verdicts.empty()) held_verdicts.TakeInto(tag, mac, stored);
        return true;
    }

    if (!merge) return false;

    device_table.Merge(mac, entry->second, device);
    return false;
}

bool ozpPlugin::AddUpdateDevice(const std::string &mac, const ozpDevice &device, bool merge)
{
    return AddOrMerge(mac, device, merge);
}

// A new device moves into the table (the cache load).
bool ozpPlugin::AddUpdateDevice(const std::string &mac, ozpDevice &&device, bool merge)
{
    return AddOrMerge(mac, std::move(device), merge);
}

uint64_t ozpPlugin::PurgeDevices()
{
    const uint64_t purged
        = device_table.RemoveIf(devices, [this](const std::string &mac, const ozpDevice &device) {
              return oz_has_expired(mac, config.max_device_age, device.last_update, true, 0);
          });

    if (purged != 0)
        oz_dprintf("%s: Purged %lu device(s).\n", tag.c_str(), static_cast<unsigned long>(purged));
    return purged;
}

void ozpPlugin::AddIdentified(const std::string &mac)
{
    held_verdicts.Drop(mac);
    if (!identified.insert(mac).second) return;
    identified_order.push_back(mac);
    // A MAC forgotten here becomes a new device when it is seen again.
    while (identified.size() > config.max_identified && !identified_order.empty()) {
        identified.erase(identified_order.front());
        identified_order.pop_front();
    }
}
