#include "daemon/flow_line.h"

#include <cmath>
#include <exception>
#include <limits>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace ostrel_host {

namespace {

// Thrown inside this file only; ParseFlowLine turns it into an error text.
struct LineError {
    std::string text;
};

[[noreturn]] void Fail(const std::string &key, const std::string &why)
{
    throw LineError {key + ": " + why};
}

std::string Quote(const std::string &text)
{
    // Keeps messages short and printable whatever the line held.
    std::string quoted = json(text.size() > 64 ? text.substr(0, 64) + "..." : text)
                             .dump(-1, ' ', true, json::error_handler_t::replace);
    return quoted;
}

uint64_t Unsigned(const std::string &key, const json &value, uint64_t max)
{
    if (!value.is_number_unsigned() || value.get<uint64_t>() > max)
        Fail(key, "must be a whole number from 0 to " + std::to_string(max));
    return value.get<uint64_t>();
}

std::string Text(const std::string &key, const json &value)
{
    if (!value.is_string()) Fail(key, "must be a string");
    return value.get<std::string>();
}

ozAddr Address(const std::string &key, const json &value, bool mac)
{
    std::string text = Text(key, value);
    ozAddr addr;
    if (text.empty()) return addr;
    if (!ozAddr::Create(addr, text) || addr.IsEthernet() != mac)
        Fail(key, std::string(mac ? "not a MAC address: " : "not an IP address: ") + Quote(text));
    return addr;
}

ozPluginProcessor::Event EventValue(const json &value)
{
    if (value.is_string()) {
        const std::string name = value.get<std::string>();
        if (name == "flow_new") return ozPluginProcessor::EVENT_FLOW_NEW;
        if (name == "flow_dpi_update") return ozPluginProcessor::EVENT_FLOW_DPI_UPDATE;
        if (name == "flow_dpi_complete") return ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE;
        Fail("event",
            "unknown event name " + Quote(name)
                + " (flow_new, flow_dpi_update, flow_dpi_complete or a number)");
    }
    return static_cast<ozPluginProcessor::Event>(Unsigned("event", value, 255));
}

uint8_t OriginValue(const json &value)
{
    if (value.is_string()) {
        const std::string name = value.get<std::string>();
        if (name == "lower") return ozFlow::ORIGIN_LOWER;
        if (name == "upper") return ozFlow::ORIGIN_UPPER;
        Fail("origin", "unknown origin " + Quote(name) + " (lower, upper, 1 or 2)");
    }
    return static_cast<uint8_t>(Unsigned("origin", value, 255));
}

uint8_t UserAgentSource(const json &value)
{
    const std::string name = Text("user_agent_source", value);
    if (name == "http") return ozFlow::UA_HTTP;
    if (name == "ssdp") return ozFlow::UA_SSDP;
    if (name == "both") return ozFlow::UA_HTTP | ozFlow::UA_SSDP;
    if (name == "none") return ozFlow::UA_NONE;
    Fail("user_agent_source", "unknown source " + Quote(name) + " (http, ssdp, both or none)");
}

double TimeValue(const json &value)
{
    if (!value.is_number()) Fail("time", "must be a number of seconds");
    double seconds = value.get<double>();
    // Ten years bounds any capture and keeps the pacing arithmetic finite.
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 315360000.0)
        Fail("time", "must be from 0 to 315360000 seconds");
    return seconds;
}

void Fill(const json &doc, FlowLine &line)
{
    if (!doc.is_object()) Fail("line", "must be a JSON object");
    auto flow = std::make_shared<ozFlow>();
    flow->origin = ozFlow::ORIGIN_LOWER;
    bool has_user_agent_source = false;

    for (const auto &item : doc.items()) {
        const std::string &key = item.key();
        const json &value = item.value();
        if (key == "time")
            line.time = TimeValue(value);
        else if (key == "event")
            line.event = EventValue(value);
        else if (key == "origin")
            flow->origin = OriginValue(value);
        else if (key == "lower_mac")
            flow->lower_mac = Address(key, value, true);
        else if (key == "lower_ip")
            flow->lower_addr = Address(key, value, false);
        else if (key == "upper_mac")
            flow->upper_mac = Address(key, value, true);
        else if (key == "upper_ip")
            flow->upper_addr = Address(key, value, false);
        else if (key == "protocol")
            flow->detected_protocol = static_cast<unsigned>(Unsigned(key, value, 65535));
        else if (key == "dhcp_class_ident")
            flow->dhcp.class_ident = Text(key, value);
        else if (key == "dhcp_fingerprint")
            flow->dhcp.fingerprint = Text(key, value);
        else if (key == "host_name")
            flow->host_name = Text(key, value);
        else if (key == "user_agent")
            flow->user_agent = Text(key, value);
        else if (key == "user_agent_source") {
            flow->user_agent_source = UserAgentSource(value);
            has_user_agent_source = true;
        } else if (key == "ja4")
            flow->tls.client_ja4 = Text(key, value);
        else if (key == "mdns")
            flow->mdns.domain_name = Text(key, value);
        else if (key == "excluded") {
            if (!value.is_boolean()) Fail(key, "must be true or false");
            flow->excluded = value.get<bool>();
        } else if (key == "note")
            Text(key, value);
        // A misspelt key would otherwise drop its value without a word.
        else
            Fail(Quote(key), "unknown key");
    }
    // The host never sees a user agent without knowing where it came from.
    if (!flow->user_agent.empty() && !has_user_agent_source)
        Fail("user_agent_source", "missing; say where user_agent was seen (http, ssdp or both)");

    line.flow = std::move(flow);
    line.status = FlowLine::FLOW;
}

bool Blank(const std::string &text)
{
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\r') return c == '#';
    }
    return true;
}

} // namespace

FlowLine ParseFlowLine(const std::string &text)
{
    FlowLine line;
    // The JSON reader takes a NUL byte for the end of its input and would
    // accept the line with whatever follows it unread.
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        line.status = FlowLine::ERROR;
        line.error = "line: NUL byte at byte " + std::to_string(nul + 1);
        return line;
    }
    if (Blank(text)) return line;
    if (text.size() > FLOW_LINE_MAX_BYTES) {
        line.status = FlowLine::ERROR;
        line.error = "line longer than " + std::to_string(FLOW_LINE_MAX_BYTES) + " bytes";
        return line;
    }
    try {
        json doc = json::parse(text);
        Fill(doc, line);
    } catch (const LineError &e) {
        line = FlowLine();
        line.status = FlowLine::ERROR;
        line.error = e.text;
    } catch (const json::exception &e) {
        line = FlowLine();
        line.status = FlowLine::ERROR;
        // The library quotes what it read; one bad line gives one short message.
        line.error = std::string("not valid JSON: ") + e.what();
        if (line.error.size() > 300) line.error = line.error.substr(0, 300) + "...";
    } catch (const std::exception &e) {
        line = FlowLine();
        line.status = FlowLine::ERROR;
        line.error = e.what();
    }
    return line;
}

} // namespace ostrel_host
