#include <cstdint>
#include <iterator>

#include "plugin/plugin.h"
#include "report/upload_choice.h"

namespace {

uint32_t AddCounts(uint32_t a, uint32_t b)
{
    return b > UINT32_MAX - a ? UINT32_MAX : a + b;
}

} // namespace

ozpPlugin::DeviceMap::iterator ozpPlugin::RetireDevice(DeviceMap::iterator entry)
{
    AddIdentified(entry->first);
    unreported.erase(entry->first);
    return device_table.Remove(devices, entry);
}

// Changes move from the device into `unreported`, where they stay until a
// good answer covers them: a request refused, failed or never sent (one
// still running, the API off) loses nothing.
void ozpPlugin::ProcessUpdate()
{
    json sink_payload;

    for (auto it = devices.begin(); it != devices.end();) {
        ozpDevice &device = it->second;
        bool confident = device.confidence >= config.max_confidence;
        // With the API off no answer will ever cover another endpoint's
        // device: it goes after one cycle.
        bool other_done = device.other_device && !config.api_enable;

        if (device.pending_updates == 0 && !confident && !other_done) {
            ++it;
            continue;
        }

        // Before retirement, so that a retired device reaches the sinks once.
        if (!sinks.empty() && !device.response.empty()) {
            device.Encode(sink_payload, OZP_SINK_ENCODE_FLAGS);
            device_table.SinkReported(device);
        }

        if (confident) {
            if (ozGlobalConfig::GetInstance().IsDebug()) PrintDeviceDebug(device);
            it = RetireDevice(it);
            continue;
        }

        if (device.pending_updates != 0) {
            uint32_t &count = unreported[it->first];
            count = AddCounts(count, device.pending_updates);
            device.pending_updates = 0;
        }

        if (other_done) {
            it = RetireDevice(it);
            continue;
        }
        ++it;
    }

    if (!sink_payload.empty()) {
        json payload = json::object();
        payload["device_discovery"] = std::move(sink_payload);
        DispatchPayload(payload);
    }

    // Purged devices leave their counts behind; with the API off no upload
    // passes over them, so they go once they outnumber the table.
    if (unreported.size() > devices.size()) {
        for (auto due = unreported.begin(); due != unreported.end();)
            due = devices.count(due->first) != 0 ? std::next(due) : unreported.erase(due);
    }

    if (config.api_enable && !api_thread && !unreported.empty()) StartUpload();
}

// One request carries at most max_request_devices devices and
// max_request_bytes of body, starting after the last MAC of the previous
// one and wrapping around, so that every due device gets its turn however
// often the first ones change.
void ozpPlugin::StartUpload()
{
    ozpUploadChoice choice = ozpChooseUpload(unreported, devices, last_uploaded_mac,
        config.max_request_devices, max_request_bytes, OZP_REQUEST_ENCODE_FLAGS);
    for (const auto &large : choice.too_large)
        request_failures.Printf(tag.c_str(),
            "%s: %s: report of %zu bytes is over the limit of %zu; not sent\n", tag.c_str(),
            large.first.c_str(), large.second, max_request_bytes);
    for (const std::string &mac : choice.gone)
        unreported.erase(mac);
    if (choice.reported.empty()) return;

    const ozGlobalConfig &global = ozGlobalConfig::GetInstance();
    if (global.IsDebug() && global.IsVerbose()) {
        for (const auto &sent : choice.reported)
            PrintDeviceDebug(devices.at(sent.first));
    }
    ozpUploadBody &payload = choice.body;
    ozpApiDeviceDiscovery::Reported &reported = choice.reported;

    bool started = StartRequest([this, &payload, &reported] {
        std::unique_ptr<ozpApiDeviceDiscovery> request(new ozpApiDeviceDiscovery(config, std::move(payload)));
        request->SetReported(std::move(reported));
        return request;
    });
    // Otherwise its devices stay due.
    if (started) last_uploaded_mac = api_thread->GetReported().back().first;
}
