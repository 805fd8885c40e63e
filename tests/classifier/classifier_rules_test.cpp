// The shipped rule file against real devices: every device of the shared
// captures, with the values ANSWERS.json says it sends, goes straight into
// Classify. Devices that send a DHCP vendor class or a known fingerprint must
// get their kind; devices with nothing telling must get no claim.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "classifier/classifier.h"

using json = nlohmann::json;
using namespace ostrel_classifier;

namespace {

const std::string RULES = std::string(OSTREL_SOURCE_DIR) + "/examples/classifier-rules.json";
const std::string ANSWERS = std::string(OSTREL_TESTDATA_DIR) + "/captures/ANSWERS.json";

// A score from here up is a claim: at least one strong sign (a DHCP vendor
// class or a whole known fingerprint) or several weaker ones agreeing. Below
// it a label is a hint; the rule file's scale says the same.
constexpr unsigned CLAIM = 50;

enum class Strength { CLAIM, HINT };

struct Expected {
    const char *label;
    Strength strength;
};

// (capture, MAC) -> what the rules must say. Hints name the label they give
// too, so that a change of what a weak sign points at shows here.
const std::map<std::pair<std::string, std::string>, Expected> &Table()
{
    static const std::map<std::pair<std::string, std::string>, Expected> table = {
        // TLS only: a browser's JA4 says nothing about the device.
        {{"tls12.pcap", "00:0c:29:8c:68:7f"}, {"", Strength::HINT}},
        {{"tls-sni.pcapng", "24:4b:fe:cb:04:4e"}, {"", Strength::HINT}},
        {{"suricata-ja4-tls-quic.pcap", "f0:18:98:e8:7a:f3"}, {"", Strength::HINT}},
        // An Electron app's user agent naming Windows.
        {{"latest.pcapng", "68:ec:c5:b4:5a:9b"}, {"Windows laptop", Strength::HINT}},
        // Option 55 "1,3,6,42" alone: any small embedded client.
        {{"dhcp.pcapng", "00:0b:82:01:fc:42"}, {"", Strength::HINT}},
        {{"android.pcap", "d8:30:62:56:00:1c"}, {"Mac", Strength::CLAIM}},
        {{"android.pcap", "4c:6a:f6:9f:f6:27"}, {"Android phone", Strength::CLAIM}},
        // Asks for Spotify Connect speakers, nothing more: a question is
        // no sign of being one.
        {{"android.pcap", "c6:2c:03:60:6a:64"}, {"", Strength::HINT}},
        {{"iphone.pcap", "d8:30:62:56:00:1c"}, {"Mac", Strength::CLAIM}},
        {{"iphone.pcap", "c4:61:8b:35:82:a9"}, {"iPhone", Strength::CLAIM}},
        // No DHCP, but it offers the iMac's own services (_odisk and the
        // rest): the Mac, not the printer it also browses for.
        {{"iphone.pcap", "c6:2c:03:60:6a:64"}, {"Mac", Strength::CLAIM}},
        {{"ssdp-m-search-ua.pcap", "f0:2f:4b:09:93:bc"}, {"Mac", Strength::HINT}},
        {{"hw-type0.pcap", "cc:00:0a:c4:00:00"}, {"Cisco IOS router", Strength::CLAIM}},
        {{"http-vlan-0.pcap", "c8:bc:c8:96:d2:a0"}, {"Mac", Strength::HINT}},
        // BusyBox says embedded Linux and no more: the kind, but no claim.
        {{"suricata-dhcp-option-52-overload.pcap", "92:dd:a4:8d:5f:de"},
            {"Embedded Linux device", Strength::HINT}},
        // The capture's notes call it Android; the fingerprint is iOS's and
        // the MAC prefix Apple's (which the registry, not given here, adds).
        {{"1kxun.pcap", "70:3e:ac:f0:f0:07"}, {"iPhone or iPad", Strength::HINT}},
        {{"1kxun.pcap", "60:c5:47:05:bc:8c"}, {"MacBook", Strength::CLAIM}},
        {{"1kxun.pcap", "4c:5e:0c:ea:03:65"}, {"", Strength::HINT}},
        {{"1kxun.pcap", "70:f1:a1:f8:2a:fd"}, {"Windows laptop", Strength::CLAIM}},
        {{"1kxun.pcap", "bc:ee:7b:0c:b3:de"}, {"Android phone", Strength::CLAIM}},
        {{"1kxun.pcap", "48:d2:24:63:0a:de"}, {"Windows laptop", Strength::CLAIM}},
        {{"1kxun.pcap", "e0:ca:94:6b:96:44"}, {"Linux computer", Strength::CLAIM}},
        {{"1kxun.pcap", "00:1c:42:8e:70:31"}, {"Windows laptop", Strength::HINT}},
        // Android emulator traffic: user agents only.
        {{"1kxun.pcap", "9c:b6:d0:d3:e3:33"}, {"Android phone", Strength::HINT}},
        // Windows' own UPnP device host.
        {{"1kxun.pcap", "e8:b1:fc:ab:fb:b2"}, {"Windows laptop", Strength::CLAIM}},
        // Asks for _googlecast, as every casting phone does: no sign.
        {{"1kxun.pcap", "64:cc:2e:9c:3c:c9"}, {"", Strength::HINT}},
        {{"alexa-app.pcapng", "78:f8:82:d3:fb:c2"}, {"Android phone", Strength::CLAIM}},
        {{"netflix.pcap", "e4:98:d6:1f:bd:14"}, {"iPhone", Strength::HINT}},
        {{"wechat.pcap", "b8:78:2e:e2:da:07"}, {"iPhone", Strength::CLAIM}},
        {{"wechat.pcap", "78:92:9c:0f:a8:8e"}, {"", Strength::HINT}},
        {{"wechat.pcap", "d0:27:88:17:70:04"}, {"", Strength::HINT}},
    };
    return table;
}

json ReadJsonFile(const std::string &path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return json::parse(text, nullptr, true, true);
}

// The device in the report form the plug-in uploads.
json ReportForm(const std::string &mac, const json &answer)
{
    auto list = [&](const char *key) { return answer.value(key, json::array()); };
    return json {{"mac", mac},
        {"dhcp",
            {{"fingerprint", answer.value("dhcp_fingerprint", "")},
                {"vendor", answer.value("dhcp_vendor", "")},
                {"hostname", answer.value("dhcp_hostname", "")}}},
        {"mdns_services", list("mdns_services")}, {"http_user_agents", list("http_user_agents")},
        {"ssdp_user_agents", list("ssdp_user_agents")}, {"ja4_clients", list("ja4_clients")}};
}

Verdict ClassifyJson(const std::vector<Kind> &kinds, const json &device)
{
    DeviceFacts facts;
    std::string error;
    EXPECT_TRUE(ReadDevice(device, facts, error)) << error;
    return Classify(kinds, facts);
}

class ClassifierRulesTest : public ::testing::Test
{
protected:
    const std::vector<Kind> kinds = LoadRules(RULES);
};

TEST_F(ClassifierRulesTest, EveryCaptureDeviceGetsItsKindAndNoMoreThanItsEvidence)
{
    const json answers = ReadJsonFile(ANSWERS);
    ASSERT_TRUE(answers.is_array() && !answers.empty());
    std::set<std::pair<std::string, std::string>> seen;
    for (const json &capture : answers) {
        const std::string file = capture.at("file");
        for (const auto &device : capture.at("devices").items()) {
            const std::pair<std::string, std::string> key {file, device.key()};
            seen.insert(key);
            auto expected = Table().find(key);
            if (expected == Table().end()) {
                ADD_FAILURE() << file << " " << device.key()
                              << ": not in the table; add what the rules must say";
                continue;
            }
            const Verdict verdict = ClassifyJson(kinds, ReportForm(device.key(), device.value()));
            EXPECT_EQ(verdict.label, expected->second.label) << file << " " << device.key();
            if (expected->second.strength == Strength::CLAIM)
                EXPECT_GE(verdict.score, CLAIM) << file << " " << device.key() << ": " << verdict.label;
            else
                EXPECT_LT(verdict.score, CLAIM) << file << " " << device.key() << ": " << verdict.label;
        }
    }
    // A device dropped from the answers leaves a stale line here.
    for (const auto &entry : Table())
        EXPECT_EQ(seen.count(entry.first), 1u) << entry.first.first << " " << entry.first.second;
}

// Each kind says in its note what its rules rest on, and each label is
// unique, so that a verdict names one kind.
TEST_F(ClassifierRulesTest, EveryKindHasANoteAndItsOwnLabel)
{
    const json file = ReadJsonFile(RULES);
    std::set<std::string> labels;
    for (const json &kind : file.at("kinds")) {
        const std::string label = kind.at("label");
        EXPECT_TRUE(labels.insert(label).second) << label << ": twice";
        EXPECT_TRUE(
            kind.contains("note") && kind["note"].is_string() && kind["note"].get<std::string>().size() > 20)
            << label << ": no note";
    }
    EXPECT_EQ(labels.size(), file.at("kinds").size());
    // Every class is one of the vocabulary's, in the data files too, and
    // every rule there says why it holds.
    const std::set<std::string> classes = {"computer-windows", "computer-macos", "computer-linux",
        "computer-chromeos", "mobile-ios", "mobile-android", "printer", "media", "speaker", "console",
        "network", "nas", "iot", "voip", "server"};
    for (const Kind &kind : kinds)
        EXPECT_EQ(classes.count(kind.type), 1u) << kind.label << ": " << kind.type;
    for (const json &data : file.at("include")) {
        const std::string path = std::string(OSTREL_SOURCE_DIR) + "/examples/" + data.get<std::string>();
        const json doc = ReadJsonFile(path);
        for (const json &kind : doc.at("kinds")) {
            for (const json &rule : kind.at("rules"))
                EXPECT_TRUE(rule.contains("note")) << path << ": " << rule.dump();
        }
    }
}

// Names and user agents that other devices send too: each alone stays a
// hint, whatever kind it points at.
TEST_F(ClassifierRulesTest, SignsThatOtherDevicesShareStayHints)
{
    const json devices[] = {
        // Asked by every phone that can cast.
        R"({"mac": "64:cc:2e:00:00:01", "mdns_services": ["_googlecast._tcp.local"]})"_json,
        // Asked by every computer that looks for a printer.
        R"({"mac": "00:00:5e:00:00:02", "mdns_services": ["_ipp._tcp.local", "_printer._tcp.local"]})"_json,
        // The iMac's second MAC in iphone.pcap as the plug-in uploads it: its
        // last ten names, all of them ones a Mac browses for.
        R"({"mac": "c6:2c:03:60:6a:64", "mdns_services": ["_adisk._tcp.local", "_spotify-connect._tcp.local",
            "_rfb._tcp.local", "_ptp._tcp.local", "_pdl-datastream._tcp.local", "_printer._tcp.local",
            "_ipps._tcp.local", "_ipp._tcp.local", "_scanner._tcp.local", "_ippusb._tcp.local"]})"_json,
        R"({"mac": "00:00:5e:00:00:03", "mdns_services": ["_companion-link._tcp.local", "_apple-mobdev2._tcp.local"]})"_json,
        R"j({"mac": "00:00:5e:00:00:04", "http_user_agents": ["Mozilla/5.0 (Windows NT 10.0; Win64; x64) Chrome/120.0"]})j"_json,
        R"j({"mac": "00:00:5e:00:00:05", "http_user_agents": ["Dalvik/2.1.0 (Linux; U; Android 11; sdk_gphone_x86)"]})j"_json,
        R"j({"mac": "00:00:5e:00:00:06", "http_user_agents": ["AppleCoreMedia/1.0.0.14C92 (iPhone; U; CPU OS 10_2 like Mac OS X)"]})j"_json,
        R"({"mac": "00:00:5e:00:00:07", "dhcp": {"vendor": "dhcpcd-9.4.1"}})"_json,
        R"({"mac": "00:00:5e:00:00:08", "dhcp": {"vendor": "udhcp 1.36.1", "fingerprint": "1,3,6,12,15,28,42"}})"_json,
        R"({"mac": "00:00:5e:00:00:09", "dhcp": {"fingerprint": "1,3,6,150"}})"_json,
    };
    for (const json &device : devices) {
        const Verdict verdict = ClassifyJson(kinds, device);
        EXPECT_LT(verdict.score, CLAIM) << device.dump() << " -> " << verdict.label;
    }
}

// Where two kinds share signs, the more specific sign decides.
TEST_F(ClassifierRulesTest, SpecificSignsDecideBetweenRelatedKinds)
{
    struct Case {
        json device;
        const char *label;
    } cases[] = {
        {R"({"mac": "00:00:5e:00:01:01", "dhcp": {"fingerprint": "1,121,3,6,15,119,252"}})"_json,
            "iPhone or iPad"},
        {R"({"mac": "00:00:5e:00:01:02", "dhcp": {"fingerprint": "1,121,3,6,15,119,252", "hostname": "Emmas-iPad"}})"_json,
            "iPad"},
        {R"({"mac": "00:00:5e:00:01:03", "dhcp": {"fingerprint": "1,121,3,6,15,119,252,95,44,46"}})"_json,
            "Mac"},
        {R"({"mac": "00:00:5e:00:01:04", "dhcp": {"fingerprint": "1,121,3,6,15,119,252,95,44,46",
            "hostname": "Bens-MacBook-Pro"}})"_json,
            "MacBook"},
        // Android, Chromecasts and Raspberry Pis run dhcpcd like other Linux.
        {R"({"mac": "00:00:5e:00:01:05", "dhcp": {"vendor": "dhcpcd-9.4.1:Linux-6.1.21-v8+:aarch64:BCM2835"}})"_json,
            "Raspberry Pi"},
        {R"({"mac": "00:00:5e:00:01:06", "dhcp": {"vendor": "dhcpcd-9.4.1:Linux-6.1.0:x86_64:GenuineIntel"}})"_json,
            "Linux computer"},
        {R"({"mac": "00:00:5e:00:01:07", "dhcp": {"vendor": "dhcpcd-5.5.6", "hostname": "android-1c1335ec95a27318"}})"_json,
            "Android phone"},
        // Debian's dhclient without NetworkManager's additions.
        {R"({"mac": "00:00:5e:00:01:08", "dhcp": {"fingerprint": "1,28,2,3,15,6,119,12,44,47,26,121,42"}})"_json,
            "Linux computer"},
        // A camera's host name on a BusyBox client: the camera, not the client.
        {R"({"mac": "00:00:5e:00:01:09", "dhcp": {"vendor": "udhcp 1.36.1", "fingerprint": "1,3,6,12,15,28,42",
            "hostname": "ipc-7f3e21"}})"_json,
            "IP camera"},
        // A printer that offers its services and sends HP's vendor class.
        {R"({"mac": "00:00:5e:00:01:0a", "dhcp": {"vendor": "Hewlett-Packard JetDirect"},
            "mdns_services": ["_ipp._tcp.local", "_pdl-datastream._tcp.local"]})"_json,
            "Network printer"},
        // A Mac browsing for printers: its own services outweigh theirs.
        {R"({"mac": "00:00:5e:00:01:0b", "mdns_services": ["_odisk._tcp.local", "_afpovertcp._tcp.local",
            "_adisk._tcp.local", "_companion-link._tcp.local", "_ipp._tcp.local", "_printer._tcp.local", "_pdl-datastream._tcp.local"]})"_json,
            "Mac"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ClassifyJson(kinds, c.device).label, c.label) << c.device.dump();
}

} // namespace
