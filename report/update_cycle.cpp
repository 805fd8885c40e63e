#include <cstdint>
#include <iterator>

#include "plugin/plugin.h"

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
    ozpUploadBody payload;
    ozpApiDeviceDiscovery::Reported reported;
    size_t bytes = ozpApiDeviceDiscovery::UPLOAD_BODY_OVERHEAD;

    auto due = unreported.upper_bound(last_uploaded_mac);
    for (size_t left = unreported.size(); left > 0 && reported.size() < config.max_request_devices; left--) {
        if (due == unreported.end()) due = unreported.begin();
        auto entry = devices.find(due->first);
        if (entry == devices.end()) {
            // Purged since: nothing left to report.
            due = unreported.erase(due);
            continue;
        }
        const ozpDevice &device = entry->second;

        size_t size = payload.Encode(device, OZP_REQUEST_ENCODE_FLAGS);
        if (bytes + size > max_request_bytes) {
            if (!reported.empty()) break;
            // Alone over the limit: it can never be sent. Said and dropped
            // until it changes again, rather than tried every cycle.
            request_failures.Printf(tag.c_str(),
                "%s: %s: report of %zu bytes is over the limit of %zu; not sent\n", tag.c_str(),
                due->first.c_str(), size, max_request_bytes);
            due = unreported.erase(due);
            continue;
        }

        const ozGlobalConfig &global = ozGlobalConfig::GetInstance();
        if (global.IsDebug() && global.IsVerbose()) PrintDeviceDebug(device);
        bytes += size;
        payload.Add();
        reported.emplace_back(due->first, due->second);
        ++due;
    }
    if (reported.empty()) return;

    bool started = StartRequest([this, &payload, &reported] {
        std::unique_ptr<ozpApiDeviceDiscovery> request(new ozpApiDeviceDiscovery(config, std::move(payload)));
        request->SetReported(std::move(reported));
        return request;
    });
    // Otherwise its devices stay due.
    if (started) last_uploaded_mac = api_thread->GetReported().back().first;
}
