// One discovered device: its identifying attributes and the cloud's verdict.
// Also the transient observation built from one flow or one cloud answer.
// A plain value used on the plug-in thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "config/config.h"
#include "device/unique_set.h"

using json = nlohmann::json;

class ozpDevice
{
public:
    // Groups of the report form (Encode).
    enum EncodeFlags : uint8_t {
        ENCODE_DHCP = 0x01,
        ENCODE_MDNS = 0x02,
        ENCODE_HTTP = 0x04,
        ENCODE_SSDP = 0x08,
        ENCODE_JA4 = 0x10,
        ENCODE_CONFIDENCE = 0x20,
        ENCODE_IP = 0x40,
        ENCODE_RESPONSE = 0x80,
    };

    ozpDevice();
    ozpDevice(const std::string &mac, bool cached);

    // Gives the four value sets the configured limits.
    void SetLimits(const ozpGlobalConfig &config);

    // Merges an observation; each accepted change raises pending_updates.
    void Update(const ozpDevice &other);

    // Appends the report form of this device to `out` (null or an array).
    void Encode(json &out, unsigned char flags) const;

    std::string mac;
    std::string label;
    std::string dhcp_fingerprint;
    std::string dhcp_vendor;
    std::string dhcp_hostname;
    ozpUniqueSet<std::string> http_user_agents {"http_user_agents"};
    ozpUniqueSet<std::string> ja4_clients {"ja4_clients"};
    ozpUniqueSet<std::string> mdns_services {"mdns_services"};
    ozpUniqueSet<std::string> ssdp_user_agents {"ssdp_user_agents"};
    IPList ip_list;
    uint32_t pending_updates = 1;
    uint32_t confidence = 0;
    bool cached = false;
    json response;
    bool other_device = false;
    int64_t last_update;
};

// The cache form: 13 keys, every one required on read.
void to_json(json &j, const ozpDevice &device);
void from_json(const json &j, ozpDevice &device);

// The cache file also holds "last_seen" beside the 13 keys: the wall-clock
// second (since the Unix epoch, UTC) the device was last seen, so that a
// device keeps its age across restarts. Readers that do not know the key
// ignore it, and files without it still load.
constexpr const char *OZP_CACHE_LAST_SEEN = "last_seen";

// The 13 keys and "last_seen", taken from the device's monotonic
// last_update and the two clocks read now.
void ToCacheFile(json &j, const ozpDevice &device, int64_t wall_now, int64_t monotonic_now);

// The "last_seen" of a cache object; none when it is absent or not a whole
// number of seconds, as an older reader would take it.
std::optional<int64_t> CacheLastSeen(const json &j);
