#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/config.h"
#include "host/standin/control.h"
#include "tests/config/config_state.h"
#include "tests/support/host_fixture.h"

using nlohmann::literals::operator""_json;

namespace {

using ostrel_test::ChannelState;
using ostrel_test::ConfigState;
using ostrel_test::SetState;

const json DEFAULTS = R"({
    "max_confidence": 80, "max_device_age": 172800,
    "max_http_user_agents": {"max": 10, "update_min": 0, "update_ttl": 0},
    "max_ja4_clients": {"max": 10, "update_min": 0, "update_ttl": 0},
    "max_mdns_services": {"max": 10, "update_min": 0, "update_ttl": 0},
    "max_ssdp_user_agents": {"max": 10, "update_min": 0, "update_ttl": 0},
    "process_all_macs": false, "device_mac_ignore": [], "device_mac_ignore_group": "",
    "path_device_cache": "", "api_auth": false, "api_enable": false,
    "api_url_index": "", "api_url_upload": ""
})"_json;

class ConfigTest : public ostrel_test::HostFixture
{
protected:
    // The message of what Load throws, or "" when it does not throw.
    std::string LoadError(const json &j)
    {
        return ostrel_test::ThrownMessage([&] { config.Load(j); });
    }

    void SetBootstrap(const std::map<std::string, std::string> &urls)
    {
        ozOstrelApiData::Bootstrap data;
        data.urls = urls;
        data.auth_method = auth;
        ostrel_standin::SetBootstrapData(host.api_manager, ozOstrelApiData::DATA_DEV_DISCOVERY, data);
    }

    ozpGlobalConfig config;
    std::shared_ptr<ozOstrelApiAuthMethod::Base> auth
        = std::make_shared<ozOstrelApiAuthMethod::Bearer>("token-1");
};

TEST_F(ConfigTest, AnEmptyObjectGivesTheDefaults)
{
    EXPECT_EQ(ConfigState(config), DEFAULTS) << "before any load";
    config.Load(R"({})"_json);
    EXPECT_EQ(ConfigState(config), DEFAULTS);
}

TEST_F(ConfigTest, KeysOfTheWrongTypeAreIgnored)
{
    const std::vector<std::string> files = {
        R"({"max_confidence": -5, "max_device_age": 3600.0, "process_all_macs": "true"})",
        R"({"max_confidence": 80.5, "max_device_age": "3600", "process_all_macs": 1})",
        R"({"max_confidence": "90", "device_mac_ignore": "aa:bb:cc:dd:ee:ff", "device_mac_ignore_group": 7})",
        R"({"path_device_cache": ["/tmp/cache.json"], "unknown_key": 1, "MAX_CONFIDENCE": 5})",
    };
    for (const auto &file : files) {
        ozpGlobalConfig fresh;
        fresh.Load(json::parse(file));
        EXPECT_EQ(ConfigState(fresh), DEFAULTS) << file;
    }
}

TEST_F(ConfigTest, NumbersAreReadAsThirtyTwoBitQuantities)
{
    config.Load(R"({"max_confidence": 95, "max_device_age": 4294967295, "process_all_macs": true})"_json);
    EXPECT_EQ(config.max_confidence, 95u);
    EXPECT_EQ(config.max_device_age, 4294967295u);
    EXPECT_TRUE(config.process_all_macs);

    // Held at the maximum rather than wrapped round to a tiny limit.
    config.Load(R"({"max_device_age": 4294967296, "max_mdns_services": 8589934594,
        "max_ja4_clients": {"update_ttl": 18446744073709551615}})"_json);
    EXPECT_EQ(config.max_device_age, 4294967295u);
    EXPECT_EQ(config.max_mdns_services.max, 4294967295u);
    EXPECT_EQ(config.max_ja4_clients.update_ttl, 4294967295u);
}

TEST_F(ConfigTest, SetKeysTakeANumberOrAnObject)
{
    config.Load(R"({"max_mdns_services": 25})"_json);
    EXPECT_EQ(SetState(config.max_mdns_services), R"({"max": 25, "update_min": 0, "update_ttl": 0})"_json);

    config.Load(R"({"max_mdns_services": {"max": 5, "update_ttl": 60}})"_json);
    EXPECT_EQ(SetState(config.max_mdns_services), R"({"max": 5, "update_min": 0, "update_ttl": 60})"_json);

    // Members of the wrong type keep their defaults; unknown members are ignored.
    config.Load(
        R"({"max_ssdp_user_agents": {"max": "7", "update_min": -1, "update_ttl": 1.5, "min": 3}})"_json);
    EXPECT_EQ(SetState(config.max_ssdp_user_agents), R"({"max": 10, "update_min": 0, "update_ttl": 0})"_json);

    // Each key changes only its own set, and every load starts from the defaults.
    config.Load(R"({"max_http_user_agents": {"max": 3}, "max_ja4_clients": {"update_min": 2}})"_json);
    json expected = DEFAULTS;
    expected["max_http_user_agents"] = R"({"max": 3, "update_min": 0, "update_ttl": 0})"_json;
    expected["max_ja4_clients"] = R"({"max": 10, "update_min": 2, "update_ttl": 0})"_json;
    EXPECT_EQ(ConfigState(config), expected);
}

TEST_F(ConfigTest, SetKeysOfAnyOtherTypeFail)
{
    struct Case {
        std::string file;
        std::string message;
    };
    const std::vector<Case> cases = {
        {R"({"max_mdns_services": "25"})",
            "void ozpGlobalConfig::Load(const json &): max_mdns_services: string: Invalid argument"},
        {R"({"max_mdns_services": -1})",
            "void ozpGlobalConfig::Load(const json &): max_mdns_services: number: Invalid argument"},
        {R"({"max_http_user_agents": 2.5})",
            "void ozpGlobalConfig::Load(const json &): max_http_user_agents: number, Invalid argument"},
        {R"({"max_ssdp_user_agents": null})",
            "void ozpGlobalConfig::Load(const json &): max_ssdp_user_agents: null, Invalid argument"},
        {R"({"max_ja4_clients": [10]})",
            "void ozpGlobalConfig::Load(const json &): max_ja4_clients: array, Invalid argument"},
        {R"({"max_ja4_clients": true})",
            "void ozpGlobalConfig::Load(const json &): max_ja4_clients: boolean, Invalid argument"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(LoadError(json::parse(c.file)), c.message) << c.file;
}

TEST_F(ConfigTest, IgnoreListIsHeldInTheHostsMacFormAndRefusesNonStrings)
{
    config.Load(R"({"device_mac_ignore": ["AA:BB:CC:DD:EE:FF", "aa-bb-cc-dd-ee-ff", " aa:bb:cc:dd:ee:ff\t",
        "00-11-22-33-44-55", "router", "", "192.168.1.1", "aa:bb:cc:dd:ee", "aa:bb-cc:dd:ee:ff"]})"_json);
    EXPECT_EQ(json(config.device_mac_ignore), R"(["00:11:22:33:44:55", "aa:bb:cc:dd:ee:ff"])"_json);
    EXPECT_EQ(json(config.device_mac_ignore_rejected),
        R"(["router", "", "192.168.1.1", "aa:bb:cc:dd:ee", "aa:bb-cc:dd:ee:ff"])"_json);

    EXPECT_EQ(LoadError(R"({"device_mac_ignore": ["00:11:22:33:44:55", 5]})"_json),
        "[json.exception.type_error.302] type must be string, but is number");
    EXPECT_EQ(json(config.device_mac_ignore), R"(["00:11:22:33:44:55", "aa:bb:cc:dd:ee:ff"])"_json);

    config.Load(R"({"device_mac_ignore": []})"_json);
    EXPECT_TRUE(config.device_mac_ignore.empty()) << "an empty array clears the set";
}

TEST_F(ConfigTest, IgnoreSetGroupCachePathAndAuthSurviveALoadThatOmitsThem)
{
    global.variables["path_state"] = "/var/lib/ostreld";
    SetBootstrap({{"index", "https://cloud.example/index"}, {"upload", "https://cloud.example/upload"}});
    config.Load(R"({"max_confidence": 90, "process_all_macs": true,
        "max_mdns_services": 4, "device_mac_ignore": ["00:11:22:33:44:55"],
        "device_mac_ignore_group": "lab", "path_device_cache": "${path_state}/cache.json",
        "ostrel_api": {"enable": true}})"_json);
    ASSERT_EQ(config.api_auth, auth);

    config.Load(R"({})"_json);
    json expected = DEFAULTS;
    expected["device_mac_ignore"] = {"00:11:22:33:44:55"};
    expected["device_mac_ignore_group"] = "lab";
    expected["path_device_cache"] = "/var/lib/ostreld/cache.json";
    expected["api_auth"] = true;
    EXPECT_EQ(ConfigState(config), expected);
    EXPECT_EQ(config.api_auth, auth);

    // Values of the wrong type do not clear them either.
    config.Load(R"({"device_mac_ignore_group": null, "path_device_cache": 0})"_json);
    EXPECT_EQ(ConfigState(config), expected);
}

TEST_F(ConfigTest, IgnoreGroupIsHandedToTheHostLookup)
{
    std::string group = dir.Write("ignore.list", "# routers\n00:11:22:33:44:55\n");
    config.Load(json {{"device_mac_ignore_group", group}});
    EXPECT_EQ(config.device_mac_ignore_group, group);
    EXPECT_TRUE(host.addr_lookup.LookupGroupAddress(group, ozAddr("00:11:22:33:44:55")));
    EXPECT_FALSE(host.addr_lookup.LookupGroupAddress(group, ozAddr("00:11:22:33:44:56")));
}

TEST_F(ConfigTest, CachePathIsExpandedWithTheHostVariables)
{
    global.variables["path_state"] = "/var/lib/ostreld";
    config.Load(R"({"path_device_cache": "${path_state}/dev/${unknown}.json"})"_json);
    EXPECT_EQ(config.path_device_cache, "/var/lib/ostreld/dev/${unknown}.json");
}

TEST_F(ConfigTest, AnExplicitUrlIsTheUploadUrlAndTheHostIsNotAsked)
{
    SetBootstrap({{"index", "https://cloud.example/index"}, {"upload", "https://cloud.example/upload"}});
    config.Load(R"({"ostrel_api": {"enable": true, "url": "https://api.example.net/upload"}})"_json);
    EXPECT_TRUE(config.api_enable);
    EXPECT_EQ(config.api_url_upload, "https://api.example.net/upload");
    EXPECT_EQ(config.api_url_index, "");
    EXPECT_EQ(config.api_auth, nullptr);

    // Without a host instance the explicit URL still loads.
    ozInstance::instance = nullptr;
    EXPECT_EQ(LoadError(R"({"ostrel_api": {"url": "https://api.example.net/upload"}})"_json), "");
    EXPECT_FALSE(config.api_enable);
}

TEST_F(ConfigTest, WithoutUrlTheHostBootstrapDataGivesUrlsAndAuth)
{
    config.Load(R"({"ostrel_api": {"enable": true}})"_json);
    EXPECT_TRUE(config.api_enable);
    EXPECT_EQ(config.api_url_index, "") << "no bootstrap data";
    EXPECT_EQ(config.api_url_upload, "");
    EXPECT_EQ(config.api_auth, nullptr);

    SetBootstrap({{"index", "https://cloud.example/index"}, {"upload", "https://cloud.example/upload"},
        {"agent", "https://cloud.example/agent"}});
    config.Load(R"({"ostrel_api": {"enable": true, "url": 42}})"_json);
    EXPECT_EQ(config.api_url_index, "https://cloud.example/index");
    EXPECT_EQ(config.api_url_upload, "https://cloud.example/upload");
    EXPECT_EQ(config.api_auth, auth);

    // A value that is not an object has no "enable": the API stays off but
    // the host's URLs are still taken.
    config.Load(R"({"ostrel_api": "on"})"_json);
    EXPECT_FALSE(config.api_enable);
    EXPECT_EQ(config.api_url_upload, "https://cloud.example/upload");

    // Only one URL is enough to take the credentials.
    auth = std::make_shared<ozOstrelApiAuthMethod::Bearer>("token-2");
    SetBootstrap({{"upload", "https://cloud.example/upload2"}});
    config.Load(R"({"ostrel_api": {}})"_json);
    EXPECT_EQ(config.api_url_index, "");
    EXPECT_EQ(config.api_url_upload, "https://cloud.example/upload2");
    EXPECT_EQ(config.api_auth, auth);

    // Bootstrap data without either URL leaves the credentials as they were.
    auto kept = auth;
    auth = std::make_shared<ozOstrelApiAuthMethod::Bearer>("token-3");
    SetBootstrap({{"agent", "https://cloud.example/agent"}});
    config.Load(R"({"ostrel_api": {"enable": true}})"_json);
    EXPECT_EQ(config.api_url_upload, "");
    EXPECT_EQ(config.api_auth, kept);
}

TEST_F(ConfigTest, KeysThatNeedAMissingHostSingletonFail)
{
    const std::string no_instance = "static ozInstance &ozInstance::GetInstance(): instance not found";
    const std::string no_global = "static ozGlobalConfig &ozGlobalConfig::GetInstance(): instance not found";

    ozInstance::instance = nullptr;
    EXPECT_EQ(LoadError(R"({"device_mac_ignore_group": "lab"})"_json), no_instance);
    EXPECT_EQ(LoadError(R"({"ostrel_api": {"enable": true}})"_json), no_instance);
    EXPECT_EQ(LoadError(R"({"device_mac_ignore_group": 1, "ostrel_api": {"url": "u"},
        "path_device_cache": "/tmp/c.json"})"_json),
        "")
        << "keys that do not reach the host need no instance";

    ozInstance::instance = &host;
    ozGlobalConfig::instance = nullptr;
    EXPECT_EQ(LoadError(R"({"path_device_cache": "/tmp/cache.json"})"_json), no_global);
    EXPECT_EQ(LoadError(R"({"device_mac_ignore_group": "lab", "ostrel_api": {}})"_json), "");
}

TEST_F(ConfigTest, ChannelOptionsTakeOnlyTheirExactWords)
{
    struct Case {
        std::string options;
        std::string message; // "" when the options load
        json state; // afterwards, starting from {msgpack, gz, true}
    };
    const std::string where = "void ozpChannelConfig::Load(const string &, const json &): ";
    const std::vector<Case> cases = {
        {R"({})", "", R"({"format": 3, "compressor": 1, "flush": true})"_json},
        {R"({"format": "json", "compressor": "none", "flush": false})", "",
            R"({"format": 1, "compressor": 0, "flush": false})"_json},
        {R"({"format": "object"})", "", R"({"format": 2, "compressor": 1, "flush": true})"_json},
        {R"({"format": 1, "compressor": 0, "flush": "false"})", "",
            R"({"format": 3, "compressor": 1, "flush": true})"_json},
        {R"({"format": "MSGPACK", "compressor": "none"})", where + "format: MSGPACK: Invalid argument",
            R"({"format": 3, "compressor": 1, "flush": true})"_json},
        {R"({"format": "json", "compressor": "gzip", "flush": false})",
            where + "compressor: gzip: Invalid argument",
            R"({"format": 1, "compressor": 1, "flush": true})"_json},
        {R"({"format": ""})", where + "format: : Invalid argument",
            R"({"format": 3, "compressor": 1, "flush": true})"_json},
    };
    for (const auto &c : cases) {
        ozpChannelConfig channel;
        channel.Load("defaults", R"({"format": "msgpack", "compressor": "gz", "flush": true})"_json);
        std::string message
            = ostrel_test::ThrownMessage([&] { channel.Load("sink/channel", json::parse(c.options)); });
        EXPECT_EQ(message, c.message) << c.options;
        EXPECT_EQ(ChannelState(channel), c.state) << c.options;
    }
}

} // namespace
