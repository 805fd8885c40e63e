// The device cache load from any file contents, then a save; what was
// loaded must come back the same from the saved file.
#include <exception>
#include <map>

#include "fuzz/fuzz_support.h"

namespace {

using ostrel_fuzz::FuzzHost;
using ostrel_fuzz::Require;

std::map<std::string, std::string> CacheForms(const ozpPlugin::DeviceMap &devices)
{
    std::map<std::string, std::string> forms;
    for (const auto &device : devices) {
        json j;
        to_json(j, device.second);
        forms[device.first] = j.dump();
    }
    return forms;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzHost &host = FuzzHost::Get();
    const std::string path
        = host.Write("cache.json", std::string(reinterpret_cast<const char *>(data), size));
    auto plugin = host.MakePlugin();
    plugin->config.path_device_cache = path;
    plugin->config.device_mac_ignore = {"00:00:00:00:00:00"};

    size_t loaded = 0;
    try {
        loaded = plugin->LoadDevices(path);
    } catch (const std::exception &) {
        // Only a file that cannot be read throws; this one was just written.
        Require(false, "a readable cache loads without an exception");
    }
    Require(loaded == plugin->devices.size(), "load reports the table's size");
    for (const auto &device : plugin->devices) {
        Require(!device.first.empty() && device.first == device.second.mac, "devices are keyed by their MAC");
        Require(device.first != "00:00:00:00:00:00", "ignored MACs stay out");
    }

    // A table that was loaded is saved whole and reads back the same.
    plugin->SaveDevices(path);
    const auto saved = CacheForms(plugin->devices);
    // One live instance per cache path.
    plugin.reset();
    auto reread = host.MakePlugin();
    reread->LoadDevices(path);
    Require(saved == CacheForms(reread->devices), "a saved cache reads back the same");
    return 0;
}
