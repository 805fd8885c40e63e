// Flows with any field values (MACs, addresses, invalid UTF-8, huge texts),
// cloud verdicts, update cycles and the passing of time, in any order; then
// a cache save that must keep every device.
#include <arpa/inet.h>

#include <cstdio>
#include <set>

#include "fuzz/fuzz_support.h"

namespace {

using ostrel_fuzz::ByteReader;
using ostrel_fuzz::FuzzHost;
using ostrel_fuzz::Require;

const char *const KNOWN_MACS[]
    = {"00:11:22:33:44:55", "66:77:88:99:aa:bb", "3c:28:6d:41:9a:10", "ff:ff:ff:ff:ff:ff"};

std::string RawMac(ByteReader &in)
{
    char text[18];
    uint8_t b[6];
    for (uint8_t &byte : b)
        byte = in.Byte();
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return text;
}

ozAddr Mac(ByteReader &in)
{
    ozAddr addr;
    uint8_t kind = in.Byte();
    switch (kind % 4) {
    case 0:
        break;
    case 1:
        ozAddr::Create(addr, KNOWN_MACS[(kind >> 2) % 4]);
        break;
    case 2:
        ozAddr::Create(addr, RawMac(in));
        break;
    case 3:
        ozAddr::Create(addr, in.Text(40));
        break;
    }
    return addr;
}

ozAddr Ip(ByteReader &in)
{
    ozAddr addr;
    uint8_t kind = in.Byte();
    uint8_t bytes[16];
    char text[INET6_ADDRSTRLEN];
    switch (kind % 4) {
    case 0:
        break;
    case 1:
    case 2: {
        int family = kind % 4 == 1 ? AF_INET : AF_INET6;
        for (uint8_t &byte : bytes)
            byte = in.Byte();
        if (inet_ntop(family, bytes, text, sizeof(text)) != nullptr) ozAddr::Create(addr, text);
        break;
    }
    case 3:
        ozAddr::Create(addr, in.Text(64));
        break;
    }
    return addr;
}

// Mostly short texts; now and then one far beyond anything a flow carries.
std::string FlowText(ByteReader &in)
{
    uint8_t kind = in.Byte();
    if (kind < 0xF0) return in.Text(kind);
    std::string unit = in.Text(16);
    if (unit.empty()) unit = "\xff";
    size_t length = size_t(kind - 0xEF) * 16 * 1024;
    std::string text;
    while (text.size() < length)
        text += unit;
    return text;
}

std::shared_ptr<ozFlow> Flow(ByteReader &in)
{
    auto flow = std::make_shared<ozFlow>();
    uint8_t bits = in.Byte();
    flow->origin = bits % 4;
    flow->excluded = (bits & 0x80) != 0;
    flow->lower_mac = Mac(in);
    flow->upper_mac = Mac(in);
    flow->lower_addr = Ip(in);
    flow->upper_addr = Ip(in);
    flow->detected_protocol = (bits & 0x04) ? ozFlow::PROTO_DHCP : in.Byte();
    flow->user_agent_source = (bits >> 3) & 3;
    flow->dhcp.class_ident = FlowText(in);
    flow->dhcp.fingerprint = FlowText(in);
    flow->host_name = FlowText(in);
    flow->user_agent = FlowText(in);
    flow->tls.client_ja4 = FlowText(in);
    flow->mdns.domain_name = FlowText(in);
    return flow;
}

void Configure(ozpPlugin &plugin, ByteReader &in)
{
    const uint64_t maxes[] = {0, 1, 3, 10};
    uint8_t limits = in.Byte();
    ozpUniqueSetConfig set;
    set.max = maxes[limits % 4];
    set.update_min = (limits & 0x04) ? 2 : 0;
    set.update_ttl = (limits & 0x08) ? 60 : 0;
    plugin.config.max_http_user_agents = set;
    plugin.config.max_ja4_clients = set;
    set.max = maxes[(limits >> 4) % 4];
    plugin.config.max_mdns_services = set;
    plugin.config.max_ssdp_user_agents = set;

    uint8_t options = in.Byte();
    plugin.config.process_all_macs = (options & 0x01) != 0;
    const uint64_t ages[] = {60, 3600, 172800, 0};
    plugin.config.max_device_age = ages[(options >> 1) % 4];
    const uint64_t confidences[] = {80, 0, 1, 100};
    plugin.config.max_confidence = confidences[(options >> 3) % 4];
    if (options & 0x20) plugin.config.device_mac_ignore.insert(KNOWN_MACS[0]);
    if (options & 0x40) {
        ozpChannelConfig channel;
        channel.format = static_cast<ozpChannelConfig::Format>(1 + (options >> 7));
        plugin.sinks["fuzz-sink"]["devices"] = channel;
    }
}

// A verdict of the cloud for one device, merged as an answer would be.
void Verdict(ozpPlugin &plugin, ByteReader &in)
{
    std::string mac = Mac(in).GetString();
    // Any text the cloud may send: it arrives as JSON, so it is valid UTF-8.
    if (mac.empty()) mac = json(in.Text(20)).dump(-1, ' ', false, json::error_handler_t::replace);
    ozpDevice update(mac, true);
    update.label = in.Text(40);
    update.confidence = in.Byte();
    update.response = json::object();
    update.response["label"] = update.label;
    update.response["score"] = update.confidence;
    plugin.AddUpdateDevice(mac, update, true);
}

void CheckBounds(const ozpPlugin &plugin)
{
    auto bounded = [](const ozpUniqueSet<std::string> &set) { return set.max == 0 || set.size() <= set.max; };
    for (const auto &entry : plugin.devices) {
        const ozpDevice &device = entry.second;
        Require(device.ip_list.size() <= device.ip_list.max_size, "the IP list keeps its bound");
        Require(bounded(device.http_user_agents) && bounded(device.ja4_clients)
                && bounded(device.mdns_services) && bounded(device.ssdp_user_agents),
            "every value set keeps its bound");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzHost &host = FuzzHost::Get();
    ByteReader in(data, size);
    auto plugin = host.MakePlugin();
    const std::string path = host.File("cache.json");
    plugin->config.path_device_cache = path;
    plugin->cache_loaded = true;
    plugin->cache_loaded_path = path;
    Configure(*plugin, in);

    for (int step = 0; step < 64 && !in.Empty(); step++) {
        uint8_t op = in.Byte();
        switch (op % 8) {
        case 0:
        case 1:
        case 2:
        case 3: {
            auto flow = Flow(in);
            plugin->DispatchProcessorEvent(static_cast<ozPluginProcessor::Event>(op >> 3), flow);
            while (!plugin->flow_queue.empty()) {
                auto queued = plugin->flow_queue.front();
                plugin->flow_queue.pop_front();
                plugin->ProcessFlow(queued);
            }
            break;
        }
        case 4:
            plugin->ProcessUpdate();
            break;
        case 5:
            host.clock.Advance(in.Word());
            break;
        case 6:
            Verdict(*plugin, in);
            break;
        case 7:
            plugin->PurgeDevices();
            break;
        }
        CheckBounds(*plugin);
    }
    plugin->ProcessUpdate();

    // Saved whole even with invalid UTF-8 in its texts, and read back whole.
    plugin->SaveDevices(path);
    std::set<std::string> saved;
    for (const auto &entry : plugin->devices)
        saved.insert(entry.first);
    const uint64_t max_device_age = plugin->config.max_device_age;
    // One live instance per cache path.
    plugin.reset();
    auto reread = host.MakePlugin();
    reread->config.max_device_age = max_device_age;
    reread->LoadDevices(path);
    std::set<std::string> loaded;
    for (const auto &entry : reread->devices)
        loaded.insert(entry.first);
    saved.erase("");
    Require(saved == loaded, "every saved device reads back");
    return 0;
}
