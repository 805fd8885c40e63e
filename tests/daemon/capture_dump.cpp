#include "tests/daemon/capture_dump.h"

#include <sstream>

#include "daemon/flow_line.h"

namespace ostrel_test {

namespace {

Observation Observe(const ozFlow &flow, unsigned event)
{
    const ozAddr &mac = flow.origin == ozFlow::ORIGIN_UPPER ? flow.upper_mac : flow.lower_mac;
    Observation o;
    o.event = event;
    if (mac.IsValid()) o.mac = mac.GetString();
    o.protocol = flow.detected_protocol;
    o.dhcp_fingerprint = flow.dhcp.fingerprint;
    o.dhcp_vendor = flow.dhcp.class_ident;
    o.dhcp_hostname = flow.host_name;
    o.user_agent = flow.user_agent;
    o.user_agent_source = flow.user_agent_source;
    o.ja4 = flow.tls.client_ja4;
    o.mdns = flow.mdns.domain_name;
    return o;
}

} // namespace

std::vector<std::string> HostArgs(const TempDir &dir, const std::vector<std::string> &extra)
{
    const std::string conf = dir.Write("plugin.json",
        R"({"path_device_cache": ")" + dir.File("cache.json") + R"(", "ostrel_api": {"enable": false}})");
    std::vector<std::string> argv = {OSTREL_HOST_BIN, "--plugin", OSTREL_PLUGIN_PATH, "--conf", conf};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

DumpObservations ReadDump(const std::string &path)
{
    DumpObservations out;
    std::istringstream in(ReadFile(path));
    std::string text;
    while (std::getline(in, text)) {
        out.lines++;
        ostrel_host::FlowLine line = ostrel_host::ParseFlowLine(text);
        if (line.status == ostrel_host::FlowLine::FLOW)
            out.observations.push_back(Observe(*line.flow, static_cast<unsigned>(line.event)));
        else
            out.errors += std::to_string(out.lines) + ": " + line.error + "\n";
    }
    return out;
}

} // namespace ostrel_test
