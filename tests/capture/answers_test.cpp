// The whole packet path against real captures with known answers: each
// capture read with PcapSource, fed to a Tracker, and the events attributed
// to devices the way the plug-in does it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "capture/pcap_source.h"
#include "capture/protocols.h"
#include "capture/tracker.h"

using namespace ostrel_capture;
using nlohmann::json;

namespace {

const std::string CAPTURES = OSTREL_TESTDATA_DIR "/captures/";

struct Device {
    std::string dhcp_fingerprint, dhcp_vendor, dhcp_hostname;
    std::set<std::string> http_user_agents, ssdp_user_agents, mdns_services, ja4;
};

// What the plug-in learns: the device is the MAC of the snapshot's origin;
// DHCP texts only from DHCP flows, the last non-empty value winning.
std::map<std::string, Device> Attribute(const std::vector<FlowEvent> &events)
{
    std::map<std::string, Device> devices;
    for (const FlowEvent &event : events) {
        const FlowRecord &r = event.flow;
        const Endpoint &origin = r.origin == ORIGIN_UPPER ? r.upper : r.lower;
        if (event.type == EVENT_FLOW_NEW || !origin.has_mac) continue;
        Device &d = devices[MacText(origin.mac)];
        if (r.detected_protocol == PROTO_DHCP) {
            if (!r.dhcp_fingerprint.empty()) d.dhcp_fingerprint = r.dhcp_fingerprint;
            if (!r.dhcp_class_ident.empty()) d.dhcp_vendor = r.dhcp_class_ident;
            if (!r.host_name.empty()) d.dhcp_hostname = r.host_name;
        }
        if (!r.user_agent.empty())
            (r.user_agent_source == UA_SSDP ? d.ssdp_user_agents : d.http_user_agents).insert(r.user_agent);
        if (!r.tls_client_ja4.empty()) d.ja4.insert(r.tls_client_ja4);
        if (!r.mdns_domain_name.empty()) d.mdns_services.insert(r.mdns_domain_name);
    }
    for (auto it = devices.begin(); it != devices.end();) {
        const Device &d = it->second;
        bool empty = d.dhcp_fingerprint.empty() && d.dhcp_vendor.empty() && d.dhcp_hostname.empty()
            && d.http_user_agents.empty() && d.ssdp_user_agents.empty() && d.mdns_services.empty()
            && d.ja4.empty();
        it = empty ? devices.erase(it) : std::next(it);
    }
    return devices;
}

// The answers read DHCP bytes as Latin-1 and keep trailing NULs; the packet
// path hands the bytes over without control characters at the end.
std::string DhcpText(const json &value)
{
    std::string utf8 = value.is_string() ? value.get<std::string>() : std::string();
    std::string bytes;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if ((c & 0xe0) == 0xc0 && i + 1 < utf8.size() && c <= 0xc3) {
            bytes += static_cast<char>(((c & 0x1f) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3f));
            ++i;
        } else {
            bytes += static_cast<char>(c);
        }
    }
    while (!bytes.empty() && static_cast<unsigned char>(bytes.back()) < 0x20)
        bytes.pop_back();
    return bytes;
}

std::set<std::string> Set(const json &device, const char *key)
{
    std::set<std::string> out;
    if (device.contains(key))
        for (const json &v : device[key])
            out.insert(v.get<std::string>());
    return out;
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

json LoadAnswers()
{
    std::ifstream in(CAPTURES + "ANSWERS.json");
    return json::parse(in, nullptr, false);
}

class AnswersTest : public testing::TestWithParam<std::string>
{
};

TEST_P(AnswersTest, DevicesMatchTheAnswers)
{
    json answers = LoadAnswers();
    ASSERT_TRUE(answers.is_array());
    const json *entry = nullptr;
    for (const json &e : answers)
        if (e["file"] == GetParam()) entry = &e;
    ASSERT_NE(entry, nullptr);

    PcapSource source;
    ASSERT_TRUE(source.OpenFile(CAPTURES + GetParam())) << source.Error();
    EXPECT_EQ(source.Size(), (*entry)["size"].get<uint64_t>());
    std::vector<FlowEvent> events;
    Tracker tracker(TrackerOptions(), [&events](FlowEvent &&e) { events.push_back(std::move(e)); });
    CapturedFrame frame;
    PcapSource::Result result;
    int64_t last = 0;
    while ((result = source.Next(frame)) == PcapSource::FRAME) {
        tracker.Frame(source.LinkType(), frame.data, frame.caplen, frame.wirelen, frame.time_usec);
        last = frame.time_usec;
    }
    ASSERT_EQ(result, PcapSource::END) << source.Error();
    EXPECT_EQ(source.Position(), source.Size());
    tracker.Flush(last);
    EXPECT_EQ(tracker.Counters().frames, (*entry)["packets"].get<uint64_t>());
    EXPECT_EQ(tracker.ActiveFlows(), 0u);

    std::map<std::string, Device> found = Attribute(events);
    std::ostringstream report;
    const json &devices = (*entry)["devices"];
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        const json &want = it.value();
        Device have;
        auto f = found.find(it.key());
        if (f != found.end()) have = f->second;
        std::ostringstream out;
        CompareText(out, "dhcp_fingerprint", DhcpText(want["dhcp_fingerprint"]), have.dhcp_fingerprint);
        CompareText(out, "dhcp_vendor", DhcpText(want["dhcp_vendor"]), have.dhcp_vendor);
        CompareText(out, "dhcp_hostname", DhcpText(want["dhcp_hostname"]), have.dhcp_hostname);
        CompareSet(out, "http_user_agent", Set(want, "http_user_agents"), have.http_user_agents);
        CompareSet(out, "ssdp_user_agent", Set(want, "ssdp_user_agents"), have.ssdp_user_agents);
        CompareSet(out, "mdns_service", Set(want, "mdns_services"), have.mdns_services);
        CompareSet(out, "ja4", Set(want, "ja4_clients"), have.ja4, Set(want, "ja4_later_hellos"));
        if (!out.str().empty()) report << "  " << it.key() << "\n" << out.str();
    }
    for (const auto &[mac, d] : found) {
        if (devices.contains(mac)) continue;
        std::ostringstream out;
        CompareText(out, "dhcp_fingerprint", "", d.dhcp_fingerprint);
        CompareText(out, "dhcp_vendor", "", d.dhcp_vendor);
        CompareText(out, "dhcp_hostname", "", d.dhcp_hostname);
        CompareSet(out, "http_user_agent", {}, d.http_user_agents);
        CompareSet(out, "ssdp_user_agent", {}, d.ssdp_user_agents);
        CompareSet(out, "mdns_service", {}, d.mdns_services);
        CompareSet(out, "ja4", {}, d.ja4);
        report << "  " << mac << " (not in the answers)\n" << out.str();
    }
    EXPECT_TRUE(report.str().empty()) << GetParam() << " differs from the answers:\n" << report.str();
}

std::vector<std::string> Files()
{
    std::vector<std::string> files;
    json answers = LoadAnswers();
    if (answers.is_array())
        for (const json &e : answers)
            files.push_back(e["file"].get<std::string>());
    return files;
}

std::string TestName(const testing::TestParamInfo<std::string> &info)
{
    std::string name;
    for (char c : info.param)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Captures, AnswersTest, testing::ValuesIn(Files()), TestName);

} // namespace
