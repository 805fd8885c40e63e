#include "daemon/flow_dump.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

namespace ostrel_host {

namespace {

using ordered_json = nlohmann::ordered_json;

const char *EventName(unsigned event)
{
    switch (event) {
    case ozPluginProcessor::EVENT_FLOW_NEW:
        return "flow_new";
    case ozPluginProcessor::EVENT_FLOW_DPI_UPDATE:
        return "flow_dpi_update";
    case ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE:
        return "flow_dpi_complete";
    default:
        return nullptr;
    }
}

void Text(ordered_json &doc, const char *key, const std::string &value)
{
    if (!value.empty()) doc[key] = value;
}

void Address(ordered_json &doc, const char *key, const ozAddr &addr)
{
    if (addr.IsValid()) doc[key] = addr.GetString();
}

} // namespace

std::string FlowDumpLine(const ozFlow &flow, unsigned event, double time)
{
    ordered_json doc = ordered_json::object();
    // Microseconds are all a capture's clock holds.
    if (time >= 0 && std::isfinite(time)) doc["time"] = std::round(time * 1e6) / 1e6;
    if (const char *name = EventName(event))
        doc["event"] = name;
    else
        doc["event"] = event;
    // Written even when unknown: a line without one reads as "lower".
    if (flow.origin == ozFlow::ORIGIN_LOWER)
        doc["origin"] = "lower";
    else if (flow.origin == ozFlow::ORIGIN_UPPER)
        doc["origin"] = "upper";
    else
        doc["origin"] = flow.origin;
    Address(doc, "lower_mac", flow.lower_mac);
    Address(doc, "lower_ip", flow.lower_addr);
    Address(doc, "upper_mac", flow.upper_mac);
    Address(doc, "upper_ip", flow.upper_addr);
    if (flow.detected_protocol != 0) doc["protocol"] = flow.detected_protocol;
    Text(doc, "dhcp_class_ident", flow.dhcp.class_ident);
    Text(doc, "dhcp_fingerprint", flow.dhcp.fingerprint);
    Text(doc, "host_name", flow.host_name);
    Text(doc, "user_agent", flow.user_agent);
    // The reader needs the source with every user agent.
    const uint8_t source = flow.user_agent_source & (ozFlow::UA_HTTP | ozFlow::UA_SSDP);
    if (source != ozFlow::UA_NONE || !flow.user_agent.empty()) {
        static const char *const SOURCES[] = {"none", "http", "ssdp", "both"};
        doc["user_agent_source"] = SOURCES[source];
    }
    Text(doc, "ja4", flow.tls.client_ja4);
    Text(doc, "mdns", flow.mdns.domain_name);
    if (flow.excluded) doc["excluded"] = true;
    return doc.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

bool FlowDumpFile::Open(const std::string &path_, std::string &error)
{
    Close();
    path = path_;
    file = std::fopen(path.c_str(), "we");
    if (file == nullptr) {
        error = path + ": cannot write flow dump: " + strerror(errno);
        return false;
    }
    failed = false;
    lines = 0;
    return true;
}

bool FlowDumpFile::Write(const ozFlow &flow, unsigned event, double time, std::string &error)
{
    if (file == nullptr) return false;
    std::string line = FlowDumpLine(flow, event, time);
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), file) == line.size()) {
        lines++;
        return true;
    }
    return Failed(error);
}

bool FlowDumpFile::Failed(std::string &error)
{
    bool first = !failed;
    if (first) error = path + ": write failed: " + strerror(errno);
    failed = true;
    // What was buffered is lost; the next lines get their chance.
    std::clearerr(file);
    return !first;
}

bool FlowDumpFile::Flush(std::string &error)
{
    if (file == nullptr) return true;
    if (std::fflush(file) == 0) {
        failed = false;
        return true;
    }
    return Failed(error);
}

bool FlowDumpFile::Close(std::string &error)
{
    if (file == nullptr) return true;
    bool good = Flush(error);
    if (std::fclose(file) != 0 && good) {
        error = path + ": close failed: " + strerror(errno);
        good = false;
    }
    file = nullptr;
    return good;
}

void FlowDumpFile::Close()
{
    std::string ignored;
    Close(ignored);
}

} // namespace ostrel_host
