#include "device/device.h"

ozpDevice::ozpDevice() : last_update(oz_time_monotonic()) {}
ozpDevice::ozpDevice(const std::string &mac, bool cached) : mac(mac), cached(cached), last_update(oz_time_monotonic()) {}
void ozpDevice::Update(const ozpDevice &) {}
void ozpDevice::Encode(json &, unsigned char) const {}
void to_json(json &, const ozpDevice &) {}
void from_json(const json &, ozpDevice &) {}
