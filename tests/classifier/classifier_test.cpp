#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/host_fixture.h"
#include "classifier/classifier.h"
#include "classifier/classifier_server.h"
#include "classifier/options.h"

using json = nlohmann::json;
using namespace ostrel_classifier;

namespace {

Verdict ClassifyJson(const std::vector<Kind> &kinds, const json &device)
{
    DeviceFacts facts;
    std::string error;
    EXPECT_TRUE(ReadDevice(device, facts, error)) << error;
    return Classify(kinds, facts);
}

TEST(ClassifierTest, ShippedRulesRecogniseCommonDevices)
{
    const std::vector<Kind> kinds
        = LoadRules(std::string(OSTREL_SOURCE_DIR) + "/examples/classifier-rules.json");
    struct Case {
        json device;
        const char *label;
        unsigned score;
    } cases[] = {
        {R"({"mac": "3c:28:6d:41:9a:10", "dhcp": {"vendor": "android-dhcp-13",
            "fingerprint": "1,3,6,15,26,28,51,58,59,43,114,108", "hostname": "Pixel-7"}})"_json,
            "Android phone", 86},
        {R"({"mac": "5a:1e:77:c2:04:b3", "dhcp": {"vendor": "", "hostname": "Annas-iPhone",
            "fingerprint": "1,121,3,6,15,108,114,119,252,95,44,46"}})"_json,
            "iPhone", 83},
        {R"({"mac": "28:d2:44:6b:31:ee", "dhcp": {"vendor": "MSFT 5.0", "fingerprint": "", "hostname": ""}})"_json,
            "Windows laptop", 65},
        {R"({"mac": "54:60:09:8e:71:2a", "mdns_services": ["_googlecast._tcp.local",
            "Chromecast-Ultra-5f2e._googlecast._tcp.local"]})"_json,
            "Chromecast", 96},
        {R"j({"mac": "d8:31:34:a2:5f:07", "ssdp_user_agents": ["Roku/DVP-12.5 (12.5.0.4178)"]})j"_json,
            "Roku streamer", 75},
        {R"j({"mac": "8c:79:f5:0e:44:d1", "ssdp_user_agents": ["SEC_HHP_[TV] Samsung Q70 Series (55)/1.0 UPnP/1.0"],
            "http_user_agents": ["Mozilla/5.0 (SMART-TV; LINUX; Tizen 6.5)"], "mdns_services": ["_airplay._tcp.local"]})j"_json,
            "Samsung smart TV", 95},
        // Computers ask for these names: no sign. A printer announces its
        // instances and its host name.
        {R"({"mac": "3c:52:82:7a:19:e4", "mdns_services": ["_printer._tcp.local", "_ipp._tcp.local"]})"_json,
            "", 0},
        {R"({"mac": "3c:52:82:7a:19:e4", "mdns_services": ["_ipp._tcp.local", "NPI7A19E4.local",
            "HP LaserJet M404._ipp._tcp.local"]})"_json,
            "Network printer", 92},
        {R"j({"mac": "48:a6:b8:33:90:5c", "ssdp_user_agents": ["Linux UPnP/1.0 Sonos/70.3-35220 (ZPS1)"]})j"_json,
            "Sonos speaker", 75},
        // The Echo's user agent names Android too; its own signs weigh more.
        {R"({"mac": "74:d6:37:c1:8e:22", "dhcp": {"hostname": "amazon-3f9a1c2d7"},
            "http_user_agents": ["AlexaMediaPlayer/2.1.4676.0 (Linux;Android 5.1.1) ExoPlayerLib/1.5.9"]})"_json,
            "Amazon Echo", 86},
        {R"({"mac": "9c:8e:cd:0b:62:f1", "dhcp": {"vendor": "udhcp 1.36.1", "hostname": "ipc-7f3e21"}})"_json,
            "IP camera", 64},
        {R"({"mac": "00:11:32:9b:4e:07", "ja4_clients": ["t13d1311h2_e8f1e7e78f70_6bebaf5329ac"]})"_json, "",
            0},
    };
    for (const Case &c : cases) {
        Verdict verdict = ClassifyJson(kinds, c.device);
        EXPECT_EQ(verdict.label, c.label) << c.device.dump();
        EXPECT_EQ(verdict.score, c.score) << c.device.dump();
    }
}

TEST(ClassifierTest, ScoresAddUpOncePerRuleAndStopAtOneHundred)
{
    const std::vector<Kind> kinds = ParseRules(R"({"kinds": [
        {"label": "First", "rules": [{"field": "mdns_services", "suffix": "._TCP.local", "score": 30}]},
        {"label": "Second", "type": "tv", "vendor": "V", "rules": [
            {"field": "mdns_services", "contains": "tcp", "score": 30},
            {"field": "user_agents", "prefix": "tv/", "score": 60},
            {"field": "mac", "prefix": "8C:79", "score": 40}]}
    ]})");
    struct Case {
        json device;
        const char *label;
        unsigned score;
    } cases[] = {
        // Three matching services still count the rule once; a tie keeps the first kind.
        {R"({"mac": "00:00:00:00:00:01", "mdns_services": ["a._tcp.local", "b._tcp.local", "c._tcp.local"]})"_json,
            "First", 30},
        // Case is ignored on both sides; the SSDP agent counts for "user_agents".
        {R"({"mac": "00:00:00:00:00:02", "ssdp_user_agents": ["TV/1.0"], "mdns_services": ["x._tcp.local"]})"_json,
            "Second", 72},
        {R"({"mac": "8c:79:f5:0e:44:d1", "http_user_agents": ["tv/2"], "mdns_services": ["x._tcp.local"]})"_json,
            "Second", 87},
        {R"({"mac": "00:00:00:00:00:03", "dhcp": {"hostname": "tv/"}})"_json, "", 0},
    };
    for (const Case &c : cases) {
        Verdict verdict = ClassifyJson(kinds, c.device);
        EXPECT_EQ(verdict.label, c.label) << c.device.dump();
        EXPECT_EQ(verdict.score, c.score) << c.device.dump();
    }
    EXPECT_EQ(DiscoveryJson(Classify(kinds, DeviceFacts {"m", "", "", "", {}, {"tv/"}, {}, {}, "", {}, {}})),
        R"j({"label": "Second", "score": 60, "type": "tv", "vendor": "V",
            "reasons": ["http: user_agents \"tv/\" says Second (60)"]})j"_json);
    EXPECT_EQ(
        DiscoveryJson(Verdict {}), R"({"label": "", "score": 0, "type": "unknown", "vendor": ""})"_json);
}

TEST(ClassifierTest, RuleFileErrorsNameTheField)
{
    struct Case {
        const char *text;
        const char *error;
    } cases[] = {
        {R"({"kinds": []})", "kinds: missing or empty"},
        {R"({"kinds": {}})", "kinds: must be an array"},
        {R"({"kinds": [{"rules": [{"field": "mac", "equals": "x", "score": 1}]}]})",
            "kinds[0].label: missing or empty"},
        {R"({"kinds": [{"label": "A", "rules": []}]})", "kinds[0].rules: must be a non-empty array of rules"},
        {R"({"kinds": [{"label": "A", "rules": [{"field": "ip", "equals": "x", "score": 1}]}]})",
            "kinds[0].rules[0].field: unknown field \"ip\""},
        {R"({"kinds": [{"label": "A", "rules": [{"field": "mac", "equals": "x", "score": 101}]}]})",
            "kinds[0].rules[0].score: must be a whole number from 1 to 100"},
        {R"({"kinds": [{"label": "A", "rules": [{"field": "mac", "score": 5}]}]})",
            "kinds[0].rules[0]: needs one of equals, prefix, suffix, contains or all"},
        {R"({"kinds": [{"label": "A", "rules": [{"field": "mac", "equals": "a", "prefix": "b", "score": 5}]}]})",
            "a rule has exactly one of equals, prefix, suffix, contains or all"},
        {R"({"kinds": [{"label": "A", "rules": [{"field": "mac", "contains": "", "score": 5}]}]})",
            "kinds[0].rules[0].contains: must be a non-empty string"},
        {R"({"kinds": [{"label": "A", "colour": "red", "rules": []}]})", "kinds[0].colour: unknown key"},
        {R"({"kinds": [)", "not valid JSON: "},
    };
    for (const Case &c : cases) {
        try {
            ParseRules(c.text);
            ADD_FAILURE() << c.text << " loaded";
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
                << c.text << " gave: " << e.what();
        }
    }
}

TEST(ClassifierTest, RuleFilesThatCannotBeReadAreNamedAndNeverWaitedOn)
{
    ostrel_test::TempDir dir;
    const std::string missing = dir.File("missing.json");
    const std::string fifo = dir.File("rules.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string broken = dir.Write("broken.json", R"({"kinds": [)");
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {missing, missing + ": cannot open: No such file or directory"},
        // Opening a FIFO to read would wait for a writer that never comes.
        {fifo, fifo + ": not a regular file"},
        {dir.Path(), dir.Path() + ": not a regular file"},
        {broken, broken + ": not valid JSON: "},
    };
    for (const auto &c : cases) {
        try {
            LoadRules(c.path);
            ADD_FAILURE() << c.path << " loaded";
        } catch (const std::runtime_error &e) {
            EXPECT_EQ(std::string(e.what()).substr(0, c.error.size()), c.error) << e.what();
        }
    }
}

TEST(ClassifierTest, AllRuleNeedsEveryTextAmongTheValues)
{
    const std::vector<Kind> kinds = ParseRules(R"({"kinds": [
        {"label": "Printer", "rules": [
            {"field": "mdns_services", "all": ["_ipp._tcp.local", "_PRINTER._tcp.local"], "score": 70}]},
        {"label": "Agent", "rules": [{"field": "user_agents", "all": ["a/1", "b/2"], "score": 50}]}
    ]})");
    struct Case {
        json device;
        const char *label;
    } cases[] = {
        {R"({"mac": "m", "mdns_services": ["_ipp._tcp.local", "_printer._tcp.local", "_http._tcp.local"]})"_json,
            "Printer"},
        {R"({"mac": "m", "mdns_services": ["_printer._tcp.local", "_IPP._tcp.local"]})"_json, "Printer"},
        {R"({"mac": "m", "mdns_services": ["_ipp._tcp.local"]})"_json, ""},
        // Whole values only: a text inside a longer value is not among the values.
        {R"({"mac": "m", "mdns_services": ["_ipp._tcp.local", "x_printer._tcp.local"]})"_json, ""},
        // "user_agents" draws on both lists.
        {R"({"mac": "m", "http_user_agents": ["a/1"], "ssdp_user_agents": ["B/2"]})"_json, "Agent"},
        {R"({"mac": "m", "http_user_agents": ["a/1", "b/3"]})"_json, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ClassifyJson(kinds, c.device).label, c.label) << c.device.dump();
}

TEST(ClassifierTest, WithRuleCountsOnlyWhenItsPartnerCounted)
{
    // The host name alone says little; with the vendor class it says more.
    const std::vector<Kind> kinds = ParseRules(R"({"kinds": [
        {"label": "Camera", "note": "hypothetical maker's firmware", "rules": [
            {"id": "busybox", "field": "dhcp_vendor", "prefix": "udhcp", "score": 20},
            {"id": "named", "with": "busybox", "field": "dhcp_hostname", "prefix": "ipc-", "score": 40},
            {"with": "named", "field": "mdns_services", "equals": "_rtsp._tcp.local", "score": 30},
            {"field": "dhcp_hostname", "contains": "cam", "score": 5}]}
    ]})");
    struct Case {
        json device;
        unsigned score;
    } cases[] = {
        {R"({"mac": "m", "dhcp": {"vendor": "udhcp 1.36", "hostname": "ipc-1"}, "mdns_services": ["_rtsp._tcp.local"]})"_json,
            53},
        {R"({"mac": "m", "dhcp": {"vendor": "udhcp 1.36", "hostname": "ipc-1"}})"_json, 40},
        {R"({"mac": "m", "dhcp": {"vendor": "udhcp 1.36"}, "mdns_services": ["_rtsp._tcp.local"]})"_json, 20},
        // A chain holds only while every link counts.
        {R"({"mac": "m", "dhcp": {"hostname": "ipc-cam"}, "mdns_services": ["_rtsp._tcp.local"]})"_json, 5},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ClassifyJson(kinds, c.device).score, c.score) << c.device.dump();
}

TEST(ClassifierTest, NewRuleFormErrorsNameTheField)
{
    const std::string head = R"({"kinds": [{"label": "A", "note": "what these rest on", "rules": [)";
    struct Case {
        const char *rules;
        const char *error;
    } cases[] = {
        {R"({"field": "mdns_services", "all": [], "score": 5})",
            "kinds[0].rules[0].all: must be a non-empty array of non-empty strings"},
        {R"({"field": "mdns_services", "all": "_ipp._tcp.local", "score": 5})",
            "kinds[0].rules[0].all: must be a non-empty array of non-empty strings"},
        {R"({"field": "mdns_services", "all": ["a", ""], "score": 5})",
            "kinds[0].rules[0].all: must be a non-empty array of non-empty strings"},
        {R"({"field": "mdns_services", "all": ["a", 1], "score": 5})",
            "kinds[0].rules[0].all: must be a non-empty array of non-empty strings"},
        {R"({"field": "mdns_services", "all": ["a"], "equals": "a", "score": 5})",
            "kinds[0].rules[0].equals: a rule has exactly one of equals, prefix, suffix, contains or all"},
        {R"({"field": "dhcp_hostname", "all": ["a"], "score": 5})",
            "kinds[0].rules[0].all: field \"dhcp_hostname\" holds one value; \"all\" needs one that holds "
            "several"},
        {R"({"field": "mac", "equals": "a", "score": 5, "id": ""})",
            "kinds[0].rules[0].id: must be a non-empty string"},
        {R"({"field": "mac", "equals": "a", "score": 5, "id": 3})",
            "kinds[0].rules[0].id: must be a non-empty string"},
        {R"({"field": "mac", "equals": "a", "score": 5, "with": ["x"]})",
            "kinds[0].rules[0].with: must be a non-empty string"},
        {R"({"field": "mac", "equals": "a", "score": 5, "id": "x"}, {"field": "mac", "equals": "b", "score": 5, "id": "x"})",
            "kinds[0].rules[1].id: \"x\" is taken by an earlier rule"},
        {R"({"field": "mac", "equals": "a", "score": 5, "id": "x", "with": "x"})",
            "kinds[0].rules[0].with: no earlier rule of this kind has id \"x\""},
        {R"({"field": "mac", "equals": "a", "score": 5, "with": "y"}, {"field": "mac", "equals": "b", "score": 5, "id": "y"})",
            "kinds[0].rules[0].with: no earlier rule of this kind has id \"y\""},
    };
    for (const Case &c : cases) {
        const std::string text = head + c.rules + "]}]}";
        try {
            ParseRules(text);
            ADD_FAILURE() << text << " loaded";
        } catch (const std::runtime_error &e) {
            EXPECT_EQ(std::string(e.what()), c.error) << text;
        }
    }
    // Ids belong to their kind: another kind's rule is not a partner.
    EXPECT_THROW(ParseRules(R"({"kinds": [
        {"label": "A", "rules": [{"id": "x", "field": "mac", "equals": "a", "score": 5}]},
        {"label": "B", "rules": [{"with": "x", "field": "mac", "equals": "a", "score": 5}]}]})"),
        std::runtime_error);
    EXPECT_NO_THROW(ParseRules(R"({"note": "n", "kinds": [
        {"label": "A", "note": "n", "rules": [{"id": "x", "field": "mac", "equals": "a", "score": 5, "note": "n"}]},
        {"label": "B", "rules": [{"id": "x", "field": "mac", "equals": "a", "score": 5}]}]})"));
}

TEST(ClassifierTest, TieKeepsTheFirstKindAndNamesTheNext)
{
    const std::vector<Kind> kinds = ParseRules(R"({"kinds": [
        {"label": "Small", "rules": [{"field": "dhcp_hostname", "prefix": "x", "score": 10}]},
        {"label": "First", "rules": [{"field": "dhcp_hostname", "prefix": "dev", "score": 40}]},
        {"label": "Second", "rules": [{"field": "dhcp_vendor", "equals": "v", "score": 40}]},
        {"label": "Third", "rules": [{"field": "dhcp_vendor", "prefix": "v", "score": 40}]},
        {"label": "Bigger", "rules": [{"field": "dhcp_vendor", "equals": "big", "score": 30},
                                      {"field": "dhcp_hostname", "prefix": "dev", "score": 30}]}
    ]})");
    EXPECT_EQ(DiscoveryJson(
                  ClassifyJson(kinds, R"({"mac": "m", "dhcp": {"hostname": "dev1", "vendor": "v"}})"_json)),
        R"j({"label": "First", "score": 40, "type": "unknown", "vendor": "", "tied_with": "Second",
            "reasons": ["host name: dhcp_hostname \"dev1\" says First (40)"]})j"_json);
    // A later, higher sum clears an earlier tie.
    EXPECT_EQ(DiscoveryJson(
                  ClassifyJson(kinds, R"({"mac": "m", "dhcp": {"hostname": "dev1", "vendor": "big"}})"_json)),
        R"j({"label": "Bigger", "score": 42, "type": "unknown", "vendor": "", "reasons":
            ["dhcp: dhcp_vendor \"big\" says Bigger (30)", "host name: dhcp_hostname \"dev1\" says Bigger (30)"]})j"_json);
    // Nothing matched: nothing tied.
    EXPECT_EQ(DiscoveryJson(ClassifyJson(kinds, R"({"mac": "m"})"_json)),
        R"({"label": "", "score": 0, "type": "unknown", "vendor": ""})"_json);
}

TEST(ClassifierTest, VendorComesFromTheKindElseTheRegistryButNeverForRandomisedMacs)
{
    RegistryProblems problems;
    const MacRegistry registry
        = MacRegistry::Load(std::string(OSTREL_SOURCE_DIR) + "/tests/classifier/data/registry", problems);
    const std::vector<Kind> kinds = ParseRules(R"({"kinds": [
        {"label": "Phone", "type": "phone", "vendor": "Kind Vendor", "rules": [{"field": "dhcp_hostname", "prefix": "phone", "score": 60}]},
        {"label": "Box", "type": "iot", "rules": [{"field": "dhcp_hostname", "prefix": "box", "score": 60}]}
    ]})");
    struct Case {
        json device;
        json discovery;
    } cases[] = {
        {R"({"mac": "00:1b:c5:a1:23:45", "dhcp": {"hostname": "box-1"}})"_json,
            R"j({"label": "Box", "score": 60, "type": "iot", "vendor": "Inner Maker",
                "reasons": ["host name: dhcp_hostname \"box-1\" says Box (60)"]})j"_json},
        {R"({"mac": "00:1b:c5:a1:23:45", "dhcp": {"hostname": "phone-1"}})"_json,
            R"j({"label": "Phone", "score": 60, "type": "phone", "vendor": "Kind Vendor",
                "reasons": ["host name: dhcp_hostname \"phone-1\" says Phone (60)"]})j"_json},
        {R"({"mac": "3c:22:fb:00:00:01"})"_json,
            R"({"label": "", "score": 0, "type": "unknown", "vendor": "Apple, Inc."})"_json},
        // The same octets with the locally administered bit: made up by the device.
        {R"({"mac": "3e:22:fb:00:00:01"})"_json,
            R"({"label": "", "score": 0, "type": "unknown", "vendor": "", "mac_randomised": true})"_json},
        {R"({"mac": "02:1b:c5:a1:23:45", "dhcp": {"hostname": "phone-1"}})"_json,
            R"j({"label": "Phone", "score": 60, "type": "phone", "vendor": "Kind Vendor", "mac_randomised": true,
                "reasons": ["host name: dhcp_hostname \"phone-1\" says Phone (60)"]})j"_json},
        {R"({"mac": "not-a-mac", "dhcp": {"hostname": "box"}})"_json,
            R"j({"label": "Box", "score": 60, "type": "iot", "vendor": "", "reasons": ["host name: dhcp_hostname \"box\" says Box (60)"]})j"_json},
    };
    for (const Case &c : cases) {
        DeviceFacts facts;
        std::string error;
        ASSERT_TRUE(ReadDevice(c.device, facts, error)) << error;
        EXPECT_EQ(DiscoveryJson(Classify(kinds, facts, registry)), c.discovery) << c.device.dump();
    }
    // Without a registry the MAC still tells whether it was made up.
    EXPECT_EQ(DiscoveryJson(ClassifyJson(kinds, R"({"mac": "3e:22:fb:00:00:01"})"_json)),
        R"({"label": "", "score": 0, "type": "unknown", "vendor": "", "mac_randomised": true})"_json);
    EXPECT_EQ(DiscoveryJson(ClassifyJson(kinds, R"({"mac": "3c:22:fb:00:00:01"})"_json)),
        R"({"label": "", "score": 0, "type": "unknown", "vendor": ""})"_json);
}

class ClassifierServiceTest : public ::testing::Test
{
protected:
    Service service {ParseRules(R"({"kinds": [{"label": "Printer", "type": "printer",
        "rules": [{"field": "mdns_services", "equals": "_ipp._tcp.local", "score": 90}]}]})"),
        "s3cret"};
    const std::string auth = "Bearer s3cret";
    const AgentId agent {"agent-uuid", "agent-serial"};
};

TEST_F(ClassifierServiceTest, UploadAnswersEveryDeviceAndTheIndexRemembersThem)
{
    Reply empty = service.Index(auth, agent);
    EXPECT_EQ(empty.http_status, 200);
    EXPECT_EQ(empty.body, R"({"status_code": 0, "status_message": "ok", "data": []})"_json);

    Reply reply = service.Upload(auth, R"([
        {"mac": "3c:52:82:7a:19:e4", "mdns_services": ["_ipp._tcp.local"], "ip_address": "192.168.1.90", "ip_count": 1},
        {"mac": "00:11:32:9b:4e:07", "dhcp": {"fingerprint": "", "vendor": "", "hostname": ""}}])",
        agent);
    EXPECT_EQ(reply.http_status, 200);
    EXPECT_EQ(reply.body, R"j({"status_code": 0, "status_message": "ok", "data": [
        {"mac": "3c:52:82:7a:19:e4", "discovery": {"label": "Printer", "score": 90, "type": "printer", "vendor": "",
            "reasons": ["mdns: mdns_services \"_ipp._tcp.local\" says Printer (90)"]}},
        {"mac": "00:11:32:9b:4e:07", "discovery": {"label": "", "score": 0, "type": "unknown", "vendor": ""}}]})j"_json);

    Reply index = service.Index(auth, agent);
    EXPECT_EQ(index.body["data"].size(), 2u);
    EXPECT_EQ(index.body["data"][1], reply.body["data"][0]);
}

TEST_F(ClassifierServiceTest, AnIndexHoldsOnlyItsOwnAgentsDevices)
{
    const std::string device = R"([{"mac": "3c:52:82:7a:19:e4"}])";
    ASSERT_EQ(service.Upload(auth, device, agent).http_status, 200);
    // Another agent, the same agent with another serial, and agents that
    // name themselves not at all: none of them sees it.
    for (const AgentId &other : {AgentId {"other-uuid", "agent-serial"},
             AgentId {"agent-uuid", "other-serial"}, AgentId {"-", "-"}, AgentId {}})
        EXPECT_EQ(service.Index(auth, other).body["data"], json::array())
            << other.uuid << " " << other.serial;
    // Nameless uploads are answered, and remembered for no one.
    EXPECT_EQ(service.Upload(auth, device, AgentId {"-", "-"}).body["data"].size(), 1u);
    EXPECT_EQ(service.Index(auth, AgentId {"-", "-"}).body["data"], json::array());

    // Full, a new agent takes the place of the one that asked least recently.
    for (size_t i = 1; i < Service::MAX_AGENTS; i++)
        service.Upload(auth, device, AgentId {"agent-" + std::to_string(i), "-"});
    EXPECT_EQ(service.Index(auth, agent).body["data"].size(), 1u);
    service.Upload(auth, device, AgentId {"newcomer", "-"});
    EXPECT_EQ(service.Index(auth, agent).body["data"].size(), 1u);
    EXPECT_EQ(service.Index(auth, AgentId {"agent-1", "-"}).body["data"], json::array());
    EXPECT_EQ(service.Index(auth, AgentId {"agent-2", "-"}).body["data"].size(), 1u);
    EXPECT_EQ(service.Index(auth, AgentId {"newcomer", "-"}).body["data"].size(), 1u);
}

TEST_F(ClassifierServiceTest, UploadAnswersCarryRegistryVendors)
{
    RegistryProblems problems;
    Service with_registry(ParseRules(R"({"kinds": [{"label": "Printer", "type": "printer",
        "rules": [{"field": "mdns_services", "equals": "_ipp._tcp.local", "score": 90}]}]})"),
        "", MacRegistry::Load(std::string(OSTREL_SOURCE_DIR) + "/tests/classifier/data/registry", problems));
    Reply reply
        = with_registry.Upload("", R"([{"mac": "00:d0:ef:01:02:03", "mdns_services": ["_ipp._tcp.local"]},
        {"mac": "5a:1e:77:c2:04:b3"}])",
            agent);
    EXPECT_EQ(reply.body, R"j({"status_code": 0, "status_message": "ok", "data": [
        {"mac": "00:d0:ef:01:02:03", "discovery": {"label": "Printer", "score": 90, "type": "printer", "vendor": "IGT",
            "reasons": ["mdns: mdns_services \"_ipp._tcp.local\" says Printer (90)"]}},
        {"mac": "5a:1e:77:c2:04:b3", "discovery": {"label": "", "score": 0, "type": "unknown", "vendor": "",
            "mac_randomised": true}}]})j"_json);
    EXPECT_EQ(with_registry.Index("", agent).body["data"], reply.body["data"]);
}

TEST(ClassifierOptionsTest, RegistryOptionDefaultsToTheDebianPackage)
{
    ServiceOptions options;
    std::string error;
    std::vector<std::string> args = {"ostrel-classifier"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    ASSERT_TRUE(ParseServiceOptions(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    EXPECT_EQ(options.registry, "/usr/share/ieee-data");
    args = {"ostrel-classifier", "--registry", "none"};
    argv.clear();
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    ASSERT_TRUE(ParseServiceOptions(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    EXPECT_EQ(options.registry, "none");
    args = {"ostrel-classifier", "--registry"};
    argv.clear();
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    EXPECT_FALSE(ParseServiceOptions(static_cast<int>(argv.size()), argv.data(), options, error));
    EXPECT_EQ(error, "--registry: needs a value");
}

TEST_F(ClassifierServiceTest, WrongOrMissingTokenIsRefusedWith401)
{
    for (const std::string &given : {std::string(), std::string("Bearer s3cre"),
             std::string("Bearer s3cret2"), std::string("Basic s3cret"), std::string("bearer s3cret")}) {
        Reply reply = service.Upload(given, "[]");
        EXPECT_EQ(reply.http_status, 401) << given;
        EXPECT_EQ(reply.body, R"({"status_code": 401, "status_message": "missing or wrong bearer token",
            "data": []})"_json);
        EXPECT_EQ(service.Index(given).http_status, 401) << given;
    }
    Service open_service(
        ParseRules(R"({"kinds": [{"label": "A", "rules": [{"field": "mac", "equals": "x", "score": 1}]}]})"),
        "");
    EXPECT_EQ(open_service.Upload("", "[]").http_status, 200);
}

TEST_F(ClassifierServiceTest, MalformedUploadsGet400WithTheReasonAndChangeNothing)
{
    struct Case {
        std::string body;
        const char *error;
    } cases[] = {
        {"", "request body is not valid JSON: "},
        {"[{\"mac\": ", "request body is not valid JSON: "},
        {R"({"mac": "a"})", "request body must be a JSON array of device objects"},
        {R"([{"mac": "a"}, 5])", "request[1]: must be an object"},
        {R"([{"dhcp": {}}])", "request[0]: mac: missing or not a non-empty string"},
        {R"([{"mac": ""}])", "request[0]: mac: missing or not a non-empty string"},
        {R"([{"mac": "a", "dhcp": []}])", "request[0]: dhcp: must be an object"},
        {R"([{"mac": "a", "dhcp": {"vendor": 1}}])", "request[0]: dhcp.vendor: must be a string"},
        {R"([{"mac": "a", "mdns_services": "_ipp._tcp.local"}])",
            "request[0]: mdns_services: must be an array of strings"},
        {R"([{"mac": "a", "ja4_clients": [null]}])", "request[0]: ja4_clients: must be an array of strings"},
        {"[" + std::string(100000, '['), "request body is not valid JSON: "},
        {"[\"\xff\"]", "request body is not valid JSON: "},
    };
    for (const Case &c : cases) {
        Reply reply;
        ASSERT_NO_THROW(reply = service.Upload(auth, c.body)) << c.body.substr(0, 40);
        EXPECT_EQ(reply.http_status, 400) << c.body.substr(0, 40);
        EXPECT_EQ(reply.body["status_code"], 400);
        EXPECT_EQ(reply.body["data"], json::array());
        EXPECT_NE(reply.body["status_message"].get<std::string>().find(c.error), std::string::npos)
            << c.body.substr(0, 40) << " gave: " << reply.body["status_message"];
        // The reply itself must be sendable as JSON text.
        EXPECT_NO_THROW(reply.body.dump(-1, ' ', false, json::error_handler_t::replace));
    }
    std::string too_many = "[";
    for (size_t i = 0; i <= Service::MAX_UPLOAD_DEVICES; i++)
        too_many += (i ? ",{\"mac\":\"m\"}" : "{\"mac\":\"m\"}");
    too_many += "]";
    EXPECT_EQ(service.Upload(auth, too_many).http_status, 400);
    // A bad device anywhere leaves nothing behind, not even the good ones before it.
    service.Upload(auth, R"([{"mac": "3c:52:82:7a:19:e4"}, {"mac": 7}])", agent);
    EXPECT_EQ(service.Index(auth, agent).body["data"], json::array());
}

} // namespace
