// The device cache with the real daemon and plug-in: killed at random moments
// while it saves over and over, out of disk space, and with fsync or rename
// failing. The file at the cache path is always a whole table, the old one
// or the new one, and left-over temporaries are removed at the next start.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/eventually.h"
#include "tests/support/flows.h"
#include "tests/support/host_fixture.h"
#include "tests/support/memory.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ostrel_test::ChildProcess;
using ostrel_test::Eventually;
using ostrel_test::ReadFile;

constexpr auto DEADLINE = 30s;

std::string Mac(int n)
{
    return ostrel_test::MacText(0x020000000000 | (static_cast<uint64_t>(n) & 0xffffff));
}

// What a flow of device `n` leaves in its cache entry.
std::string HostName(int n)
{
    return "host-" + std::to_string(n);
}

// `time`: seconds from the start of the replay, none when negative.
std::string FlowLine(int n, double time = -1)
{
    return std::string("{") + (time >= 0 ? R"("time": )" + std::to_string(time) + ", " : "")
        + R"("lower_mac": ")" + Mac(n) + R"(", "lower_ip": "10.0.)" + std::to_string(n / 250 % 250) + "."
        + std::to_string(n % 250 + 1) + R"(", "protocol": 18, "host_name": ")" + HostName(n) + "\"}\n";
}

json CacheEntry(int n)
{
    return {{"mac", Mac(n)}, {"label", ""}, {"dhcp_fingerprint", ""}, {"dhcp_vendor", ""},
        {"dhcp_hostname", HostName(n)}, {"http_user_agents", json::array()}, {"ja4_clients", json::array()},
        {"mdns_services", json::array()}, {"ssdp_user_agents", json::array()}, {"ip_list", json::array()},
        {"confidence", 0}, {"cached", false}, {"other_device", false}};
}

std::string CacheText(int first, int count)
{
    json cache = json::object();
    for (int n = first; n < first + count; n++)
        cache[Mac(n)] = CacheEntry(n);
    return cache.dump();
}

// 40 new devices, one every 20 ms: the plug-in's passes stay short, so the
// update events (every 0.3 s) are acted on at once. The first update saves
// the cache (no save has happened yet), and so does the shutdown.
std::string TimedFlows()
{
    std::string flows;
    for (int n = 80; n < 120; n++)
        flows += FlowLine(n, (n - 80) * 0.02);
    return flows;
}

const std::vector<std::string> TIMED_RUN = {"--update-interval", "0.3", "--exit-after-input", "1"};

// The device numbers in a cache file; fails the test when the file is not a
// whole cache of devices that flows of this test made.
std::set<int> CachedDevices(const std::string &text)
{
    std::set<int> devices;
    json cache;
    try {
        cache = json::parse(text);
    } catch (const json::exception &e) {
        ADD_FAILURE() << "cache does not parse: " << e.what() << " (" << text.size() << " bytes)";
        return devices;
    }
    EXPECT_TRUE(cache.is_object());
    for (const auto &entry : cache.items()) {
        const json &device = entry.value();
        int n = std::stoi(device.at("dhcp_hostname").get<std::string>().substr(5));
        EXPECT_EQ(entry.key(), Mac(n));
        EXPECT_EQ(device.at("mac"), Mac(n));
        // The 13 keys of the cache form, and "last_seen" in those that the
        // plug-in wrote (the seeds are files of an older version).
        auto last_seen = device.find("last_seen");
        if (last_seen != device.end()) {
            EXPECT_TRUE(last_seen->is_number_integer()) << device.dump();
        }
        EXPECT_EQ(device.size(), last_seen != device.end() ? 14u : 13u) << device.dump();
        devices.insert(n);
    }
    return devices;
}

// While it lives, processes started get the shim (fail_shim.cpp) preloaded
// with one setting, e.g. OSTREL_FAIL=fsync:2.
class Preload
{
public:
    Preload(const std::string &setting, const std::string &value)
        : setting(setting)
    {
        const char *asan = std::getenv("ASAN_OPTIONS");
        if (asan != nullptr) saved_asan = asan;
        had_asan = asan != nullptr;
        // The shim comes before the sanitizer runtime in the library list;
        // that is fine, it only passes calls on.
        setenv("ASAN_OPTIONS",
            (saved_asan + (saved_asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
        setenv("LD_PRELOAD", OSTREL_FAIL_SHIM_PATH, 1);
        setenv(setting.c_str(), value.c_str(), 1);
    }
    ~Preload()
    {
        unsetenv("LD_PRELOAD");
        unsetenv(setting.c_str());
        if (had_asan)
            setenv("ASAN_OPTIONS", saved_asan.c_str(), 1);
        else
            unsetenv("ASAN_OPTIONS");
    }

private:
    std::string saved_asan;
    bool had_asan = false;
    std::string setting;
};

class CrashSafeCacheTest : public ::testing::Test
{
protected:
    CrashSafeCacheTest()
    {
        // A write to a daemon that was just killed must fail, not end the test.
        signal(SIGPIPE, SIG_IGN);
        cache = dir.File("cache.json");
        conf = dir.Write("plugin.json", R"({"path_device_cache": ")" + cache + R"("})");
    }

    std::vector<std::string> Temporaries(const std::string &folder) const
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(folder)) {
            std::string name = entry.path().filename().string();
            if (name.find(".tmp.") != std::string::npos) names.push_back(entry.path().string());
        }
        return names;
    }

    std::vector<std::string> Daemon(const std::vector<std::string> &extra) const
    {
        std::vector<std::string> argv
            = {OSTREL_HOST_BIN, "--plugin", OSTREL_PLUGIN_PATH, "--conf", conf, "--debug"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    ostrel_test::TempDir dir;
    std::string cache;
    std::string conf;
};

TEST_F(CrashSafeCacheTest, KilledAtRandomWhileSavingTheCacheIsAlwaysWhole)
{
    // A sanitized daemon takes several times as long to start and save:
    // there the round count is cut to keep the test within a minute; the
    // plain build runs all 200.
#ifdef OSTREL_SANITIZER_HEAP
    const int rounds = 50;
#else
    const int rounds = 200;
#endif
    int first_new = 200;
    dir.Write("cache.json", CacheText(0, first_new));
    std::set<int> on_disk;
    for (int n = 0; n < first_new; n++)
        on_disk.insert(n);

    std::mt19937 random(20260308);
    std::uniform_int_distribution<int> kill_after_ms(0, 20);
    int next = first_new;
    int killed_mid_save = 0;
    int saves_seen = 0;
    const std::string log = dir.File("host.log");

    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<std::string> left_over = Temporaries(dir.Path());
        std::remove(log.c_str());

        // A disk that takes 5 ms per sync: the saves spend a good part of
        // their time with the temporary written and not yet renamed.
        ChildProcess host;
        {
            Preload slow_disk("OSTREL_SLOW_FSYNC_MS", "5");
            host.Start(Daemon({"--input", "-"}), dir.File("host.out"), log, true);
        }
        const std::string loaded = "Loaded " + std::to_string(on_disk.size()) + " devices from: " + cache;
        ASSERT_TRUE(Eventually([&] { return ReadFile(log).find(loaded) != std::string::npos; }, DEADLINE))
            << ReadFile(log);
        for (const std::string &name : left_over)
            EXPECT_FALSE(std::filesystem::exists(name)) << name << " survived the start";

        // New devices and a reload (which saves the table) every few
        // milliseconds; once the saves have begun, the kill comes at a
        // random moment among them.
        std::vector<int> sent;
        auto kill_at = std::chrono::steady_clock::time_point::max();
        const auto give_up = std::chrono::steady_clock::now() + DEADLINE;
        do {
            host.WriteStdin(FlowLine(next));
            sent.push_back(next++);
            host.Signal(SIGHUP);
            std::this_thread::sleep_for(2ms);
            if (kill_at == std::chrono::steady_clock::time_point::max()
                && ReadFile(log).find("Saved ") != std::string::npos)
                kill_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(kill_after_ms(random));
        } while (std::chrono::steady_clock::now() < std::min(kill_at, give_up));
        host.Signal(SIGKILL);
        ASSERT_TRUE(Eventually([&] { return !host.Running(); }, DEADLINE));
        ASSERT_EQ(host.Wait(0ms), 128 + SIGKILL);
        if (!Temporaries(dir.Path()).empty()) killed_mid_save++;

        // The old table or a newer one: what was there, plus the first few
        // devices sent in this round.
        std::set<int> now = CachedDevices(ReadFile(cache));
        size_t added = 0;
        while (added < sent.size() && now.count(sent[added]) != 0)
            added++;
        std::set<int> expected = on_disk;
        expected.insert(sent.begin(), sent.begin() + static_cast<long>(added));
        ASSERT_EQ(now, expected) << "round " << round << ": not a table the plug-in had";
        if (now != on_disk) saves_seen++;
        on_disk = now;
    }

    // A last, clean run reads the survivor and saves it again on the way out.
    ChildProcess host;
    std::remove(log.c_str());
    host.Start(Daemon({}), dir.File("host.out"), log);
    const std::string loaded = "Loaded " + std::to_string(on_disk.size()) + " devices from: " + cache;
    ASSERT_TRUE(Eventually([&] { return ReadFile(log).find(loaded) != std::string::npos; }, DEADLINE))
        << ReadFile(log);
    EXPECT_TRUE(Temporaries(dir.Path()).empty());
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(DEADLINE), 0) << ReadFile(log);
    EXPECT_EQ(CachedDevices(ReadFile(cache)), on_disk);

    std::printf("[ figures  ] %d kill rounds: %d killed with a save under way, %d changed the cache; "
                "%zu devices cached at the end\n",
        rounds, killed_mid_save, saves_seen, on_disk.size());
    EXPECT_GT(saves_seen, rounds / 2) << "too few saves happened to test anything";
#ifndef OSTREL_SANITIZER_HEAP
    EXPECT_GT(killed_mid_save, rounds / 20) << "too few kills came while a save was writing";
#endif
}

// Runs `script` with sh in a private mount namespace; false when this
// machine does not allow one (not root, or no unshare).
bool RunUnshared(const std::string &script, const std::string &log)
{
    ChildProcess shell;
    shell.Start({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script}, log, log);
    return shell.Wait(std::chrono::milliseconds(60000)) == 0;
}

TEST_F(CrashSafeCacheTest, AFullDiskKeepsThePreviousCacheWhole)
{
    const std::string fs = dir.File("fs");
    std::filesystem::create_directory(fs);
    const std::string probe = "mount -t tmpfs -o size=16k tmpfs '" + fs + "' && umount '" + fs + "'";
    if (access("/usr/bin/unshare", X_OK) != 0 || !RunUnshared(probe, dir.File("probe.log")))
        GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs root and unshare): "
                     << ReadFile(dir.File("probe.log"));

    // 80 devices cached; 40 more arrive, so every save would change the file.
    const std::string seed = dir.Write("seed.json", CacheText(0, 80));
    dir.Write("flows.jsonl", TimedFlows());
    conf = dir.Write("plugin.json", R"({"path_device_cache": ")" + fs + R"(/cache.json"})");
    std::vector<std::string> argv = Daemon({"--input", dir.File("flows.jsonl")});
    argv.insert(argv.end(), TIMED_RUN.begin(), TIMED_RUN.end());
    std::string daemon;
    for (const std::string &arg : argv)
        daemon += "'" + arg + "' ";

    // The tmpfs is filled up once the cache is in place.
    const std::string script = "set -e; mount -t tmpfs -o size=200k tmpfs '" + fs + "'; cp '" + seed + "' '"
        + fs + "/cache.json'; dd if=/dev/zero of='" + fs + "/filler' bs=4k 2>/dev/null || true; " + daemon
        + "2>'" + dir.File("host.log") + "'; cp '" + fs + "/cache.json' '" + dir.File("after.json")
        + "'; ls -a '" + fs + "' > '" + dir.File("listing") + "'";
    ASSERT_TRUE(RunUnshared(script, dir.File("script.log")))
        << ReadFile(dir.File("script.log")) << ReadFile(dir.File("host.log"));

    const std::string host_log = ReadFile(dir.File("host.log"));
    const std::string error = ": " + fs + "/cache.json: No space left on device\n";
    EXPECT_NE(host_log.find("dev-discovery: device cache failed: dev-discovery" + error), std::string::npos)
        << host_log;
    EXPECT_NE(host_log.find("dev-discovery: final device cache save failed: dev-discovery" + error),
        std::string::npos)
        << host_log;
    EXPECT_EQ(ReadFile(dir.File("after.json")), ReadFile(seed));
    EXPECT_EQ(ReadFile(dir.File("listing")).find(".tmp."), std::string::npos)
        << ReadFile(dir.File("listing"));
}

// Runs the daemon with fsync or rename failing as `rule` says (see
// fail_shim.cpp); returns its log.
std::string RunWithFailing(
    const std::string &rule, const std::vector<std::string> &argv, const std::string &log)
{
    ChildProcess host;
    {
        Preload failing("OSTREL_FAIL", rule);
        host.Start(argv, log + ".out", log);
    }
    EXPECT_EQ(host.Wait(std::chrono::milliseconds(60000)), 0);
    return ReadFile(log);
}

TEST_F(CrashSafeCacheTest, FailingFsyncOrRenameKeepsAWholeCacheAndSaysSo)
{
    enum Table { OLD, UPDATE, ALL };
    struct Case {
        const char *rule;
        // Saves that fail: the one of the first update, the one on the way out.
        bool update_fails;
        bool final_fails;
        // The table in the file afterwards: the 80 devices before the run,
        // those of the update's save, or all 120.
        Table table;
    };
    const Case cases[] = {
        {"fsync:1+", true, true, OLD}, // every fsync of the temporary file
        {"rename:1+", true, true, OLD}, // every rename over the cache
        {"fsync:2", true, false, ALL}, // the folder's, after the first rename
        {"rename:2", false, true, UPDATE}, // only the last save's rename
    };
    const std::string flows = dir.Write("flows.jsonl", TimedFlows());
    std::vector<std::string> argv = Daemon({"--input", flows});
    argv.insert(argv.end(), TIMED_RUN.begin(), TIMED_RUN.end());
    const std::string error = ": " + cache + ": Input/output error\n";

    for (const Case &c : cases) {
        SCOPED_TRACE(c.rule);
        const std::string seed = CacheText(0, 80);
        dir.Write("cache.json", seed);
        std::string text = RunWithFailing(c.rule, argv, dir.File(std::string("host-") + c.rule + ".log"));

        EXPECT_EQ(text.find("dev-discovery: device cache failed: dev-discovery" + error) != std::string::npos,
            c.update_fails)
            << text;
        EXPECT_EQ(text.find("dev-discovery: final device cache save failed: dev-discovery" + error)
                != std::string::npos,
            c.final_fails)
            << text;
        std::set<int> cached = CachedDevices(ReadFile(cache));
        switch (c.table) {
        case OLD:
            EXPECT_EQ(ReadFile(cache), seed);
            break;
        case UPDATE:
            EXPECT_TRUE(cached.size() > 80 && cached.size() < 120) << cached.size();
            break;
        case ALL:
            EXPECT_EQ(cached.size(), 120u);
            break;
        }
        EXPECT_TRUE(Temporaries(dir.Path()).empty());
    }
}

} // namespace
