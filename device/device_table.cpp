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
            RefuseDevice(mac);
            return false;
        }
        // Room again: the stretch of refusals is over, and a MAC refused
        // in the next one is a device refused again.
        if (!recent_refused.empty()) {
            recent_refused.clear();
            recent_refused_order.clear();
        }
        ozpDevice &stored = device_table.Add(devices, entry, mac, std::forward<Device>(device));
        // Cached entries too take today's limits and count as just seen.
        stored.SetLimits(config);
        stored.last_update = oz_time_monotonic();
        if (!held_verdicts.empty()) TakeHeldVerdict(mac, stored);
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

// A verdict that came before the device (an index answer at start-up) is
// applied once the device is in the table, as an answer about a known device
// would be.
void ozpPlugin::TakeHeldVerdict(const std::string &mac, ozpDevice &device)
{
    ozpVerdict verdict;
    if (!held_verdicts.Take(mac, verdict)) return;
    oz_dprintf("%s: %s: held verdict applied: %s: score: %u\n", tag.c_str(), mac.c_str(),
        verdict.label.empty() ? "<NO LABEL>" : verdict.label.c_str(), verdict.score);
    if (!verdict.label.empty()) device.label = std::move(verdict.label);
    if (verdict.score != 0) device.confidence = verdict.score;
    if (!verdict.response.empty()) device.response = std::move(verdict.response);
    device.cached = true;
}

// Every flow of a refused MAC comes here: the count and the line are for
// devices, not flows.
void ozpPlugin::RefuseDevice(const std::string &mac)
{
    if (!recent_refused.insert(mac).second) return;
    recent_refused_order.push_back(mac);
    if (recent_refused_order.size() > OZP_MAX_RECENT_REFUSED) {
        recent_refused.erase(recent_refused_order.front());
        recent_refused_order.pop_front();
    }
    devices_refused++;
    refused_device_log.Printf(tag.c_str(),
        "%s: %s: device table full (%lu devices, max_devices %lu); new device refused, %lu so far\n",
        tag.c_str(), mac.c_str(), static_cast<unsigned long>(devices.size()),
        static_cast<unsigned long>(config.max_devices), static_cast<unsigned long>(devices_refused));
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
