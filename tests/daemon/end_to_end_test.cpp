// The real daemon, the real plug-in library and the real classification
// service, over loopback. Each test waits for what it needs to see with a
// deadline; none waits for time to pass.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/eventually.h"
#include "tests/support/host_fixture.h"

using json = nlohmann::json;
using ostrel_test::ChildProcess;
using ostrel_test::Eventually;
using ostrel_test::ReadFile;
using ostrel_test::UpdatingGolden;
using namespace std::chrono_literals;

namespace {

constexpr auto DEADLINE = 60s;
const std::string TOKEN = "e2e-token";

const std::string PHONE = "3c:28:6d:41:9a:10";
const std::string CAMERA = "9c:8e:cd:0b:62:f1";
const std::string PLUG = "24:6f:28:3a:1f:2b";

const std::string PHONE_DHCP
    = R"({"lower_mac": "3c:28:6d:41:9a:10", "lower_ip": "192.168.1.23", "upper_mac": "f4:92:bf:10:00:01", "upper_ip": "192.168.1.1", "protocol": 18, "dhcp_class_ident": "android-dhcp-13", "dhcp_fingerprint": "1,3,6,15,26,28,51,58,59,43,114,108", "host_name": "Pixel-7"})";
const std::string PHONE_HTTP
    = R"j({"lower_mac": "3c:28:6d:41:9a:10", "lower_ip": "192.168.1.23", "protocol": 7, "user_agent": "Dalvik/2.1.0 (Linux; U; Android 13)", "user_agent_source": "http"})j";
const std::string CAMERA_DHCP
    = R"({"lower_mac": "9c:8e:cd:0b:62:f1", "lower_ip": "192.168.1.110", "protocol": 18, "dhcp_class_ident": "udhcp 1.36.1", "host_name": "ipc-7f3e21"})";
const std::string PLUG_DHCP
    = R"({"lower_mac": "24:6f:28:3a:1f:2b", "lower_ip": "192.168.1.120", "protocol": 18, "dhcp_class_ident": "udhcp 1.36.1", "host_name": "ESP_3A1F2B"})";

std::vector<json> JsonLines(const std::string &text)
{
    std::vector<json> docs;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        docs.push_back(json::parse(text.substr(at, end - at)));
    return docs;
}

// Every device object that reached the sink, in arrival order.
std::vector<json> SinkDevices(const std::string &path)
{
    std::vector<json> devices;
    for (const json &payload : JsonLines(ReadFile(path))) {
        for (const json &device : payload.at("device_discovery"))
            devices.push_back(device);
    }
    return devices;
}

bool SinkHas(const std::string &path, const std::string &mac, const std::string &label)
{
    try {
        for (const json &device : SinkDevices(path)) {
            if (device.value("mac", "") == mac && device["response"].is_object()
                && device["response"].value("label", "") == label)
                return true;
        }
    } catch (const json::exception &) {
        // A line being written right now.
    }
    return false;
}

class EndToEndTest : public ::testing::Test
{
protected:
    void StartClassifier()
    {
        // The small test registry, so that answers do not change with the
        // machine's ieee-data package.
        classifier.Start({OSTREL_CLASSIFIER_BIN, "--port", "0", "--token", TOKEN, "--rules",
                             std::string(OSTREL_SOURCE_DIR) + "/examples/classifier-rules.json", "--registry",
                             std::string(OSTREL_SOURCE_DIR) + "/tests/classifier/data/registry"},
            dir.File("classifier.out"), dir.File("classifier.log"));
        std::string marker = "listening on http://127.0.0.1:";
        ASSERT_TRUE(Eventually(
            [&] { return ReadFile(dir.File("classifier.out")).find(marker) != std::string::npos; }, DEADLINE))
            << ReadFile(dir.File("classifier.log"));
        std::string out = ReadFile(dir.File("classifier.out"));
        port = std::stoi(out.substr(out.find(marker) + marker.size()));
    }

    // The host's own configuration: the API bootstrap data and the sink file.
    // Updates come slower than the plug-in's loop collects an answer (within
    // a second), so that each cycle can send what the last one left due.
    std::string HostConfig(double update_interval = 2)
    {
        return dir.Write("host.json",
            R"({
            "update_interval": )"
                + std::to_string(update_interval) + R"(,
            "uuids": {"agent": "e2e-agent"},
            "api": {"dev-discovery": {
                "urls": {"index": "http://127.0.0.1:)"
                + std::to_string(port) + R"(/v1/discovery/index",
                         "upload": "http://127.0.0.1:)"
                + std::to_string(port) + R"(/v1/discovery/upload"},
                "auth_method": "bearer", "token": ")"
                + TOKEN + R"("}},
            "http": {"connect_timeout_ms": 2000, "total_timeout_ms": 10000},
            "sinks": {"sink-log": {"devices": "${state}/sink.jsonl"}}
        })");
    }

    std::string PluginConfig(const std::string &extra = R"(, "ostrel_api": {"enable": true})")
    {
        return dir.Write("plugin.json",
            R"({
            "max_confidence": 80,
            "path_device_cache": "${state}/cache.json",
            "sinks": {"sink-log": {"devices": {"format": "json", "flush": true}}})"
                + extra + R"(
        })");
    }

    void StartHost(ChildProcess &host, std::vector<std::string> extra, bool pipe_stdin = true)
    {
        std::vector<std::string> argv
            = {OSTREL_HOST_BIN, "--config", dir.File("host.json"), "--conf", dir.File("plugin.json"), "--var",
                "state=" + dir.Path(), "--debug", "--verbose", "--debug-level", "2"};
        if (pipe_stdin) {
            argv.push_back("--input");
            argv.push_back("-");
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        host.Start(argv, dir.File("host.out"), dir.File("host.log"), pipe_stdin);
    }

    bool LogHas(const std::string &text)
    {
        return ReadFile(dir.File("host.log")).find(text) != std::string::npos;
    }

    size_t LogCount(const std::string &text)
    {
        std::string log = ReadFile(dir.File("host.log"));
        size_t count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            count++;
        return count;
    }

    bool WaitForLog(const std::string &text)
    {
        return Eventually([&] { return LogHas(text); }, DEADLINE);
    }

    json Cache() { return json::parse(ReadFile(dir.File("cache.json"))); }

    // Takes "last_seen" out of each device of `cache`: MAC -> its value.
    static std::map<std::string, int64_t> LastSeen(json &cache)
    {
        std::map<std::string, int64_t> seen;
        for (auto &entry : cache.items()) {
            seen[entry.key()] = entry.value().at("last_seen").get<int64_t>();
            entry.value().erase("last_seen");
        }
        return seen;
    }

    void StopHost(ChildProcess &host)
    {
        host.Signal(SIGTERM);
        EXPECT_EQ(host.Wait(DEADLINE), 0) << ReadFile(dir.File("host.log"));
    }

    ostrel_test::TempDir dir;
    ChildProcess classifier;
    int port = 0;
};

TEST_F(EndToEndTest, LabelledDevicesReachTheSinkAndIdentifiedOnesAreRetired)
{
    ASSERT_NO_FATAL_FAILURE(StartClassifier());
    HostConfig();
    PluginConfig();
    ChildProcess host;
    StartHost(host, {});
    host.WriteStdin(PHONE_DHCP + "\n" + CAMERA_DHCP + "\n");

    ASSERT_TRUE(Eventually([&] { return SinkHas(dir.File("sink.jsonl"), PHONE, "Android phone"); }, DEADLINE))
        << ReadFile(dir.File("host.log"));
    json phone;
    for (const json &device : SinkDevices(dir.File("sink.jsonl"))) {
        if (device["mac"] == PHONE) phone = device;
    }
    EXPECT_EQ(phone, R"j({"mac": "3c:28:6d:41:9a:10", "cached": false,
        "dhcp": {"fingerprint": "1,3,6,15,26,28,51,58,59,43,114,108", "hostname": "Pixel-7", "vendor": "android-dhcp-13"},
        "http_user_agents": [], "ja4_clients": [], "mdns_services": [], "ssdp_user_agents": [],
        "ip_address": "192.168.1.23", "ip_count": 1,
        "response": {"label": "Android phone", "score": 86, "type": "mobile-android", "vendor": "",
            "reasons": ["dhcp: dhcp_vendor \"android-dhcp-13\" says Android phone (70)",
                "host name: host_names \"Pixel-7\" says Android phone (40)"]}})j"_json);

    // Retired: its next flow is ignored, and it is not kept in the cache.
    host.WriteStdin(PHONE_HTTP + "\n");
    EXPECT_TRUE(WaitForLog(PHONE + ": Ignoring; identified.")) << ReadFile(dir.File("host.log"));
    ASSERT_TRUE(WaitForLog(CAMERA + ": IP camera: score: 64"));
    StopHost(host);

    json cache = Cache();
    EXPECT_FALSE(cache.contains(PHONE)) << cache.dump();
    ASSERT_TRUE(cache.contains(CAMERA)) << cache.dump();
    EXPECT_EQ(cache[CAMERA]["label"], "IP camera");
    EXPECT_EQ(cache[CAMERA]["confidence"], 64);
    // The camera stayed below the confidence to retire it: never in the sink.
    for (const json &device : SinkDevices(dir.File("sink.jsonl")))
        EXPECT_NE(device["mac"], CAMERA);
    EXPECT_TRUE(LogHas("ostrel-host: Terminated: shutting down"));
}

TEST_F(EndToEndTest, CacheFileRoundTripsAcrossARestart)
{
    ASSERT_NO_FATAL_FAILURE(StartClassifier());
    HostConfig();
    PluginConfig();
    {
        ChildProcess host;
        StartHost(host, {});
        host.WriteStdin(CAMERA_DHCP + "\n" + PLUG_DHCP + "\n");
        ASSERT_TRUE(WaitForLog(CAMERA + ": IP camera: score: 64")) << ReadFile(dir.File("host.log"));
        ASSERT_TRUE(WaitForLog(PLUG + ": Embedded IoT device: score: 68"));
        StopHost(host);
    }
    json first = Cache();
    ASSERT_EQ(first.size(), 2u) << first.dump();
    // When each device was last seen, in wall-clock seconds: about now.
    std::map<std::string, int64_t> seen = LastSeen(first);
    EXPECT_NEAR(seen[PLUG], static_cast<double>(time(nullptr)), 60.0);
    EXPECT_EQ(first[PLUG], R"({"mac": "24:6f:28:3a:1f:2b", "label": "Embedded IoT device", "confidence": 68,
        "dhcp_fingerprint": "", "dhcp_vendor": "udhcp 1.36.1", "dhcp_hostname": "ESP_3A1F2B",
        "http_user_agents": [], "ja4_clients": [], "mdns_services": [], "ssdp_user_agents": [],
        "ip_list": ["192.168.1.120"], "cached": false, "other_device": false})"_json);

    ChildProcess again;
    StartHost(again, {}, false);
    ASSERT_TRUE(WaitForLog("dev-discovery: Loaded 2 devices from: " + dir.File("cache.json")))
        << ReadFile(dir.File("host.log"));
    StopHost(again);
    // The restart kept when the devices were last seen (the two clocks are
    // read in whole seconds, so to a second).
    json second = Cache();
    for (const auto &entry : LastSeen(second))
        EXPECT_NEAR(entry.second, seen[entry.first], 1.0) << entry.first;
    EXPECT_EQ(second, first);
}

TEST_F(EndToEndTest, SighupAppliesTheEditedPluginConfiguration)
{
    // No cloud: what the reload changes shows in the log and the cache.
    HostConfig();
    PluginConfig("");
    ChildProcess host;
    StartHost(host, {});
    host.WriteStdin(CAMERA_DHCP + "\n");
    ASSERT_TRUE(WaitForLog(CAMERA + " [192.168.1.110]")) << ReadFile(dir.File("host.log"));

    PluginConfig(R"(, "device_mac_ignore": [")" + PLUG + R"("])");
    host.Signal(SIGHUP);
    ASSERT_TRUE(Eventually([&] { return LogCount("dev-discovery: Loading configuration: ") == 2; }, DEADLINE))
        << ReadFile(dir.File("host.log"));
    EXPECT_TRUE(LogHas("ostrel-host: SIGHUP: reloading plug-in configuration\n"));
    host.WriteStdin(PLUG_DHCP + "\n");
    EXPECT_TRUE(WaitForLog(PLUG + ": Ignoring; found in ignore list.")) << ReadFile(dir.File("host.log"));
    StopHost(host);

    json cache = Cache();
    EXPECT_TRUE(cache.contains(CAMERA)) << cache.dump();
    EXPECT_FALSE(cache.contains(PLUG)) << cache.dump();
}

TEST_F(EndToEndTest, LibraryBuiltForAnotherAbiIsRefused)
{
    dir.Write("plugin.json", "{}");
    ChildProcess host;
    host.Start({OSTREL_HOST_BIN, "--plugin", OSTREL_FAKE_PLUGIN_PATH, "--conf", dir.File("plugin.json")},
        dir.File("host.out"), dir.File("host.log"));
    EXPECT_EQ(host.Wait(DEADLINE), 1);
    EXPECT_EQ(ReadFile(dir.File("host.log")),
        std::string("ostrel-host: dev-discovery: ") + OSTREL_FAKE_PLUGIN_PATH
            + ": oz_plugin_abi: version: expected 15, found 14\n");
}

// Both programs: --help and --version on stdout with status 0 wherever they
// stand, a bad command line named on stderr with the usage and status 2.
TEST_F(EndToEndTest, CommandLinesAnswerHelpVersionAndBadOptions)
{
    struct Case {
        std::vector<std::string> argv;
        int status;
        std::string out, log; // how each begins
    } cases[] = {
        {{OSTREL_HOST_BIN, "--debug", "--help", "--inptu"}, 0, "Usage: ostrel-host [OPTION]...\n\nOptions:\n",
            ""},
        {{OSTREL_HOST_BIN, "--version"}, 0, "ostrel-host 1.", ""},
        {{OSTREL_HOST_BIN, "--speed", "-1"}, 2, "",
            "ostrel-host: --speed -1: must be 0 or a number from 0.001 to 1000000\nusage: ostrel-host "
            "[--help]"},
        {{OSTREL_CLASSIFIER_BIN, "--quiet", "-h"}, 0, "Usage: ostrel-classifier [OPTION]...\n", ""},
        {{OSTREL_CLASSIFIER_BIN, "--version"}, 0, "ostrel-classifier 1.", ""},
        {{OSTREL_CLASSIFIER_BIN, "--port"}, 2, "",
            "ostrel-classifier: --port: needs a value\nusage: ostrel-classifier [--help]"},
    };
    int run = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argv[1]);
        const std::string out = dir.File("out" + std::to_string(run)),
                          log = dir.File("log" + std::to_string(run));
        run++;
        ChildProcess program;
        program.Start(c.argv, out, log);
        EXPECT_EQ(program.Wait(DEADLINE), c.status);
        EXPECT_EQ(ReadFile(out).substr(0, c.out.size()), c.out);
        EXPECT_EQ(ReadFile(log).substr(0, c.log.size()), c.log);
        EXPECT_EQ(ReadFile(out).empty(), c.out.empty());
        EXPECT_EQ(ReadFile(log).empty(), c.log.empty());
    }
}

TEST_F(EndToEndTest, MalformedFlowLinesAreSkippedAndTheRunGoesOn)
{
    // No cloud here: the devices stay in the table and so in the cache.
    dir.Write("plugin.json", R"({"path_device_cache": ")" + dir.File("cache.json") + R"("})");
    // A NUL byte ends what the JSON reader looks at: the flow before it must
    // not pass for the whole line.
    const std::string ghost = R"({"lower_mac": "02:00:00:00:00:99", "protocol": 18})";
    std::string input = dir.Write("flows.jsonl",
        "# four flows, three of them broken\n" + CAMERA_DHCP + "\n" + R"({"lower_mac": "9c:8e:cd)" + "\n"
            + R"({"lower_mac": "not-a-mac"})" + "\n" + ghost + std::string(1, '\0') + "trailing\n"
            + PLUG_DHCP);
    ChildProcess host;
    host.Start({OSTREL_HOST_BIN, "--conf", dir.File("plugin.json"), "--input", input, "--update-interval",
                   "0.5", "--exit-after-input", "3"},
        dir.File("host.out"), dir.File("host.log"));
    EXPECT_EQ(host.Wait(DEADLINE), 0) << ReadFile(dir.File("host.log"));

    std::string log = ReadFile(dir.File("host.log"));
    EXPECT_NE(log.find("ostrel-host: " + input + ":3: not valid JSON: "), std::string::npos) << log;
    EXPECT_NE(
        log.find("ostrel-host: " + input + ":4: lower_mac: not a MAC address: \"not-a-mac\"; line skipped\n"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("ostrel-host: " + input + ":5: line: NUL byte at byte "
                  + std::to_string(ghost.size() + 1) + "; line skipped\n"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("ostrel-host: input done: 2 flows read, 3 lines skipped"), std::string::npos) << log;
    json cache = Cache();
    EXPECT_TRUE(cache.contains(CAMERA)) << cache.dump();
    EXPECT_TRUE(cache.contains(PLUG)) << cache.dump();
    EXPECT_EQ(cache.size(), 2u) << cache.dump();
}

// The golden files: the wire forms of the demo's run, byte for byte.
// docs/PLUGIN.md shows them as its examples.
const std::string GOLDEN_DIR = std::string(OSTREL_SOURCE_DIR) + "/tests/golden/";
const std::string PLUGIN_DOC = std::string(OSTREL_SOURCE_DIR) + "/docs/PLUGIN.md";

// The plug-in takes a cached device's "last_seen" from the system's wall
// clock, which no option of the daemon sets: the golden cache holds this
// second (2026-01-01 00:00:00 UTC) instead, and each value of a run is
// checked to fall within the run.
constexpr int64_t GOLDEN_LAST_SEEN = 1767225600;

// Compares `actual` with the golden file `name`, and checks that the plug-in
// doc shows it; or, when re-recording, writes both.
void CheckGolden(const std::string &name, const std::string &actual)
{
    const std::string path = GOLDEN_DIR + name;
    const std::string expected = ReadFile(path);
    std::string doc = ReadFile(PLUGIN_DOC);
    if (UpdatingGolden()) {
        size_t shown = expected.empty() ? std::string::npos : doc.find(expected);
        if (shown != std::string::npos) {
            doc.replace(shown, expected.size(), actual);
            std::ofstream(PLUGIN_DOC, std::ios::binary | std::ios::trunc) << doc;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << actual;
        out.close();
        EXPECT_TRUE(out) << path;
        std::cout << "[ GOLDEN   ] recorded " << path
                  << (shown != std::string::npos ? " and its copy in " + PLUGIN_DOC
                                                 : "; " + PLUGIN_DOC + " does not show it")
                  << std::endl;
        return;
    }
    if (actual != expected) {
        std::string patch = "(not JSON)";
        try {
            patch = json::diff(json::parse(expected), json::parse(actual)).dump(2);
        } catch (const json::exception &) {
        }
        ADD_FAILURE() << path << " differs from this run; the change as a JSON patch:\n"
                      << patch << "\nthis run:\n"
                      << actual << "\nIf the change is meant, re-record with OSTREL_UPDATE_GOLDEN=1.";
    }
    EXPECT_NE(doc.find(expected), std::string::npos) << PLUGIN_DOC << " does not show " << path;
}

// Each device's last object in the sink's payloads, by MAC, as one payload:
// which device goes in which payload depends on when the answers come.
// `objects` counts every device object received.
json LastSinkObjects(const std::string &payloads, size_t &objects)
{
    std::map<std::string, json> last;
    for (const json &payload : JsonLines(payloads)) {
        EXPECT_EQ(payload.size(), 1u) << payload.dump();
        for (const json &device : payload.at("device_discovery")) {
            last[device.at("mac").get<std::string>()] = device;
            objects++;
        }
    }
    json devices = json::array();
    for (const auto &entry : last)
        devices.push_back(entry.second);
    return json {{"device_discovery", devices}};
}

// The cache text with every "last_seen" value, checked to lie within
// [earliest, latest], replaced by GOLDEN_LAST_SEEN.
std::string FixLastSeen(const std::string &text, int64_t earliest, int64_t latest)
{
    const std::string key = "\"last_seen\":";
    std::string fixed;
    size_t at = 0;
    for (size_t found; (found = text.find(key, at)) != std::string::npos;) {
        size_t digits = found + key.size();
        size_t end = std::min(text.find_first_not_of("-0123456789", digits), text.size());
        std::string value = text.substr(digits, end - digits);
        int64_t seen = value.empty() ? 0 : std::stoll(value);
        EXPECT_GE(seen, earliest) << value;
        EXPECT_LE(seen, latest) << value;
        fixed += text.substr(at, digits - at) + std::to_string(GOLDEN_LAST_SEEN);
        at = end;
    }
    return fixed + text.substr(at);
}

// The demo's flows and configuration: the sink payload and the cache file,
// whole, against the golden files.
TEST_F(EndToEndTest, DemoCaptureGivesTheRecordedDevices)
{
    ASSERT_NO_FATAL_FAILURE(StartClassifier());
    ChildProcess host;
    // Both clocks are read in whole seconds, each rounded down: a device
    // seen within the run may be stamped up to a second outside it.
    const int64_t started = static_cast<int64_t>(time(nullptr)) - 1;
    host.Start({OSTREL_HOST_BIN, "--config", std::string(OSTREL_SOURCE_DIR) + "/examples/ostrel-host.json",
                   "--var", "classifier_port=" + std::to_string(port), "--var", "classifier_token=" + TOKEN,
                   "--var", "path_state=" + dir.Path(), "--input",
                   std::string(OSTREL_SOURCE_DIR) + "/examples/home-network.jsonl", "--speed", "0",
                   "--update-interval", "2", "--exit-after-input", "3", "--debug", "--debug-level", "2"},
        dir.File("host.out"), dir.File("host.log"));
    ASSERT_EQ(host.Wait(DEADLINE), 0) << ReadFile(dir.File("host.log"));
    const int64_t ended = static_cast<int64_t>(time(nullptr)) + 1;

    size_t objects = 0;
    json sink = LastSinkObjects(ostrel_test::Gunzip(ReadFile(dir.File("sink-archive.jsonl.gz"))), objects);
    CheckGolden("sink-payload.json", sink.dump(2) + "\n");
    CheckGolden("dev-discovery-cache.json",
        FixLastSeen(ReadFile(dir.File("dev-discovery-cache.json")), started, ended));

    // The table on stdout has its header and one row per device object.
    std::string table = ReadFile(dir.File("host.out"));
    EXPECT_EQ(table.rfind("MAC ", 0), 0u) << table;
    EXPECT_EQ(static_cast<size_t>(std::count(table.begin(), table.end(), '\n')), objects + 1) << table;
    EXPECT_NE(ReadFile(dir.File("host.log")).find("f4:92:bf:10:00:01: Ignoring; found in ignore list."),
        std::string::npos);
}

} // namespace
