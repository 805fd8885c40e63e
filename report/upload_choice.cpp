#include "report/upload_choice.h"

// The pending changes are walked as a ring from the last MAC sent: one pass
// at most, so that a table smaller than the bound goes out whole.
ozpUploadChoice ozpChooseUpload(const std::map<std::string, uint32_t> &unreported,
    const ozpDeviceTable::Map &devices, const std::string &last_uploaded_mac, size_t max_devices,
    size_t max_bytes, unsigned char flags)
{
    ozpUploadChoice choice;
    size_t bytes = ozpApiDeviceDiscovery::UPLOAD_BODY_OVERHEAD;

    auto due = unreported.upper_bound(last_uploaded_mac);
    for (size_t left = unreported.size(); left > 0 && choice.reported.size() < max_devices; left--, ++due) {
        if (due == unreported.end()) due = unreported.begin();
        auto entry = devices.find(due->first);
        if (entry == devices.end()) {
            // Purged since: nothing left to report.
            choice.gone.push_back(due->first);
            continue;
        }

        size_t size = choice.body.Encode(entry->second, flags);
        if (bytes + size > max_bytes) {
            if (!choice.reported.empty()) break;
            // Alone over the limit: it can never be sent, and is dropped
            // until it changes again rather than tried every cycle.
            choice.gone.push_back(due->first);
            choice.too_large.emplace_back(due->first, size);
            continue;
        }
        bytes += size;
        choice.body.Add();
        choice.reported.emplace_back(due->first, due->second);
    }
    return choice;
}
