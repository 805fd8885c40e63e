// Which due devices the next upload carries, and its body, from the table
// and the pending changes alone, so that the choice can be checked without a
// plug-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "device/device_table.h"
#include "report/api_request.h"

struct ozpUploadChoice {
    // The devices carried, with the changes of each that the body covers.
    ozpApiDeviceDiscovery::Reported reported;
    ozpUploadBody body;
    // MACs to take out of the pending changes, in the order met: those no
    // longer in the table, and those alone over the bound (with their size).
    std::vector<std::string> gone;
    std::vector<std::pair<std::string, size_t>> too_large;
};

// At most `max_devices` devices and `max_bytes` of body, starting after
// `last_uploaded_mac` and wrapping around. The devices are encoded with
// `flags`.
ozpUploadChoice ozpChooseUpload(const std::map<std::string, uint32_t> &unreported,
    const ozpDeviceTable::Map &devices, const std::string &last_uploaded_mac, size_t max_devices,
    size_t max_bytes, unsigned char flags);
