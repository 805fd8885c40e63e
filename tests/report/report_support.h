// Small builders shared by the reporting tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"
#include "tests/support/plugin.h"

namespace ostrel_test {

// A plug-in of `dir` whose wall clock stands still at WALL_CLOCK.
inline std::unique_ptr<ozpPlugin> MakePlugin(const TempDir &dir)
{
    return MakeStillPlugin(dir.File("plugin.json"));
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
