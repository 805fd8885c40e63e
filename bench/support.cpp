#include "bench/support.h"

#include <cstdio>
#include <map>
#include <stdexcept>

#include "tests/support/files.h"
#include "tests/support/flows.h"
#include "tests/support/plugin.h"
#include "tests/support/standin_host.h"

namespace ostrel_bench {

namespace {

// A few common texts, shared out over the devices as on a real network.
const char *const BROWSER_AGENTS[] = {
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/124.0.0.0 Safari/537.36",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/17.4 Mobile/15E148 Safari/604.1",
    "Mozilla/5.0 (X11; Linux x86_64; rv:125.0) Gecko/20100101 Firefox/125.0",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/17.4 Safari/605.1.15",
};
const char *const APP_AGENTS[] = {
    "Microsoft-Delivery-Optimization/10.0",
    "com.apple.trustd/3.0",
    "Dalvik/2.1.0 (Linux; U; Android 14; Pixel 8 Build/AP1A.240405.002)",
    "Roku/DVP-12.5 (12.5.0.4174)",
};
const char *const JA4_CLIENTS[] = {
    "t13d1516h2_8daaf6152771_e5627efa2ab1",
    "t13d1715h2_5b57614c22b0_3d5424432f57",
};
const char *const MDNS_SERVICES[]
    = {"_googlecast._tcp.local", "_airplay._tcp.local", "_companion-link._tcp.local"};

const char *const GATEWAY_MAC = "02:00:5e:00:00:01";

template <size_t N> const char *Pick(const char *const (&texts)[N], size_t index)
{
    return texts[index % N];
}

std::string Format(const char *format, size_t a, size_t b = 0, size_t c = 0)
{
    char text[128];
    std::snprintf(text, sizeof(text), format, a, b, c);
    return text;
}

std::shared_ptr<ozFlow> Flow(const std::string &mac, const std::string &ip, const std::string &peer_ip)
{
    ostrel_test::FlowFields fields;
    fields.mac = mac;
    fields.ip = ip;
    fields.other_mac = GATEWAY_MAC;
    fields.other_ip = peer_ip;
    return ostrel_test::MakeFlow(fields);
}

} // namespace

void InstallHost()
{
    static ostrel_test::StandinHost host;
    // The banner and any failure would otherwise go to stderr between results.
    host.Silence();
}

const std::string &TempFolder()
{
    static ostrel_test::TempDir folder("ostrel-bench");
    return folder.Path();
}

std::unique_ptr<ozpPlugin> MakePlugin(const std::string &name, const std::string &config_text)
{
    auto plugin
        = ostrel_test::MakePluginFrom(TempFolder() + "/" + name + ".json", config_text, "dev-discovery");
    // What the first pass of the main loop does before any flow.
    plugin->Reload();
    // Tables of the largest size plus a batch of new devices: the default
    // bound is sized for a site, not for the benchmarks' tables.
    plugin->config.max_devices = 10000000;
    return plugin;
}

std::string DeviceMac(size_t index, unsigned prefix)
{
    return ostrel_test::MacText(
        uint64_t {prefix & 0xff} << 40 | uint64_t {0x1a} << 32 | (index & 0xffffffff));
}

std::vector<std::shared_ptr<ozFlow>> DeviceFlows(size_t index, unsigned prefix)
{
    std::string mac = DeviceMac(index, prefix);
    std::string ipv4
        = Format("10.%zu.%zu.%zu", (index >> 16) & 0xff, (index >> 8) & 0xff, (index & 0xff) | 1);
    std::string link_local
        = Format("fe80::%zx:%zx:ff:fe%zx", 0x1a00 + (index >> 16), index & 0xffff, index & 0xfff);
    std::string global = Format("2001:db8:%zx::%zx", index >> 16, (index & 0xffff) + 1);

    std::vector<std::shared_ptr<ozFlow>> flows;

    auto dhcp = Flow(mac, ipv4, "10.0.0.1");
    dhcp->detected_protocol = ozFlow::PROTO_DHCP;
    dhcp->dhcp.class_ident = "MSFT 5.0";
    dhcp->dhcp.fingerprint = "1,3,6,15,31,33,43,44,46,47,119,121,249,252";
    dhcp->host_name = Format("LAPTOP-%06zX", index);
    flows.push_back(dhcp);

    auto browser = Flow(mac, ipv4, "93.184.216.34");
    browser->user_agent = Pick(BROWSER_AGENTS, index);
    browser->user_agent_source = ozFlow::UA_HTTP;
    flows.push_back(browser);

    auto app = Flow(mac, global, "2001:db8:ffff::80");
    app->user_agent = Pick(APP_AGENTS, index / 4);
    app->user_agent_source = ozFlow::UA_HTTP;
    flows.push_back(app);

    for (const char *service : MDNS_SERVICES) {
        auto mdns = Flow(mac, link_local, "ff02::fb");
        mdns->mdns.domain_name = Format("Device-%06zx.", index) + service;
        flows.push_back(mdns);
    }

    auto tls = Flow(mac, global, "2001:db8:ffff::443");
    tls->tls.client_ja4 = Pick(JA4_CLIENTS, index);
    flows.push_back(tls);

    return flows;
}

std::vector<std::shared_ptr<ozFlow>> TableFlows(size_t count, unsigned prefix)
{
    std::vector<std::shared_ptr<ozFlow>> flows;
    flows.reserve(count * FLOWS_PER_DEVICE);
    for (size_t index = 0; index < count; index++) {
        for (auto &flow : DeviceFlows(index, prefix))
            flows.push_back(std::move(flow));
    }
    return flows;
}

void Feed(ozpPlugin &plugin, const std::vector<std::shared_ptr<ozFlow>> &flows)
{
    for (const auto &flow : flows)
        plugin.ProcessFlow(flow);
}

ozpPlugin &SharedTable(size_t count)
{
    static std::map<size_t, std::unique_ptr<ozpPlugin>> tables;
    auto &table = tables[count];
    if (!table) {
        table = MakePlugin("table-" + std::to_string(count));
        Feed(*table, TableFlows(count));
        if (table->devices.size() != count) throw std::runtime_error("table not built");
    }
    return *table;
}

void SetAnswered(ozpPlugin &plugin, bool answered)
{
    for (auto &entry : plugin.devices) {
        ozpDevice &device = entry.second;
        if (answered) {
            device.label = "Windows laptop";
            device.confidence = 42;
            device.response = {{"label", "Windows laptop"}, {"score", 42}, {"vendor", "Dell"}};
        } else {
            device.label.clear();
            device.confidence = 0;
            device.response = nullptr;
        }
    }
}

} // namespace ostrel_bench
