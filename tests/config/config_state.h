// The configuration members as JSON, so that tests compare them with
// literal JSON text.
#pragma once

#include <nlohmann/json.hpp>

#include "plugin/plugin.h"

namespace ostrel_test {

inline nlohmann::json SetState(const ozpUniqueSetConfig &set)
{
    return {{"max", set.max}, {"update_min", set.update_min}, {"update_ttl", set.update_ttl}};
}

inline nlohmann::json ChannelState(const ozpChannelConfig &channel)
{
    return {{"format", static_cast<uint32_t>(channel.format)},
        {"compressor", static_cast<uint32_t>(channel.compressor)}, {"flush", channel.flush}};
}

inline nlohmann::json ConfigState(const ozpGlobalConfig &config)
{
    return {{"max_confidence", config.max_confidence}, {"max_device_age", config.max_device_age},
        {"max_http_user_agents", SetState(config.max_http_user_agents)},
        {"max_ja4_clients", SetState(config.max_ja4_clients)},
        {"max_mdns_services", SetState(config.max_mdns_services)},
        {"max_ssdp_user_agents", SetState(config.max_ssdp_user_agents)},
        {"process_all_macs", config.process_all_macs}, {"device_mac_ignore", config.device_mac_ignore},
        {"device_mac_ignore_group", config.device_mac_ignore_group},
        {"path_device_cache", config.path_device_cache}, {"api_auth", config.api_auth != nullptr},
        {"api_enable", config.api_enable}, {"api_url_index", config.api_url_index},
        {"api_url_upload", config.api_url_upload}};
}

inline nlohmann::json SinksState(const ozpPlugin::SinkMap &sinks)
{
    nlohmann::json state = nlohmann::json::object();
    for (const auto &[sink, channels] : sinks)
        for (const auto &[name, channel] : channels)
            state[sink][name] = ChannelState(channel);
    return state;
}

// Everything a reload may change.
inline nlohmann::json PluginState(const ozpPlugin &plugin)
{
    return {{"config", ConfigState(plugin.config)},
        {"channel_defaults", ChannelState(plugin.channel_defaults)}, {"sinks", SinksState(plugin.sinks)}};
}

} // namespace ostrel_test
