// The configuration reload from any file contents, then a flow, an update
// cycle and a cache save with what was loaded.
#include <exception>

#include "fuzz/fuzz_support.h"

namespace {

using ostrel_fuzz::FuzzHost;
using ostrel_fuzz::Require;

bool SameSinks(const ozpPlugin::SinkMap &a, const ozpPlugin::SinkMap &b)
{
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
        if (x->first != y->first || x->second.size() != y->second.size()) return false;
        for (auto c = x->second.begin(), d = y->second.begin(); c != x->second.end(); ++c, ++d) {
            if (c->first != d->first || c->second.format != d->second.format
                || c->second.compressor != d->second.compressor || c->second.flush != d->second.flush)
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzHost &host = FuzzHost::Get();
    host.Write("plugin.json", std::string(reinterpret_cast<const char *>(data), size));
    auto plugin = host.MakePlugin();

    bool loaded = true;
    try {
        plugin->Reload();
    } catch (const std::exception &e) {
        // The main loop logs the message: it must be text it can print.
        Require(e.what() != nullptr, "reload error has a message");
        loaded = false;
    }

    if (loaded) {
        // A good file loads the same way every time.
        ozpPlugin::SinkMap first = plugin->sinks;
        ozpGlobalConfig config = plugin->config;
        plugin->Reload();
        Require(SameSinks(first, plugin->sinks), "reload of the same file gives the same sinks");
        Require(config.max_confidence == plugin->config.max_confidence
                && config.path_device_cache == plugin->config.path_device_cache
                && config.device_mac_ignore == plugin->config.device_mac_ignore,
            "reload of the same file gives the same settings");
    }

    // Whatever was loaded must be usable: the file's own paths and URLs are
    // kept out (the fuzzer must not write anywhere or reach a network).
    plugin->config.api_enable = false;
    plugin->config.path_device_cache = host.File("cache.json");
    {
        auto flow = std::make_shared<ozFlow>();
        flow->origin = ozFlow::ORIGIN_LOWER;
        ozAddr::Create(flow->lower_mac, "00:11:22:33:44:55");
        ozAddr::Create(flow->upper_mac, "66:77:88:99:aa:bb");
        ozAddr::Create(flow->lower_addr, "192.168.1.10");
        flow->detected_protocol = ozFlow::PROTO_DHCP;
        flow->dhcp.fingerprint = "1,3,6";
        flow->user_agent = "agent";
        flow->user_agent_source = ozFlow::UA_HTTP | ozFlow::UA_SSDP;
        flow->mdns.domain_name = "_ipp._tcp.local";
        flow->tls.client_ja4 = "t13d";
        plugin->ProcessFlow(flow);
        plugin->ProcessFlow(flow);
    }
    for (auto &device : plugin->devices)
        device.second.response = R"({"label":"x","score":1})"_json;
    plugin->ProcessUpdate();
    plugin->cache_loaded = true;
    plugin->cache_loaded_path = plugin->config.path_device_cache;
    plugin->SaveDevices(plugin->config.path_device_cache);
    return 0;
}
