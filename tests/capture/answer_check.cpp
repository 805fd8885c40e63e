#include "tests/capture/answer_check.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace ostrel_test {

namespace {

using nlohmann::json;

constexpr unsigned EVENT_FLOW_NEW = 2;
constexpr unsigned PROTO_DHCP = 18;
constexpr uint8_t UA_SSDP = 2;

std::string Text(const json &device, const char *key)
{
    auto it = device.find(key);
    return it != device.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::set<std::string> Set(const json &device, const char *key)
{
    std::set<std::string> out;
    auto it = device.find(key);
    if (it != device.end() && it->is_array())
        for (const json &v : *it)
            if (v.is_string()) out.insert(v.get<std::string>());
    return out;
}

// An instance or host name ("Kitchen._ipp._tcp.local", "printer.local"),
// not a service type or subtype ("_ipp._tcp.local", "x._sub._ipp._tcp.local").
bool IsOwnMdnsName(const std::string &name)
{
    return !name.empty() && name[0] != '_' && name.find("._sub._") == std::string::npos;
}

DeviceValues Expected(const json &device)
{
    DeviceValues d;
    d.dhcp_fingerprint = AnswerDhcpBytes(Text(device, "dhcp_fingerprint"));
    d.dhcp_vendor = AnswerDhcpBytes(Text(device, "dhcp_vendor"));
    d.dhcp_hostname = AnswerDhcpBytes(Text(device, "dhcp_hostname"));
    d.http_user_agents = Set(device, "http_user_agents");
    d.ssdp_user_agents = Set(device, "ssdp_user_agents");
    d.mdns_services = Set(device, "mdns_services");
    d.ja4 = Set(device, "ja4_clients");
    d.ja4_later = Set(device, "ja4_later_hellos");
    return d;
}

void CompareText(
    std::ostringstream &out, const char *what, const std::string &expected, const std::string &found)
{
    if (expected != found)
        out << "    " << what << ": expected \"" << expected << "\", found \"" << found << "\"\n";
}

// Missing: expected but not found. Unexpected: found, neither expected nor
// in `also_allowed`.
void CompareSet(std::ostringstream &out, const char *what, const std::set<std::string> &expected,
    const std::set<std::string> &found, const std::set<std::string> &also_allowed = {})
{
    for (const std::string &v : expected)
        if (found.count(v) == 0) out << "    " << what << " missing: " << v << "\n";
    for (const std::string &v : found)
        if (expected.count(v) == 0 && also_allowed.count(v) == 0)
            out << "    " << what << " unexpected: " << v << "\n";
}

std::string CompareDevice(const DeviceValues &want, const DeviceValues &have, TextPath path)
{
    auto dhcp = [path](const std::string &text) { return path == TextPath::DUMPED ? AsDumped(text) : text; };
    std::ostringstream out;
    CompareText(out, "dhcp_fingerprint", dhcp(want.dhcp_fingerprint), have.dhcp_fingerprint);
    CompareText(out, "dhcp_vendor", dhcp(want.dhcp_vendor), have.dhcp_vendor);
    CompareText(out, "dhcp_hostname", dhcp(want.dhcp_hostname), have.dhcp_hostname);
    CompareSet(out, "http_user_agent", want.http_user_agents, have.http_user_agents);
    CompareSet(out, "ssdp_user_agent", want.ssdp_user_agents, have.ssdp_user_agents);
    CompareSet(out, "mdns_service", want.mdns_services, have.mdns_services);
    CompareSet(out, "ja4", want.ja4, have.ja4, want.ja4_later);
    return out.str();
}

} // namespace

bool DeviceValues::Empty() const
{
    return dhcp_fingerprint.empty() && dhcp_vendor.empty() && dhcp_hostname.empty()
        && http_user_agents.empty() && ssdp_user_agents.empty() && mdns_services.empty() && ja4.empty();
}

bool Answers::Load(const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!LoadText(text.str(), error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool Answers::LoadText(const std::string &text, std::string &error)
{
    captures.clear();
    json doc = json::parse(text, nullptr, false);
    if (!doc.is_array()) {
        error = "not a JSON array";
        return false;
    }
    for (const json &entry : doc) {
        if (!entry.is_object() || !entry.contains("file") || !entry["file"].is_string()) {
            error = "an entry without a file name";
            return false;
        }
        CaptureAnswer capture;
        capture.file = entry["file"].get<std::string>();
        capture.size = entry.value("size", uint64_t {0});
        capture.packets = entry.value("packets", uint64_t {0});
        auto devices = entry.find("devices");
        if (devices != entry.end() && devices->is_object())
            for (auto it = devices->begin(); it != devices->end(); ++it)
                capture.devices[it.key()] = Expected(it.value());
        captures.push_back(std::move(capture));
    }
    return true;
}

std::vector<std::string> Answers::Files() const
{
    std::vector<std::string> files;
    for (const CaptureAnswer &capture : captures)
        files.push_back(capture.file);
    return files;
}

const CaptureAnswer *Answers::Find(const std::string &file) const
{
    for (const CaptureAnswer &capture : captures)
        if (capture.file == file) return &capture;
    return nullptr;
}

std::map<std::string, DeviceValues> Attribute(const std::vector<Observation> &observations)
{
    std::map<std::string, DeviceValues> devices;
    for (const Observation &o : observations) {
        if (o.event == EVENT_FLOW_NEW || o.mac.empty()) continue;
        DeviceValues &d = devices[o.mac];
        if (o.protocol == PROTO_DHCP) {
            if (!o.dhcp_fingerprint.empty()) d.dhcp_fingerprint = o.dhcp_fingerprint;
            if (!o.dhcp_vendor.empty()) d.dhcp_vendor = o.dhcp_vendor;
            if (!o.dhcp_hostname.empty()) d.dhcp_hostname = o.dhcp_hostname;
        }
        if (!o.user_agent.empty())
            (o.user_agent_source == UA_SSDP ? d.ssdp_user_agents : d.http_user_agents).insert(o.user_agent);
        if (!o.ja4.empty()) d.ja4.insert(o.ja4);
        if (!o.mdns.empty()) (IsOwnMdnsName(o.mdns) ? d.mdns_own_names : d.mdns_services).insert(o.mdns);
    }
    for (auto it = devices.begin(); it != devices.end();)
        it = it->second.Empty() ? devices.erase(it) : std::next(it);
    return devices;
}

std::string Differences(
    const CaptureAnswer &answer, const std::vector<Observation> &observations, TextPath path)
{
    const std::map<std::string, DeviceValues> found = Attribute(observations);
    std::ostringstream report;
    for (const auto &[mac, want] : answer.devices) {
        auto f = found.find(mac);
        const std::string diff = CompareDevice(want, f != found.end() ? f->second : DeviceValues(), path);
        if (!diff.empty()) report << "  " << mac << "\n" << diff;
    }
    for (const auto &[mac, have] : found) {
        if (answer.devices.count(mac) != 0) continue;
        report << "  " << mac << " (not in the answers)\n" << CompareDevice(DeviceValues(), have, path);
    }
    return report.str();
}

std::string AnswerDhcpBytes(const std::string &answer_text)
{
    std::string bytes;
    for (size_t i = 0; i < answer_text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(answer_text[i]);
        // U+0080 to U+00FF: two bytes in UTF-8, one byte in Latin-1.
        if ((c & 0xe0) == 0xc0 && i + 1 < answer_text.size() && c <= 0xc3) {
            bytes += static_cast<char>(
                ((c & 0x1f) << 6) | (static_cast<unsigned char>(answer_text[i + 1]) & 0x3f));
            ++i;
        } else {
            bytes += static_cast<char>(c);
        }
    }
    while (!bytes.empty() && static_cast<unsigned char>(bytes.back()) < 0x20)
        bytes.pop_back();
    return bytes;
}

std::string AsDumped(const std::string &text)
{
    // The dump's own writer does the replacing; reading its JSON back gives
    // the text a dump holds.
    const std::string quoted = json(text).dump(-1, ' ', false, json::error_handler_t::replace);
    return json::parse(quoted).get<std::string>();
}

const Answers &LoadedAnswers(const std::string &captures)
{
    static const Answers answers = [&captures] {
        Answers loaded;
        std::string error;
        loaded.Load(captures + "ANSWERS.json", error);
        return loaded;
    }();
    return answers;
}

} // namespace ostrel_test
