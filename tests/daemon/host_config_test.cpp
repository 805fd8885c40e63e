#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/standin/control.h"
#include "tests/support/host_fixture.h"
#include "daemon/host_config.h"
#include "daemon/host_daemon.h"
#include "common/install_paths.h"
#include "daemon/plugin_library.h"

using ostrel_host::HostConfig;
using ostrel_host::LoadHostConfig;

namespace {

class OstrelHostConfigTest : public ostrel_test::HostFixture
{
protected:
    std::string LoadError(const std::string &text)
    {
        std::string path = dir.Write("host.json", text);
        const std::string message = ostrel_test::ThrownMessage([&] { LoadHostConfig(path, {}); }, "(loaded)");
        if (message == "(loaded)") return message;
        EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << message;
        return message.substr(path.size() + 2);
    }
};

TEST_F(OstrelHostConfigTest, ExampleConfigurationReachesTheHostSingletons)
{
    HostConfig config = LoadHostConfig(std::string(OSTREL_SOURCE_DIR) + "/examples/ostrel-host.json",
        {{"classifier_port", "4711"}, {"path_state", dir.Path()}});
    ostrel_host::ApplyHostConfig(config, global, host);

    ASSERT_EQ(config.plugins.size(), 1u);
    EXPECT_EQ(config.plugins[0].tag, "dev-discovery");
    EXPECT_EQ(config.plugins[0].conf_filename,
        std::string(OSTREL_SOURCE_DIR) + "/examples/demo-dev-discovery.json");
    EXPECT_DOUBLE_EQ(config.update_interval, 1);
    // Command-line variables win over the file's and reach the plug-ins.
    EXPECT_EQ(global.variables.at("path_state"), dir.Path());
    EXPECT_EQ(global.variables.at("classifier_token"), "demo-token");
    std::string uuid;
    ASSERT_TRUE(global.LoadUUID(UUID_SITE, uuid));
    EXPECT_EQ(uuid, "demo-site-0001");

    auto bootstrap = host.api_manager.GetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY);
    ASSERT_NE(bootstrap, nullptr);
    EXPECT_EQ(bootstrap->urls.at("index"), "http://127.0.0.1:4711/v1/discovery/index");
    EXPECT_EQ(bootstrap->urls.at("upload"), "http://127.0.0.1:4711/v1/discovery/upload");
    ASSERT_NE(bootstrap->auth_method, nullptr);
    ASSERT_EQ(bootstrap->auth_method->GetType(), ozOstrelApiAuthMethod::AUTH_BEARER);
    EXPECT_EQ(
        static_cast<const ozOstrelApiAuthMethod::Bearer &>(*bootstrap->auth_method).token, "demo-token");
    EXPECT_EQ(ostrel_standin::GetHttpOptions(host.api_manager).connect_timeout_ms, 2000);

    ASSERT_EQ(config.sinks.size(), 2u);
    EXPECT_EQ(config.sinks[0].channel, "archive");
    EXPECT_EQ(config.sinks[0].path, dir.Path() + "/sink-archive.jsonl.gz");
    EXPECT_TRUE(config.sinks[1].table);
}

// What a package installs under /etc must start the host as it stands, and a
// build-tree run must never pick up installed files.
TEST_F(OstrelHostConfigTest, InstalledConfigurationLoadsAndBuildTreeDefaultsStay)
{
    HostConfig config = LoadHostConfig(std::string(OSTREL_BINARY_DIR) + "/packaging/ostrel-host.json", {});
    ostrel_host::ApplyHostConfig(config, global, host);
    ASSERT_EQ(config.plugins.size(), 1u);
    EXPECT_EQ(config.plugins[0].library, "");
    EXPECT_EQ(
        config.plugins[0].conf_filename, std::string(OSTREL_BINARY_DIR) + "/packaging/dev-discovery.json");
    EXPECT_EQ(global.variables.at("path_state"), "/var/lib/ostrel");
    auto bootstrap = host.api_manager.GetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY);
    ASSERT_NE(bootstrap, nullptr);
    EXPECT_EQ(bootstrap->urls.at("upload"), "http://127.0.0.1:8787/v1/discovery/upload");

    EXPECT_EQ(ostrel_tools::DefaultPluginPath(), OSTREL_PLUGIN_PATH);
    EXPECT_EQ(ostrel_tools::DefaultHostConfigPath(), "");
    EXPECT_EQ(
        ostrel_tools::DefaultRulesPath(), std::string(OSTREL_SOURCE_DIR) + "/examples/classifier-rules.json");
    dir.MakeDir("bin");
    dir.MakeDir("plugins");
    const std::string file = dir.Write("plugins/x.so", "");
    EXPECT_EQ(ostrel_tools::InstalledOr(dir.Path() + "/bin", "../plugins/x.so", "built"), file);
    EXPECT_EQ(ostrel_tools::InstalledOr(dir.Path() + "/bin", "../plugins", "built"), "built");
    EXPECT_EQ(ostrel_tools::InstalledOr(dir.Path(), "missing.so", "built"), "built");
    EXPECT_EQ(ostrel_tools::InstalledOr("", "plugins/x.so", "built"), "built");
}

TEST_F(OstrelHostConfigTest, FlagsCredentialsAndGroupsAreTakenAsWritten)
{
    std::string group = dir.Write("ignore.txt", "# the router\nf4:92:bf:10:00:01\n");
    HostConfig config = LoadHostConfig(dir.Write("host.json",
                                           R"({
        "debug": true, "verbose": true, "debug_payload": true, "flags": 16, "debug_level": 3,
        "address_groups": {"ignored": ")" + group
                                               + R"("},
        "api": {"dev-discovery": {"urls": {"upload": "https://x/up"}, "auth_method": "basic",
                                  "username": "u", "password": "p"}},
        "variables": {"v": "${config_dir}"}
    })"),
        {});
    ostrel_host::ApplyHostConfig(config, global, host);

    EXPECT_EQ(global.flags.load(), 0x1u | 0x2u | 0x10u | 0x8000u);
    EXPECT_EQ(global.debug_level.load(), 3);
    EXPECT_EQ(global.variables.at("v"), dir.Path());
    EXPECT_TRUE(host.addr_lookup.LookupGroupAddress("ignored", ozAddr("f4:92:bf:10:00:01")));
    auto bootstrap = host.api_manager.GetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY);
    ASSERT_NE(bootstrap, nullptr);
    ASSERT_EQ(bootstrap->auth_method->GetType(), ozOstrelApiAuthMethod::AUTH_BASIC);
    EXPECT_EQ(static_cast<const ozOstrelApiAuthMethod::Basic &>(*bootstrap->auth_method).password, "p");
    EXPECT_EQ(host.api_manager.GetBootstrapData(ozOstrelApiData::DATA_AGENT), nullptr);
}

TEST_F(OstrelHostConfigTest, EveryErrorNamesTheFieldAndWhy)
{
    struct Case {
        const char *text;
        const char *error;
    } cases[] = {
        {R"({"update_interval": 0})", "update_interval: must be a number of seconds from 0.05 to 86400"},
        {R"({"update_interval": "1"})", "update_interval: must be a number of seconds"},
        {R"({"debug": 1})", "debug: must be true or false"},
        {R"({"debug_level": 256})", "debug_level: must be a whole number from 0 to 255"},
        {R"({"flags": -1})", "flags: must be a whole number"},
        {R"({"plugins": {}})", "plugins: must be an array of objects"},
        {R"({"plugins": [{"library": "x.so"}]})", "plugins[0].tag: missing"},
        {R"({"plugins": [{"tag": "a"}, {"tag": "a"}]})", "plugins[1].tag: \"a\" is used twice"},
        {R"({"plugins": [{"tag": "a", "conf": "x"}]})", "plugins[0].conf: unknown key"},
        {R"({"uuids": {"agent": 5}})", "uuids.agent: must be a string"},
        {R"({"uuids": {"host": "x"}})", "uuids.host: unknown UUID kind"},
        {R"({"api": {"dev-discovery": {"auth_method": "token"}}})",
            "api.dev-discovery.auth_method: unknown method \"token\" (basic, bearer or mtls)"},
        {R"({"api": {"dev-discovery": {"auth_method": "bearer"}}})",
            "api.dev-discovery.token: missing; auth_method bearer needs it"},
        {R"({"api": {"dev-discovery": {"auth_method": "mtls", "cert_file": "c"}}})",
            "api.dev-discovery.key_file: missing; auth_method mtls needs it"},
        {R"({"api": {"dev-discovery": {"urls": {"index": ""}}}})",
            "api.dev-discovery.urls.index: must not be empty"},
        {R"({"api": {"cloud": {}}})", "api.cloud: unknown API (agent, intel or dev-discovery)"},
        {R"({"http": {"total_timeout_ms": 1.5}})", "http.total_timeout_ms: must be a whole number"},
        {R"({"sinks": {"sink-log": {"devices": 1}}})", "sinks.sink-log.devices: must be an output path"},
        {R"({"sinks": {"sink-log": {"devices": {"view": "table"}}}})",
            "sinks.sink-log.devices.path: missing"},
        {R"({"sinks": {"sink-log": {"devices": {"path": "-", "view": "grid"}}}})",
            "sinks.sink-log.devices.view: unknown view \"grid\""},
        {R"({"variables": {"a": 1}})", "variables.a: must be a string"},
        // Values sent in a request line or header: a CR or LF would start a
        // header of the file's choosing; other controls have no place there.
        {R"({"uuids": {"agent": "a1\r\nX-Admin: yes"}})",
            "uuids.agent: must not hold control characters (found 0x0d)"},
        {R"({"uuids": {"site": "s\u0000"}})", "uuids.site: must not hold control characters (found 0x00)"},
        {R"({"uuids": {"serial": "s\t1"}})", "uuids.serial: must not hold control characters (found 0x09)"},
        {R"({"api": {"dev-discovery": {"auth_method": "bearer", "token": "t\nX-Admin: yes"}}})",
            "api.dev-discovery.token: must not hold control characters (found 0x0a)"},
        {R"({"variables": {"t": "t\r"}, "api": {"dev-discovery": {"auth_method": "bearer", "token": "${t}"}}})",
            "api.dev-discovery.token: must not hold control characters (found 0x0d)"},
        {R"({"api": {"dev-discovery": {"auth_method": "basic", "username": "u\u007f", "password": "p"}}})",
            "api.dev-discovery.username: must not hold control characters (found 0x7f)"},
        {R"({"api": {"dev-discovery": {"auth_method": "basic", "username": "u", "password": "p\n"}}})",
            "api.dev-discovery.password: must not hold control characters (found 0x0a)"},
        {R"({"api": {"dev-discovery": {"urls": {"index": "http://x/\r\nX-Admin: yes"}}}})",
            "api.dev-discovery.urls.index: must not hold control characters (found 0x0d)"},
        {R"({"update_intervall": 1})", "update_intervall: unknown key"},
        {R"({"debug": true,})", "not valid JSON: "},
        {R"([1])", "must hold one JSON object"},
    };
    for (const Case &c : cases) {
        std::string error = LoadError(c.text);
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " gave: " << error;
    }
    try {
        LoadHostConfig(dir.File("absent.json"), {});
        ADD_FAILURE() << "a missing file loaded";
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(
            std::string(e.what()), dir.File("absent.json") + ": cannot open: No such file or directory");
    }
}

TEST_F(OstrelHostConfigTest, UnreadableAddressGroupFileFailsTheStart)
{
    HostConfig config
        = LoadHostConfig(dir.Write("host.json", R"({"address_groups": {"g": "/nonexistent/g.txt"}})"), {});
    try {
        ostrel_host::ApplyHostConfig(config, global, host);
        ADD_FAILURE() << "an unreadable group file was accepted";
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(std::string(e.what()), "address_groups.g: /nonexistent/g.txt: cannot be read");
    }
}

TEST(OstrelHostOptionsTest, CommandLineIsParsedAndBadValuesNamed)
{
    std::vector<std::string> good = {"ostrel-host", "--conf", "p.json", "--input", "-", "--speed", "2.5",
        "--update-interval", "0.5", "--exit-after-input", "3", "--var", "a=b=c", "--sink-table", "s/c=-",
        "--debug", "--flags", "0x8000", "--debug-level", "2"};
    std::vector<char *> argv;
    for (std::string &arg : good)
        argv.push_back(&arg[0]);
    ostrel_host::Options options;
    bool help = false;
    std::string error;
    ASSERT_TRUE(ostrel_host::ParseOptions(static_cast<int>(argv.size()), argv.data(), options, help, error))
        << error;
    EXPECT_EQ(options.conf, "p.json");
    EXPECT_EQ(options.input, "-");
    EXPECT_DOUBLE_EQ(options.speed, 2.5);
    EXPECT_DOUBLE_EQ(options.update_interval, 0.5);
    EXPECT_EQ(options.exit_after_input, 3);
    EXPECT_EQ(options.variables.at("a"), "b=c");
    ASSERT_EQ(options.sinks.size(), 1u);
    EXPECT_EQ(options.sinks[0].sink, "s");
    EXPECT_EQ(options.sinks[0].channel, "c");
    EXPECT_TRUE(options.sinks[0].table);
    EXPECT_TRUE(options.debug);
    EXPECT_EQ(options.flags, 0x8000u);
    EXPECT_EQ(options.debug_level, 2);

    struct Case {
        std::vector<std::string> args;
        const char *error;
    } cases[] = {
        {{"--speed", "-1"}, "--speed -1: must be 0 or a number from 0.001 to 1000000"},
        {{"--speed", "fast"}, "--speed fast: must be 0 or a number"},
        // A tiny pace would make time / pace overflow the clock.
        {{"--speed", "1e-300"}, "--speed 1e-300: must be 0 or a number from 0.001 to 1000000"},
        {{"--speed", "0.0009"}, "--speed 0.0009: must be 0 or a number from 0.001"},
        {{"--run-seconds", "1e-300"},
            "--run-seconds 1e-300: must be 0 or a number of seconds from 0.1 to 10000000"},
        {{"--run-seconds", "1e300"}, "--run-seconds 1e300: must be 0 or a number of seconds"},
        {{"--update-interval", "1e-300"}, "--update-interval 1e-300: must be a number of seconds from 0.05"},
        {{"--progress", "1e-300"}, "--progress 1e-300: must be a number of seconds from 0.1 to 86400"},
        {{"--exit-after-input", "1e-300"}, "--exit-after-input 1e-300: must be a whole number"},
        {{"--exit-after-input", "99999999999999999999"},
            "--exit-after-input 99999999999999999999: must be a whole"},
        {{"--update-interval", "0"}, "--update-interval 0: must be a number of seconds from 0.05 to 86400"},
        {{"--exit-after-input", "-2"}, "--exit-after-input -2: must be a whole number"},
        {{"--debug-level", "300"}, "--debug-level 300: must be a whole number from 0 to 255"},
        {{"--var", "=x"}, "--var =x: must be NAME=VALUE"},
        {{"--sink", "devices=-"}, "--sink devices=-: must be SINK/CHANNEL=PATH"},
        {{"--input"}, "--input: needs a value"},
        {{"--inptu", "x"}, "--inptu: unknown option"},
        // The first bad argument is the one named, whatever kind it is.
        {{"--inptu", "--speed", "-1"}, "--inptu: unknown option"},
        {{"--speed", "-1", "--inptu"}, "--speed -1: must be 0 or a number"},
        {{"--inptu", "--help"}, "--inptu: unknown option"},
        {{"--inptu", "--input"}, "--inptu: unknown option"},
        // A value is taken whatever it looks like; a flag takes none.
        {{"--var", "--debug"}, "--var --debug: must be NAME=VALUE"},
        {{"--debug=1"}, "--debug=1: unknown option"},
        {{"--speed=-1"}, "--speed -1: must be 0 or a number"},
        {{"stray"}, "stray: unknown option"},
        {{"-x"}, "-x: unknown option"},
        {{"--", "--debug"}, "--: unknown option"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = {"ostrel-host"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char *> raw;
        for (std::string &arg : args)
            raw.push_back(&arg[0]);
        ostrel_host::Options ignored;
        error.clear();
        EXPECT_FALSE(
            ostrel_host::ParseOptions(static_cast<int>(raw.size()), raw.data(), ignored, help, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << c.args[0] << " gave: " << error;
    }
    // 0 ("no waiting", "no limit") and the bounds themselves are taken.
    const std::vector<std::vector<std::string>> taken = {{"--speed", "0"}, {"--speed", "0.001"},
        {"--speed", "1e6"}, {"--run-seconds", "0"}, {"--run-seconds", "0.1"}, {"--run-seconds", "1e7"},
        {"--speed=2", "--debug"}, {"--help", "--inptu"}, {"--version", "--inptu"}};
    for (std::vector<std::string> args : taken) {
        args.insert(args.begin(), "ostrel-host");
        std::vector<char *> raw;
        for (std::string &arg : args)
            raw.push_back(&arg[0]);
        ostrel_host::Options parsed;
        EXPECT_TRUE(ostrel_host::ParseOptions(static_cast<int>(raw.size()), raw.data(), parsed, help, error))
            << args[1] << " " << args[2] << ": " << error;
    }
}

TEST(OstrelHostOptionsTest, PacketInputsAreTakenOneAtATime)
{
    std::vector<std::string> good
        = {"ostrel-host", "--interface", "eth0", "--no-promiscuous", "--bpf", "udp port 67", "--udp-timeout",
            "30", "--tcp-timeout", "0.5", "--max-flows", "1000", "--capture-memory", "32", "--dump-flows",
            "out.jsonl", "--snaplen", "0", "--buffer-size", "65536", "--snaplen", "96", "--log-journal"};
    std::vector<char *> argv;
    for (std::string &arg : good)
        argv.push_back(&arg[0]);
    ostrel_host::Options options;
    bool help = false;
    std::string error;
    ASSERT_TRUE(ostrel_host::ParseOptions(static_cast<int>(argv.size()), argv.data(), options, help, error))
        << error;
    EXPECT_EQ(options.interface, "eth0");
    EXPECT_FALSE(options.promiscuous);
    EXPECT_EQ(options.bpf, "udp port 67");
    EXPECT_EQ(options.tracker.udp_timeout_usec, 30000000);
    EXPECT_EQ(options.tracker.tcp_timeout_usec, 500000);
    EXPECT_EQ(options.tracker.max_flows, 1000u);
    EXPECT_EQ(options.tracker.memory_budget, 32u << 20);
    EXPECT_EQ(options.dump_flows, "out.jsonl");
    EXPECT_EQ(options.snaplen, 96);
    EXPECT_EQ(options.buffer_size, 65536);
    EXPECT_TRUE(options.log_journal);
    // Defaults are the tracker's own.
    ostrel_host::Options defaults;
    EXPECT_EQ(defaults.tracker.udp_timeout_usec, ostrel_capture::TrackerOptions().udp_timeout_usec);
    EXPECT_TRUE(defaults.promiscuous);

    struct Case {
        std::vector<std::string> args;
        const char *error;
    } cases[] = {
        {{"--input", "-", "--pcap", "a.pcap"}, "--input, --pcap, --interface: give only one input"},
        {{"--pcap", "a.pcap", "--interface", "eth0"}, "--input, --pcap, --interface: give only one input"},
        {{"--input", "f.jsonl", "--interface", "eth0"}, "--input, --pcap, --interface: give only one input"},
        {{"--input", "f.jsonl", "--bpf", "udp"}, "--bpf: filters packets; give --pcap or --interface"},
        {{"--pcap", "a.pcap", "--no-promiscuous"}, "--no-promiscuous: for a live capture; give --interface"},
        {{"--pcap", ""}, "--pcap : must not be empty"},
        {{"--udp-timeout", "0"}, "--udp-timeout 0: must be a number of seconds from 0.001 to 10000000"},
        {{"--tcp-timeout", "1e300"}, "--tcp-timeout 1e300: must be a number of seconds"},
        {{"--max-flows", "0"}, "--max-flows 0: must be a whole number from 1 to 100000000"},
        {{"--max-flows", "-5"}, "--max-flows -5: must be a whole number"},
        {{"--capture-memory", "0"}, "--capture-memory 0: must be a whole number of MiB from 1 to 65536"},
        {{"--dump-flows"}, "--dump-flows: needs a value"},
        {{"--pcap", "a.pcap", "--snaplen", "96"}, "--snaplen: for a live capture; give --interface"},
        {{"--buffer-size", "1048576"}, "--buffer-size: for a live capture; give --interface"},
        {{"--snaplen", "262145"}, "--snaplen 262145: must be a whole number from 0 to 262144"},
        {{"--snaplen", "-1"}, "--snaplen -1: must be a whole number"},
        {{"--buffer-size", "65535"}, "--buffer-size 65535: must be a whole number of bytes from 65536"},
        {{"--buffer-size", "2147483648"}, "--buffer-size 2147483648: must be a whole number of bytes"},
        {{"--buffer-size", "1M"}, "--buffer-size 1M: must be a whole number of bytes"},
        {{"--dump-flows", "out.jsonl"},
            "--dump-flows: writes the flows of an input; give --input, --pcap or"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = {"ostrel-host"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char *> raw;
        for (std::string &arg : args)
            raw.push_back(&arg[0]);
        ostrel_host::Options ignored;
        error.clear();
        EXPECT_FALSE(
            ostrel_host::ParseOptions(static_cast<int>(raw.size()), raw.data(), ignored, help, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << " gave: " << error;
    }
    // Every option is in the usage text.
    for (const char *option :
        {"--pcap", "--interface", "--no-promiscuous", "--bpf", "--udp-timeout", "--tcp-timeout",
            "--max-flows", "--capture-memory", "--dump-flows", "--snaplen", "--buffer-size", "--log-journal"})
        EXPECT_NE(ostrel_host::Usage().find(option), std::string::npos) << option;
}

// --help is made from the same declarations as the parser: every option it
// lists is taken (a value option asks for its value), and none is missing.
TEST(OstrelHostOptionsTest, HelpListsEveryOptionTheParserTakes)
{
    std::istringstream help(ostrel_host::Help());
    std::set<std::string> listed;
    for (std::string line; std::getline(help, line);) {
        if (line.rfind("  --", 0) != 0) continue;
        std::istringstream words(line);
        std::string name, next;
        words >> name >> next;
        SCOPED_TRACE(line);
        listed.insert(name);
        const bool value = next.find_first_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos;
        std::string description;
        std::getline(words >> std::ws, description);
        EXPECT_FALSE(value && description.empty());
        EXPECT_NE(ostrel_host::Usage().find("[" + name + (value ? " " + next : "") + "]"), std::string::npos);
        std::vector<std::string> args = {"ostrel-host", name};
        std::vector<char *> raw;
        for (std::string &arg : args)
            raw.push_back(&arg[0]);
        ostrel_host::Options ignored;
        bool asked_help = false;
        std::string error;
        ostrel_host::ParseOptions(2, raw.data(), ignored, asked_help, error);
        if (value)
            EXPECT_EQ(error, name + ": needs a value");
        else
            EXPECT_EQ(error.find("unknown option"), std::string::npos) << error;
    }
    const std::set<std::string> every = {"--version", "--config", "--plugin", "--conf", "--tag", "--input",
        "--pcap", "--interface", "--no-promiscuous", "--snaplen", "--buffer-size", "--bpf", "--udp-timeout",
        "--tcp-timeout", "--max-flows", "--capture-memory", "--dump-flows", "--speed", "--update-interval",
        "--exit-after-input", "--run-seconds", "--progress", "--var", "--sink", "--sink-table", "--debug",
        "--verbose", "--debug-payload", "--debug-level", "--flags", "--log-journal"};
    EXPECT_EQ(listed, every);
    // help2man's synopsis and first option.
    EXPECT_EQ(ostrel_host::Help().rfind("Usage: ostrel-host [OPTION]...\n\nOptions:\n  -h, --help ", 0), 0u);
    EXPECT_NE(ostrel_host::Help().find("docs/HOST.md"), std::string::npos);
}

TEST(OstrelHostAbiTest, RecordIsCheckedFieldByField)
{
    const ozPluginAbi good = {0x4f504142, 32, 15, 0x20230309, {1, 0, 0x0b60, 0x48}};
    EXPECT_EQ(ostrel_host::CheckPluginAbi(good), "");

    struct Case {
        ozPluginAbi abi;
        const char *error;
    } cases[] = {
        {{0x4f504143, 32, 15, 0, {}}, "magic: expected 0x4f504142, found 0x4f504143"},
        {{0x4f504142, 24, 15, 0, {}}, "size: expected 32, found 24"},
        {{0x4f504142, 32, 16, 0, {}}, "version: expected 15, found 16"},
        // The magic is looked at first: nothing else means anything without it.
        {{0, 0, 0, 0, {}}, "magic: expected 0x4f504142, found 0x0"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ostrel_host::CheckPluginAbi(c.abi), c.error);
}

TEST(OstrelHostAbiTest, LibrariesThatAreNotPluginsAreRefused)
{
    ostrel_host::PluginLibrary library;
    std::string error;
    EXPECT_FALSE(library.Open("/nonexistent/libnothing.so", error));
    EXPECT_NE(error.find("/nonexistent/libnothing.so: "), std::string::npos) << error;

    // The C library is a shared object without the plug-in's symbols.
    EXPECT_FALSE(library.Open("libc.so.6", error));
    EXPECT_EQ(error, "libc.so.6: not a plug-in library: no oz_plugin_abi symbol");

    EXPECT_FALSE(library.Open(OSTREL_FAKE_PLUGIN_PATH, error));
    EXPECT_EQ(
        error, std::string(OSTREL_FAKE_PLUGIN_PATH) + ": oz_plugin_abi: version: expected 15, found 14");

    ASSERT_TRUE(library.Open(OSTREL_PLUGIN_PATH, error)) << error;
}

} // namespace
