#include <exception>

#include "plugin/plugin.h"

namespace {

// Every group but the confidence, which the sinks read from "response".
constexpr unsigned char SINK_ENCODE_FLAGS = 0xDF;
// What the cloud needs to identify a device.
constexpr unsigned char REQUEST_ENCODE_FLAGS = 0x5F;

} // namespace

void ozpPlugin::ProcessUpdate()
{
    json sink_payload;
    json request_payload;

    for (auto it = devices.begin(); it != devices.end();) {
        ozpDevice &device = it->second;
        bool confident = device.confidence >= config.max_confidence;

        if (device.pending_updates == 0 && !confident) {
            ++it;
            continue;
        }

        // Before retirement, so that a retired device reaches the sinks once.
        if (!sinks.empty() && !device.response.empty()) {
            device.Encode(sink_payload, SINK_ENCODE_FLAGS);
            device.cached = false;
            devices_version++;
        }

        if (confident) {
            if (ozGlobalConfig::GetInstance().IsDebug()) PrintDeviceDebug(device);
            AddIdentified(it->first);
            it = devices.erase(it);
            devices_version++;
            continue;
        }

        if (device.pending_updates != 0) {
            const ozGlobalConfig &global = ozGlobalConfig::GetInstance();
            if (global.IsDebug() && global.IsVerbose()) PrintDeviceDebug(device);
            device.Encode(request_payload, REQUEST_ENCODE_FLAGS);
            device.pending_updates = 0;
        }

        // The other endpoint of a flow is reported once, then left alone.
        if (device.other_device) {
            AddIdentified(it->first);
            it = devices.erase(it);
            devices_version++;
            continue;
        }
        ++it;
    }

    if (!sink_payload.empty()) {
        json payload = json::object();
        payload["device_discovery"] = std::move(sink_payload);
        DispatchPayload(payload);
    }

    if (!request_payload.empty() && config.api_enable && !api_thread) {
        try {
            api_thread.reset(new ozpApiDeviceDiscovery(config, request_payload));
            api_thread->Create();
        } catch (const std::exception &e) {
            oz_dprintf("%s: failed to create API thread: %s\n", tag.c_str(), e.what());
            // A thread that never started never ends: collection would wait
            // for it forever and no request would be sent again.
            api_thread.reset();
        }
    }
}
