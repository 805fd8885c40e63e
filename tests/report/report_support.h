// Small builders shared by the reporting tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace ostrel_test {

// The wall clock of the plug-ins below: 2026-01-01 00:00:00 UTC.
constexpr int64_t WALL_CLOCK = 1767225600;

// A plug-in whose wall clock stands still at WALL_CLOCK.
inline std::unique_ptr<ozpPlugin> MakePlugin(const TempDir &dir)
{
    auto plugin = std::make_unique<ozpPlugin>(
        "dev-disc", ozPlugin::Params {{"conf_filename", dir.File("plugin.json")}});
    plugin->wall_clock = [] { return WALL_CLOCK; };
    return plugin;
}

// A device as a few flows and perhaps a cloud answer would leave it.
inline ozpDevice MakeDevice(const std::string &mac, uint32_t pending_updates, uint32_t confidence,
    const nlohmann::json &response = nullptr)
{
    ozpDevice device(mac, !response.is_null());
    device.dhcp_fingerprint = "1,3,6,15";
    device.dhcp_hostname = "host-" + mac.substr(mac.size() - 2);
    device.mdns_services.Push("_ipp._tcp.local");
    device.ip_list.insert("192.168.1." + std::to_string(mac.back() - '0' + 10));
    device.pending_updates = pending_updates;
    device.confidence = confidence;
    device.response = response;
    if (response.is_object() && response.contains("label")) device.label = response["label"];
    return device;
}

} // namespace ostrel_test
