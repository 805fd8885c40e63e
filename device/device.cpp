#include "device/device.h"

#include <cstdint>
#include <string>
#include <utility>

#include "host/oz_time.h"

namespace {

// True when `value` brought a new, non-empty text into `stored`.
bool MergeText(std::string &stored, const std::string &value)
{
    if (value.empty() || value == stored) return false;
    stored = value;
    return true;
}

// A cache file is read back from disk: a confidence that is not a whole
// number of 32 bits (1e30, -5, 80.5) is a broken entry, and converting a
// float beyond the type's range would be undefined behaviour.
uint32_t Confidence(const json &value)
{
    bool whole = value.is_number_unsigned() && value.get<uint64_t>() <= UINT32_MAX;
    if (value.is_number() && !whole) {
        throw json::type_error::create(
            302, "confidence must be a whole number from 0 to 4294967295, but is " + value.dump(), &value);
    }
    // Anything but a number raises the library's own type error here.
    return value.get<uint32_t>();
}

// An observation carries at most one value per set: its front.
bool MergeSet(ozpUniqueSet<std::string> &stored, const ozpUniqueSet<std::string> &other)
{
    return !other.empty() && stored.Push(other.front());
}

} // namespace

ozpDevice::ozpDevice()
    : last_update(oz_time_monotonic())
{
}

ozpDevice::ozpDevice(const std::string &mac, bool cached)
    : mac(mac)
    , cached(cached)
    , last_update(oz_time_monotonic())
{
}

void ozpDevice::SetLimits(const ozpGlobalConfig &config)
{
    http_user_agents.SetLimits(config.max_http_user_agents);
    ja4_clients.SetLimits(config.max_ja4_clients);
    mdns_services.SetLimits(config.max_mdns_services);
    ssdp_user_agents.SetLimits(config.max_ssdp_user_agents);
}

void ozpDevice::Update(const ozpDevice &other)
{
    for (const std::string &address : other.ip_list) {
        if (ip_list.insert(address).second) pending_updates++;
    }

    if (MergeText(dhcp_fingerprint, other.dhcp_fingerprint)) pending_updates++;
    if (MergeText(dhcp_vendor, other.dhcp_vendor)) pending_updates++;
    if (MergeText(dhcp_hostname, other.dhcp_hostname)) pending_updates++;

    if (MergeSet(http_user_agents, other.http_user_agents)) pending_updates++;
    if (MergeSet(ja4_clients, other.ja4_clients)) pending_updates++;
    if (MergeSet(mdns_services, other.mdns_services)) pending_updates++;
    if (MergeSet(ssdp_user_agents, other.ssdp_user_agents)) pending_updates++;

    // A device still due for a report counts as seen, so it is not purged.
    if (pending_updates != 0) last_update = oz_time_monotonic();
}

// Members are placed straight into the object: a braced list would first
// build a two-element array per member and then move it apart.
void ozpDevice::Encode(json &out, unsigned char flags) const
{
    json object(json::value_t::object);
    object.emplace("mac", mac);
    if (flags & ENCODE_DHCP) {
        json dhcp(json::value_t::object);
        dhcp.emplace("fingerprint", dhcp_fingerprint);
        dhcp.emplace("vendor", dhcp_vendor);
        dhcp.emplace("hostname", dhcp_hostname);
        object.emplace("dhcp", std::move(dhcp));
    }
    if (flags & ENCODE_CONFIDENCE) object.emplace("confidence", confidence);
    if (flags & ENCODE_HTTP) object.emplace("http_user_agents", http_user_agents);
    if (flags & ENCODE_JA4) object.emplace("ja4_clients", ja4_clients);
    if (flags & ENCODE_MDNS) object.emplace("mdns_services", mdns_services);
    if (flags & ENCODE_SSDP) object.emplace("ssdp_user_agents", ssdp_user_agents);
    if (flags & ENCODE_IP) {
        object.emplace("ip_address", ip_list.empty() ? std::string() : ip_list.front());
        object.emplace("ip_count", ip_list.size());
    }
    if (flags & ENCODE_RESPONSE) {
        object.emplace("cached", cached);
        object.emplace("response", response);
    }
    out.push_back(std::move(object));
}

void to_json(json &j, const ozpDevice &device)
{
    j["mac"] = device.mac;
    j["label"] = device.label;
    j["dhcp_fingerprint"] = device.dhcp_fingerprint;
    j["dhcp_vendor"] = device.dhcp_vendor;
    j["dhcp_hostname"] = device.dhcp_hostname;
    j["http_user_agents"] = device.http_user_agents;
    j["ja4_clients"] = device.ja4_clients;
    j["mdns_services"] = device.mdns_services;
    j["ssdp_user_agents"] = device.ssdp_user_agents;
    j["ip_list"] = device.ip_list;
    j["confidence"] = device.confidence;
    j["cached"] = device.cached;
    j["other_device"] = device.other_device;
}

void from_json(const json &j, ozpDevice &device)
{
    j.at("mac").get_to(device.mac);
    j.at("label").get_to(device.label);
    j.at("dhcp_fingerprint").get_to(device.dhcp_fingerprint);
    j.at("dhcp_vendor").get_to(device.dhcp_vendor);
    j.at("dhcp_hostname").get_to(device.dhcp_hostname);
    j.at("http_user_agents").get_to(device.http_user_agents);
    j.at("ja4_clients").get_to(device.ja4_clients);
    j.at("mdns_services").get_to(device.mdns_services);
    j.at("ssdp_user_agents").get_to(device.ssdp_user_agents);
    j.at("ip_list").get_to(device.ip_list);
    device.confidence = Confidence(j.at("confidence"));
    j.at("cached").get_to(device.cached);
    j.at("other_device").get_to(device.other_device);
}

void ToCacheFile(json &j, const ozpDevice &device, int64_t wall_now, int64_t monotonic_now)
{
    to_json(j, device);
    j[OZP_CACHE_LAST_SEEN] = wall_now - (monotonic_now - device.last_update);
}

std::optional<int64_t> CacheLastSeen(const json &j)
{
    auto found = j.find(OZP_CACHE_LAST_SEEN);
    if (found == j.end()) return std::nullopt;
    if (found->is_number_integer() && !found->is_number_unsigned()) return found->get<int64_t>();
    if (found->is_number_unsigned() && found->get<uint64_t>() <= static_cast<uint64_t>(INT64_MAX))
        return static_cast<int64_t>(found->get<uint64_t>());
    return std::nullopt;
}
