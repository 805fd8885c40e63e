#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plugin/plugin.h"
#include "tests/config/config_state.h"
#include "tests/support/host_fixture.h"
#include "tests/support/plugin.h"

using nlohmann::literals::operator""_json;

namespace {

using ostrel_test::ChannelState;
using ostrel_test::PluginState;
using ostrel_test::SinksState;

// A good file that sets something in each part of the state.
const char *GOOD_FILE = R"({
    "max_confidence": 90,
    "max_ja4_clients": {"max": 4},
    "process_all_macs": true,
    "device_mac_ignore": ["00:11:22:33:44:55"],
    "path_device_cache": "${path_state}/cache.json",
    "ostrel_api": {"enable": true, "url": "https://api.example.net/upload"},
    "format": "msgpack",
    "sinks": {"sink-a": {"ch-1": {}, "ch-2": {"compressor": "gz"}}, "sink-b": {"ch-1": {"flush": true}}}
})";

class ReloadTest : public ostrel_test::HostFixture
{
protected:
    ReloadTest()
    {
        global.variables["path_state"] = "/var/lib/ostreld";
        conf = dir.File("dev-discovery.json");
        plugin = ostrel_test::MakePluginAt(conf, "dev-discovery");
    }

    // Writes the configuration file and reloads; returns what Reload threw,
    // or "" when it did not throw.
    std::string ReloadWith(const std::string &text)
    {
        dir.Write("dev-discovery.json", text);
        return ReloadError();
    }

    std::string ReloadError()
    {
        return ostrel_test::ThrownMessage([this] { plugin->Reload(); });
    }

    std::string conf;
    std::unique_ptr<ozpPlugin> plugin;
};

TEST_F(ReloadTest, LoadsConfigDefaultsAndSinksFromAFileWithComments)
{
    SetDebug(true);
    ASSERT_EQ(ReloadWith(R"(// dev-discovery
    {
        /* limits */
        "max_confidence": 75, // retire at 75
        "max_mdns_services": {"max": 5, "update_ttl": 60},
        "compressor": "gz",
        "sinks": {"sink-socket": {"dev-discovery": {"format": "object"}}}
    })"),
        "");

    EXPECT_TRUE(log.Contains("dev-discovery: Loading configuration: " + conf + "\n"));
    EXPECT_EQ(plugin->config.max_confidence, 75u);
    EXPECT_EQ(plugin->config.max_mdns_services.update_ttl, 60u);
    EXPECT_EQ(
        ChannelState(plugin->channel_defaults), R"({"format": 1, "compressor": 1, "flush": false})"_json);
    EXPECT_EQ(SinksState(plugin->sinks),
        R"({"sink-socket": {"dev-discovery": {"format": 2, "compressor": 1, "flush": false}}})"_json);
}

TEST_F(ReloadTest, TheSampleConfigurationLoads)
{
    plugin = ostrel_test::MakePluginAt(OSTREL_SOURCE_DIR "/examples/dev-discovery.json", "dev-discovery");
    ASSERT_EQ(ReloadError(), "");

    const ozpGlobalConfig &config = plugin->config;
    EXPECT_EQ(config.max_confidence, 80u);
    EXPECT_EQ(config.max_device_age, 172800u);
    EXPECT_EQ(ostrel_test::SetState(config.max_mdns_services),
        R"({"max": 16, "update_min": 2, "update_ttl": 300})"_json);
    EXPECT_EQ(config.path_device_cache, "/var/lib/ostreld/dev-discovery-cache.json");
    EXPECT_FALSE(config.api_enable);
    EXPECT_EQ(config.device_mac_ignore.size(), 2u);
    EXPECT_EQ(SinksState(plugin->sinks), R"({"sink-socket": {
        "dev-discovery": {"format": 1, "compressor": 0, "flush": false},
        "dev-discovery-archive": {"format": 3, "compressor": 1, "flush": true}}})"_json);
}

TEST_F(ReloadTest, AMissingFileFailsWithTheNoSuchFileText)
{
    ASSERT_EQ(ReloadWith(GOOD_FILE), "");
    const json good = PluginState(*plugin);
    std::remove(conf.c_str());
    EXPECT_EQ(ReloadError(), "dev-discovery: " + conf + ": No such file or directory");
    EXPECT_EQ(PluginState(*plugin), good);
}

// A file that does not parse changes nothing.
TEST_F(ReloadTest, AFileThatDoesNotParseChangesNothing)
{
    const std::string json_error = "dev-discovery: " + conf + ": JSON exception: ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"max_confidence": 50,})", json_error + "[json.exception.parse_error.101]"},
        {R"({"max_confidence": 50, "sinks": {)", json_error + "[json.exception.parse_error.101]"},
        {"", json_error + "[json.exception.parse_error.101]"},
        {R"({"a": 1} {"b": 2})", json_error + "[json.exception.parse_error.101]"},
        {R"([{"max_confidence": 50}])",
            json_error + "[json.exception.type_error.302] type must be object, but is array"},
        {R"(null)", json_error + "[json.exception.type_error.302] type must be object, but is null"},
    };

    ASSERT_EQ(ReloadWith(GOOD_FILE), "");
    const json good = PluginState(*plugin);
    for (const auto &[file, message] : cases) {
        std::string error = ReloadWith(file);
        EXPECT_EQ(error.substr(0, message.size()), message) << file;
        EXPECT_EQ(PluginState(*plugin), good) << file;
    }
}

// A file that parses loads in place up to the failing key: what came before
// it is applied, what comes after it is not.
TEST_F(ReloadTest, AFailureLeavesWhatWasLoadedBeforeIt)
{
    ASSERT_EQ(ReloadWith(GOOD_FILE), "");
    const json good = PluginState(*plugin);

    // In the plug-in settings: reset, then read up to the failing key.
    EXPECT_EQ(ReloadWith(R"({"max_confidence": 50, "max_mdns_services": 4, "max_ja4_clients": "8",
                            "process_all_macs": true})"),
        "void ozpGlobalConfig::Load(const json &): max_ja4_clients: string, Invalid argument");
    json partial = good;
    partial["config"]["max_confidence"] = 50;
    partial["config"]["max_mdns_services"] = R"({"max": 4, "update_min": 0, "update_ttl": 0})"_json;
    partial["config"]["max_ja4_clients"] = R"({"max": 10, "update_min": 0, "update_ttl": 0})"_json;
    partial["config"]["process_all_macs"] = false;
    partial["config"]["api_enable"] = false;
    partial["config"]["api_url_upload"] = "";
    EXPECT_EQ(PluginState(*plugin), partial) << "ignore list and cache path keep their values";

    EXPECT_EQ(ReloadWith(R"({"device_mac_ignore": ["aa:bb:cc:dd:ee:ff", 1]})"),
        "[json.exception.type_error.302] type must be string, but is number");
    EXPECT_EQ(plugin->config.device_mac_ignore, std::set<std::string> {"00:11:22:33:44:55"});

    // In the channel defaults: the plug-in settings are loaded, the defaults
    // up to the failing option, the sinks stay.
    ASSERT_EQ(ReloadWith(GOOD_FILE), "");
    EXPECT_EQ(ReloadWith(R"({"max_confidence": 50, "format": "object", "compressor": "zstd"})"),
        "void ozpChannelConfig::Load(const string &, const json &): compressor: zstd: Invalid argument");
    EXPECT_EQ(plugin->config.max_confidence, 50u);
    EXPECT_EQ(
        ChannelState(plugin->channel_defaults), R"({"format": 2, "compressor": 0, "flush": false})"_json);
    EXPECT_EQ(SinksState(plugin->sinks), good["sinks"]);

    // In the sinks: the channels inserted before the failure stay. Each load
    // starts the defaults afresh, so a file without "format" gives "json".
    EXPECT_EQ(ReloadWith(R"({"sinks": {"sink-a": {"ch-1": {}, "ch-2": {"format": "msgpack"}},
                                        "sink-b": {"ch-1": {"compressor": "zstd"}}}})"),
        "void ozpChannelConfig::Load(const string &, const json &): compressor: zstd: Invalid argument");
    EXPECT_EQ(SinksState(plugin->sinks), R"({"sink-a": {
        "ch-1": {"format": 1, "compressor": 0, "flush": false},
        "ch-2": {"format": 3, "compressor": 0, "flush": false}}})"_json);

    const std::vector<std::pair<std::string, std::string>> shapes = {
        {R"({"sinks": [{"sink-a": {}}]})",
            "[json.exception.type_error.302] type must be object, but is array"},
        {R"({"sinks": {"sink-a": {"ch-1": {}}, "sink-b": ["ch-1"]}})",
            "[json.exception.type_error.302] type must be object, but is array"},
        {R"({"sinks": {"sink-a": {"ch-1": {}, "ch-2": "gz"}}})",
            "[json.exception.type_error.302] type must be object, but is string"},
    };
    for (const auto &[file, message] : shapes) {
        ASSERT_EQ(ReloadWith(GOOD_FILE), "");
        EXPECT_EQ(ReloadWith(file), message) << file;
    }
    EXPECT_EQ(SinksState(plugin->sinks),
        R"({"sink-a": {"ch-1": {"format": 1, "compressor": 0, "flush": false}}})"_json);
}

TEST_F(ReloadTest, OnlyEnabledChannelsAndSinksWithOneOfThemAreKept)
{
    ASSERT_EQ(ReloadWith(R"({"sinks": {
        "all-off": {"ch-1": {"enable": false}, "ch-2": {"enable": false, "format": "msgpack"}},
        "empty": {},
        "mixed": {"off": {"enable": false}, "on": {"enable": true}, "text": {"enable": "false"},
                  "number": {"enable": 0}}
    }})"),
        "");
    EXPECT_EQ(SinksState(plugin->sinks), R"({"mixed": {
        "number": {"format": 1, "compressor": 0, "flush": false},
        "on": {"format": 1, "compressor": 0, "flush": false},
        "text": {"format": 1, "compressor": 0, "flush": false}}})"_json);

    ASSERT_EQ(ReloadWith(R"({"max_confidence": 60})"), "");
    EXPECT_TRUE(plugin->sinks.empty()) << "no \"sinks\" key, no sinks";
}

TEST_F(ReloadTest, ChannelsTakeFormatAndCompressorFromTheDefaultsButNotFlush)
{
    ASSERT_EQ(ReloadWith(R"({"format": "msgpack", "compressor": "gz", "flush": true,
        "sinks": {"sink-a": {
            "plain": {},
            "own": {"format": "object", "compressor": "none", "flush": true},
            "half": {"compressor": "none"}}}})"),
        "");
    EXPECT_EQ(
        ChannelState(plugin->channel_defaults), R"({"format": 3, "compressor": 1, "flush": true})"_json);
    EXPECT_EQ(SinksState(plugin->sinks), R"({"sink-a": {
        "plain": {"format": 3, "compressor": 1, "flush": false},
        "own": {"format": 2, "compressor": 0, "flush": true},
        "half": {"format": 3, "compressor": 0, "flush": false}}})"_json);

    // Each load starts the defaults from json, none, false: options removed
    // from the file do not keep the values of an earlier load.
    ASSERT_EQ(ReloadWith(R"({"format": "json", "sinks": {"sink-a": {"plain": {}}}})"), "");
    EXPECT_EQ(SinksState(plugin->sinks),
        R"({"sink-a": {"plain": {"format": 1, "compressor": 0, "flush": false}}})"_json);
    ASSERT_EQ(ReloadWith(R"({"format": "msgpack", "compressor": "gz", "flush": true})"), "");
    ASSERT_EQ(ReloadWith(R"({"sinks": {"sink-a": {"plain": {}}}})"), "");
    EXPECT_EQ(
        ChannelState(plugin->channel_defaults), R"({"format": 1, "compressor": 0, "flush": false})"_json);
    EXPECT_EQ(SinksState(plugin->sinks),
        R"({"sink-a": {"plain": {"format": 1, "compressor": 0, "flush": false}}})"_json);
}

TEST_F(ReloadTest, TopLevelOptionsRemovedByAReloadNoLongerReachThePayloadFlags)
{
    // What the sink is asked for, not only what the configuration holds: a
    // user who removes "format": "msgpack" and reloads gets JSON again.
    const auto dispatched_flags = [this] {
        json payload = {{"n", 1}};
        plugin->DispatchPayload(payload);
        const std::vector<ostrel_test::SinkCall> calls = sinks.Calls();
        return calls.empty() ? -1 : int {calls.back().flags};
    };
    ASSERT_EQ(ReloadWith(R"({"format": "msgpack", "compressor": "gz", "flush": true,
        "sinks": {"sink-a": {"plain": {}}}})"),
        "");
    ASSERT_EQ(dispatched_flags(), ozPlugin::DF_FORMAT_MSGPACK | ozPlugin::DF_GZ_DEFLATE);

    ASSERT_EQ(ReloadWith(R"({"sinks": {"sink-a": {"plain": {}}}})"), "");
    EXPECT_EQ(dispatched_flags(), int {ozPlugin::DF_FORMAT_JSON});
}

TEST_F(ReloadTest, AReloadDropsRemovedSinksAndChannels)
{
    ASSERT_EQ(ReloadWith(GOOD_FILE), "");
    ASSERT_EQ(plugin->sinks.size(), 2u);

    ASSERT_EQ(
        ReloadWith(R"({"format": "msgpack", "sinks": {"sink-a": {"ch-2": {"compressor": "gz"}}}})"), "");
    EXPECT_EQ(SinksState(plugin->sinks),
        R"({"sink-a": {"ch-2": {"format": 3, "compressor": 1, "flush": false}}})"_json);
}

} // namespace
