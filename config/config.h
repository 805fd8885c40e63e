// The plug-in's configuration model, loaded from its JSON file on the plug-in
// thread. Only that thread reads or writes it.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/oz_api.h"

using json = nlohmann::json;

// Limits of one bounded value set of a device.
class ozpUniqueSetConfig
{
public:
    void Load(const json &j);

    uint64_t max = 10;
    uint64_t update_min = 0;
    uint64_t update_ttl = 0;
};

// Options of one sink channel.
class ozpChannelConfig
{
public:
    enum Format : uint32_t { FORMAT_JSON = 1, FORMAT_OBJECT = 2, FORMAT_MSGPACK = 3 };
    enum Compressor : uint32_t { COMPRESSOR_NONE = 0, COMPRESSOR_GZ = 1 };

    // `name` labels the call only ("defaults" for the top-level options).
    void Load(const std::string &name, const json &j);

    Format format = FORMAT_JSON;
    Compressor compressor = COMPRESSOR_NONE;
    bool flush = false;
};

// The plug-in settings. Load resets most members and reads the rest in
// place, so on its own a failed Load leaves a mix; Reload loads a copy.
class ozpGlobalConfig
{
public:
    void Load(const json &j);

    uint64_t max_confidence = 80;
    uint64_t max_device_age = 172800;
    ozpUniqueSetConfig max_http_user_agents;
    ozpUniqueSetConfig max_ja4_clients;
    ozpUniqueSetConfig max_mdns_services;
    ozpUniqueSetConfig max_ssdp_user_agents;
    bool process_all_macs = false;
    // In the host's MAC form, however the file wrote them.
    std::set<std::string> device_mac_ignore;
    // The entries of the last load that are no MAC, left out; Reload warns.
    std::vector<std::string> device_mac_ignore_rejected;
    std::string device_mac_ignore_group;
    std::string path_device_cache;
    std::shared_ptr<ozOstrelApiAuthMethod::Base> api_auth;
    bool api_enable = false;
    std::string api_url_index;
    std::string api_url_upload;

    // Bounds that keep one spoofing host or one oversized answer from
    // growing the plug-in without limit. Positive integers; anything else
    // keeps the default.
    uint64_t max_devices = 100000; // entries of the device table
    uint64_t max_identified = 200000; // retired MACs remembered
    uint64_t max_request_devices = 1000; // devices in one upload request
};
