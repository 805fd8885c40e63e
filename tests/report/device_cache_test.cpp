#include <cstdio>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/report/report_support.h"

namespace {

using ostrel_test::MakeDevice;
using ostrel_test::ReadFile;

const std::string MAC1 = "00:00:00:00:00:01";
const std::string MAC2 = "00:00:00:00:00:02";
const std::string MAC3 = "00:00:00:00:00:03";

std::string CacheForm(const ozpDevice &device)
{
    json j;
    to_json(j, device);
    return j.dump();
}

// As a save writes it, with "last_seen".
std::string CacheFileForm(const ozpDevice &device)
{
    json j;
    ToCacheFile(j, device, ostrel_test::WALL_CLOCK, oz_time_monotonic());
    return j.dump();
}

// Lowers a resource limit of this process while it lives.
class Limit
{
public:
    Limit(int resource, rlim_t value)
        : resource(resource)
    {
        getrlimit(resource, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = value;
        setrlimit(resource, &lowered);
    }
    ~Limit() { setrlimit(resource, &saved); }

private:
    int resource;
    rlimit saved;
};

class DeviceCacheTest : public ostrel_test::HostFixture
{
protected:
    DeviceCacheTest() { SetDebug(true); }

    std::set<std::string> Files() const
    {
        std::set<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir.Path()))
            names.insert(entry.path().filename().string());
        return names;
    }

    std::string path = dir.File("cache.json");
    std::unique_ptr<ozpPlugin> plugin = ostrel_test::MakePlugin(dir);
};

TEST_F(DeviceCacheTest, SavedTableLoadsBackWhole)
{
    ozpDevice full = MakeDevice(MAC1, 3, 70, R"({"label":"printer","score":70})"_json);
    full.dhcp_vendor = "MSFT 5.0";
    full.http_user_agents.Push("Mozilla/5.0");
    full.ja4_clients.Push("t13d1516h2_8daaf6152771_02713d6af862");
    full.ssdp_user_agents.Push("UPnP/1.0");
    full.mdns_services.Push("_printer._tcp.local");
    full.ip_list.insert("fe80::1");
    full.last_update = clock.Now() - 600;
    ozpDevice other = MakeDevice(MAC2, 1, 0);
    other.other_device = true;
    plugin->devices.emplace(MAC2, other);
    plugin->devices.emplace(MAC1, full);
    ASSERT_EQ(plugin->LoadDevices(path), 0u);

    plugin->SaveDevices(path);

    EXPECT_EQ(ReadFile(path),
        R"({"00:00:00:00:00:01":)" + CacheFileForm(full) + R"(,"00:00:00:00:00:02":)" + CacheFileForm(other)
            + "}");
    EXPECT_EQ(json::parse(ReadFile(path))[MAC1], R"({"mac":"00:00:00:00:00:01","label":"printer",
        "dhcp_fingerprint":"1,3,6,15","dhcp_vendor":"MSFT 5.0","dhcp_hostname":"host-01",
        "http_user_agents":["Mozilla/5.0"],"ja4_clients":["t13d1516h2_8daaf6152771_02713d6af862"],
        "mdns_services":["_printer._tcp.local","_ipp._tcp.local"],"ssdp_user_agents":["UPnP/1.0"],
        "ip_list":["fe80::1","192.168.1.11"],"confidence":70,"cached":true,"other_device":false,"last_seen":1767225000})"_json);
    EXPECT_EQ(log.Count("dev-disc: Saved 2 devices to: " + path + "\n"), 1u);
    EXPECT_EQ(plugin->last_cache_save, clock.Now());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    plugin.reset();
    auto restarted = ostrel_test::MakePlugin(dir);
    EXPECT_EQ(restarted->LoadDevices(path), 2u);
    EXPECT_TRUE(log.Contains("dev-disc: Loaded 2 devices from: " + path + "\n"));
    ASSERT_EQ(restarted->devices.size(), 2u);
    EXPECT_EQ(CacheForm(restarted->devices.at(MAC1)), CacheForm(full));
    EXPECT_EQ(CacheForm(restarted->devices.at(MAC2)), CacheForm(other));
    EXPECT_EQ(restarted->devices.at(MAC1).pending_updates, 1u);
    EXPECT_EQ(restarted->devices.at(MAC1).last_update, clock.Now() - 600);
}

TEST_F(DeviceCacheTest, LoadTakesWhatItCanAndSaysWhy)
{
    const std::string one = CacheForm(MakeDevice(MAC1, 1, 0));
    const std::string three = CacheForm(MakeDevice(MAC3, 1, 0));
    json broken = json::parse(CacheForm(MakeDevice(MAC2, 1, 0)));
    broken.erase("other_device");
    struct Case {
        std::string text;
        std::set<std::string> ignore;
        std::set<std::string> loaded;
        size_t count;
        std::string line;
    };
    const Case cases[] = {
        {"null", {}, {}, 0, "dev-disc: Loaded 0 devices from: " + path + "\n"},
        {"[" + one + "," + three + "]", {}, {MAC1, MAC3}, 2,
            "dev-disc: Loaded 2 devices from: " + path + "\n"},
        // A bad entry is skipped; the ones after it still load.
        {R"({"a":)" + one + R"(,"b":)" + broken.dump() + R"(,"c":)" + three + "}", {}, {MAC1, MAC3}, 2,
            "dev-disc: " + path
                + ": device deserialization failed: [json.exception.out_of_range.403] key "
                  "'other_device' not found\n"},
        {R"({"a":)" + one + R"(,"c":)" + three + "}", {MAC3}, {MAC1}, 1,
            "dev-disc: Loaded 1 devices from: " + path + "\n"},
        {R"({"a":)", {}, {}, 0, "dev-disc: " + path + ": JSON exception: [json.exception.parse_error.101]"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        plugin = ostrel_test::MakePlugin(dir);
        plugin->config.device_mac_ignore = c.ignore;
        dir.Write("cache.json", c.text);
        log.Clear();

        size_t count = plugin->LoadDevices(path);

        std::set<std::string> macs;
        for (const auto &device : plugin->devices)
            macs.insert(device.first);
        EXPECT_EQ(macs, c.loaded);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(log.Count(c.line), 1u) << log.Text();
        EXPECT_FALSE(log.Contains("Ignoring"));

        // What could not be read is kept aside before a save replaces it.
        bool unreadable = c.line.find("Loaded") == std::string::npos;
        EXPECT_EQ(oz_file_exists(path + ".bad"), unreadable);
        if (unreadable) {
            EXPECT_EQ(ostrel_test::ReadFile(path + ".bad"), c.text);
            EXPECT_TRUE(log.Contains("dev-disc: " + path + ": unreadable cache kept as: " + path + ".bad; "
                + std::to_string(c.count) + " device(s) loaded from it ("));
        }
        std::remove((path + ".bad").c_str());
    }
}

TEST_F(DeviceCacheTest, EmptyTableLeavesNoFile)
{
    EXPECT_EQ(plugin->LoadDevices(path), 0u);
    plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
    plugin->SaveDevices(path);
    ASSERT_TRUE(oz_file_exists(path));

    plugin->devices.clear();
    plugin->SaveDevices(path);
    EXPECT_FALSE(oz_file_exists(path));

    log.Clear();
    EXPECT_EQ(plugin->LoadDevices(path), 0u);
    EXPECT_EQ(log.Text(), "");
}

TEST_F(DeviceCacheTest, FailedSaveKeepsThePreviousCache)
{
    plugin->LoadDevices(path);
    plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
    plugin->SaveDevices(path);
    const std::string previous = ReadFile(path);
    const int64_t saved_at = plugin->last_cache_save;
    plugin->devices.emplace(MAC2, MakeDevice(MAC2, 1, 0));
    plugin->devices.emplace(MAC3, MakeDevice(MAC3, 1, 0));
    clock.Advance(3600);

    {
        // A disk that fills up part way through the write.
        signal(SIGXFSZ, SIG_IGN);
        Limit small_files(RLIMIT_FSIZE, 100);
        try {
            plugin->SaveDevices(path);
            ADD_FAILURE() << "saved";
        } catch (const ozException &e) {
            EXPECT_EQ(std::string(e.what()), "dev-disc: " + path + ": File too large");
        }
    }
    signal(SIGXFSZ, SIG_DFL);

    EXPECT_EQ(ReadFile(path), previous);
    EXPECT_EQ(Files(), std::set<std::string> {"cache.json"});
    EXPECT_EQ(plugin->last_cache_save, saved_at);

    // The reason is the real one, whatever it is.
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {"/proc/ostrel-missing/state/cache.json",
            "cannot create the cache folder /proc/ostrel-missing/state: No such file or directory"},
        {dir.Write("file", "") + "/cache.json", "Not a directory"},
    };
    for (const Case &c : cases) {
        plugin->cache_loaded_path = c.path;
        try {
            plugin->SaveDevices(c.path);
            ADD_FAILURE() << "saved to " << c.path;
        } catch (const ozException &e) {
            EXPECT_EQ(std::string(e.what()), "dev-disc: " + c.path + ": " + c.reason);
        }
    }
}

TEST_F(DeviceCacheTest, InvalidUtf8SurvivesSaveAndLoad)
{
    ozpDevice device = MakeDevice(MAC1, 1, 0);
    device.dhcp_hostname = "bad\xff";
    device.http_user_agents.Push("caf\xc3\xa9");
    plugin->devices.emplace(MAC1, device);
    plugin->LoadDevices(path);
    plugin->SaveDevices(path);

    plugin.reset();
    auto restarted = ostrel_test::MakePlugin(dir);
    ASSERT_EQ(restarted->LoadDevices(path), 1u);
    EXPECT_EQ(restarted->devices.at(MAC1).dhcp_hostname, "bad\xef\xbf\xbd");
    EXPECT_EQ(restarted->devices.at(MAC1).http_user_agents.front(), "caf\xc3\xa9");
}

TEST_F(DeviceCacheTest, LoadRemovesTemporariesOfAnInterruptedSave)
{
    for (const char *name : {"cache.json.tmp.Ab12Cd", "cache.json.tmp.zzzzzz", "cache.json.tmp.toolong",
             "other.json.tmp.abcdef", "cache.json.bak"})
        dir.Write(name, "{");
    plugin->LoadDevices(path);
    EXPECT_EQ(Files(),
        (std::set<std::string> {"cache.json.tmp.toolong", "other.json.tmp.abcdef", "cache.json.bak"}));
}

TEST_F(DeviceCacheTest, WithoutAPathOnlyTheTableIsKept)
{
    plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
    clock.Advance(static_cast<int64_t>(plugin->config.max_device_age));
    plugin->devices.emplace(MAC2, MakeDevice(MAC2, 1, 0));

    EXPECT_EQ(plugin->LoadDevices(""), 0u);
    plugin->SaveDevices("");

    EXPECT_EQ(log.Text(),
        "dev-disc: device cache disabled\n"
        "dev-disc: Purged 1 device(s).\n"
        "dev-disc: device cache disabled\n");
    EXPECT_EQ(plugin->devices.count(MAC2), 1u);
    EXPECT_EQ(Files(), std::set<std::string> {});
}

// Until the cache has been read in this run, saving over it would lose the
// devices it holds: the final save of a plug-in that never got to load it
// would even remove it.
TEST_F(DeviceCacheTest, CacheNotReadYetIsMergedNotOverwritten)
{
    dir.Write("plugin.json", R"({"path_device_cache":")" + path + R"("})");
    plugin->flow_wait = std::chrono::milliseconds(0);
    const std::string cached = "{\"" + MAC1 + "\":" + CacheForm(MakeDevice(MAC1, 1, 0)) + "}";

    // The first pass cannot read the cache: something else stands there.
    std::filesystem::create_directory(path);
    plugin->RunPass();
    EXPECT_TRUE(log.Contains(
        "dev-disc: device cache failed: dev-disc: " + path + ": not a regular file (a folder)\n"));

    // Once the file can be read, it is still not saved over before a reload
    // has read it.
    std::filesystem::remove(path);
    dir.Write("cache.json", cached);
    plugin->devices.emplace(MAC2, MakeDevice(MAC2, 1, 0));
    plugin->update_pending = true;
    plugin->RunPass();
    EXPECT_EQ(ReadFile(path), cached);
    EXPECT_TRUE(log.Contains("dev-disc: " + path + ": device cache not loaded yet, not saved\n"));
    plugin->Terminate();
    plugin->Entry();
    EXPECT_EQ(ReadFile(path), cached);

    // The next reload merges the cache instead of saving over it.
    plugin->reload_pending = true;
    plugin->RunPass();
    EXPECT_EQ(plugin->devices.count(MAC1), 1u);
    EXPECT_EQ(ReadFile(path), cached);

    // From then on reloads and update ticks save as usual.
    plugin->reload_pending = true;
    plugin->RunPass();
    EXPECT_EQ(json::parse(ReadFile(path)).size(), 2u);

    // A new path is read before anything is saved there.
    const std::string moved
        = dir.Write("moved.json", "{\"" + MAC3 + "\":" + CacheForm(MakeDevice(MAC3, 1, 0)) + "}");
    dir.Write("plugin.json", R"({"path_device_cache":")" + moved + R"("})");
    plugin->reload_pending = true;
    plugin->RunPass();
    EXPECT_EQ(plugin->devices.size(), 2u + 1u);
    EXPECT_EQ(json::parse(ReadFile(moved)).size(), 1u);
}

} // namespace
