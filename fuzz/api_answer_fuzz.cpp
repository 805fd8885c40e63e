// The cloud's answer processing from any body, with any HTTP code and
// content type, as the answer to an upload; then a flow of a MAC the answer
// may have held a verdict for, the update cycle that hands answered devices
// to a sink, and a cache save.
#include "fuzz/fuzz_support.h"
#include "tests/support/flows.h"

namespace {

using ostrel_fuzz::ByteReader;
using ostrel_fuzz::FuzzHost;
using ostrel_fuzz::Require;

const char *const CONTENT_TYPES[] = {"application/json", "application/json", "application/json", "",
    "application/json; charset=utf-8", "text/html", "Application/JSON"};
const int64_t CODES[] = {200, 200, 200, -1, 0, 201, 204, 401, 429, 500, 503};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzHost &host = FuzzHost::Get();
    ByteReader in(data, size);
    // First byte: code; second: content type (a choice or a text); the rest
    // is the body.
    uint8_t code = in.Byte();
    int64_t response_code = code < 11 ? CODES[code] : static_cast<int64_t>(code) * 3;
    uint8_t type = in.Byte();
    std::string content_type = type < 7 ? CONTENT_TYPES[type] : in.Text(type - 7);
    std::string body = in.Rest();

    auto plugin = host.MakePlugin();
    const std::string path = host.File("cache.json");
    plugin->config.path_device_cache = path;
    plugin->cache_loaded = true;
    plugin->cache_loaded_path = path;
    plugin->sinks["fuzz-sink"]["devices"] = ozpChannelConfig();
    // Devices the answer may name, one of them already answered before.
    for (const char *mac : {"00:11:22:33:44:55", "3c:28:6d:41:9a:10"}) {
        ozpDevice device(mac, false);
        device.ip_list.insert("192.168.1.2");
        plugin->AddUpdateDevice(mac, device, true);
    }
    plugin->devices.begin()->second.response = R"({"label":"before","score":10})"_json;

    // One device sent and still due; one sent and purged since.
    plugin->unreported["3c:28:6d:41:9a:10"] = 1;
    plugin->ProcessApiAnswer(
        response_code, content_type, body, "", {{"3c:28:6d:41:9a:10", 1}, {"00:00:00:00:00:01", 1}});
    Require(plugin->devices.size() <= 3, "answers add only what was sent");
    ostrel_test::FlowFields flow;
    flow.mac = "00:00:00:00:00:02";
    plugin->ProcessFlow(ostrel_test::MakeFlow(flow));
    for (const auto &device : plugin->devices)
        Require(device.first == device.second.mac, "answers merge under their MAC");

    plugin->ProcessUpdate();
    plugin->SaveDevices(path);
    return 0;
}
