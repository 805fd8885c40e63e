#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plugin/plugin.h"
#include "tests/config/config_state.h"
#include "tests/support/host_fixture.h"

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
        plugin = std::make_unique<ozpPlugin>("dev-discovery", ozPlugin::Params { { "conf_filename", conf } });
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
        try {
            plugin->Reload();
        } catch (const std::exception &e) {
            return e.what();
        }
        return "";
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
    plugin = std::make_unique<ozpPlugin>("dev-discovery",
        ozPlugin::Params { { "conf_filename", OSTREL_SOURCE_DIR "/examples/dev-discovery.json" } });
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

// Whatever goes wrong, the running configuration, defaults and sinks stay
// exactly as the last good file left them.
TEST_F(ReloadTest, AFailedReloadLeavesEverythingAsItWas)
{
    struct Case {
        std::string file;
        std::string message; // a prefix of the error text
    };
    const std::string json_error = "dev-discovery: " + conf + ": JSON exception: ";
    const std::vector<Case> cases = {
        { R"({"max_confidence": 50,})", json_error + "[json.exception.parse_error.101]" },
        { R"({"max_confidence": 50, "sinks": {)", json_error + "[json.exception.parse_error.101]" },
        { "", json_error + "[json.exception.parse_error.101]" },
        { R"({"a": 1} {"b": 2})", json_error + "[json.exception.parse_error.101]" },
        { R"([{"max_confidence": 50}])",
            json_error + "[json.exception.type_error.302] type must be object, but is array" },
        { R"(null)", json_error + "[json.exception.type_error.302] type must be object, but is null" },
        { R"({"max_confidence": 50, "max_ja4_clients": "8"})",
            "void ozpGlobalConfig::Load(const json &): max_ja4_clients: string, Invalid argument" },
        { R"({"max_confidence": 50, "device_mac_ignore": [1]})",
            "[json.exception.type_error.302] type must be string, but is number" },
        { R"({"max_confidence": 50, "format": "xml"})",
            "void ozpChannelConfig::Load(const string &, const json &): format: xml: Invalid argument" },
        { R"({"compressor": "gz", "format": "JSON"})",
            "void ozpChannelConfig::Load(const string &, const json &): format: JSON: Invalid argument" },
        { R"({"sinks": [{"sink-a": {}}]})",
            "[json.exception.type_error.302] type must be object, but is array" },
        { R"({"sinks": {"sink-a": {"ch-1": {}}, "sink-b": ["ch-1"]}})",
            "[json.exception.type_error.302] type must be object, but is array" },
        { R"({"sinks": {"sink-a": {"ch-1": {}, "ch-2": "gz"}}})",
            "[json.exception.type_error.302] type must be object, but is string" },
        { R"({"sinks": {"sink-a": {"ch-1": {}}, "sink-b": {"ch-1": {"compressor": "zstd"}}}})",
            "void ozpChannelConfig::Load(const string &, const json &): compressor: zstd: Invalid argument" },
    };

    ASSERT_EQ(ReloadWith(GOOD_FILE), "");
    const json good = PluginState(*plugin);
    ASSERT_EQ(good["sinks"].size(), 2u);

    for (const auto &c : cases) {
        std::string error = ReloadWith(c.file);
        EXPECT_EQ(error.substr(0, c.message.size()), c.message) << c.file;
        EXPECT_EQ(PluginState(*plugin), good) << c.file;
    }
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

    // The defaults are kept between loads, so the sinks follow the last file
    // that set them.
    ASSERT_EQ(ReloadWith(R"({"format": "json", "sinks": {"sink-a": {"plain": {}}}})"), "");
    EXPECT_EQ(SinksState(plugin->sinks),
        R"({"sink-a": {"plain": {"format": 1, "compressor": 1, "flush": false}}})"_json);
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
