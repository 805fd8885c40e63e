// The cache file as the file system gives it: paths that name something
// other than a regular file, files too large to read, unreadable caches
// kept aside, and devices that keep their age and retirement across
// restarts. Lines that operators must see are checked with debug off.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <set>

#include "tests/report/report_support.h"

namespace {

using namespace std::chrono_literals;
using ostrel_test::MakeDevice;
using ostrel_test::ReadFile;
using ostrel_test::WALL_CLOCK;

const std::string MAC1 = "00:00:00:00:00:01";
const std::string MAC2 = "00:00:00:00:00:02";

// A cache entry of an older version: the 13 keys, no "last_seen".
json Entry(const std::string &mac)
{
    json j;
    to_json(j, MakeDevice(mac, 1, 0));
    return j;
}

mode_t Kind(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

// Runs `load`; a load still blocked after a few seconds (in open() of a
// FIFO) is freed by opening the FIFO's other end, and fails the test.
template <typename Load> void Promptly(Load load, const std::string &fifo)
{
    auto done = std::async(std::launch::async, load);
    if (done.wait_for(5s) == std::future_status::timeout) {
        ADD_FAILURE() << "blocked on " << fifo;
        int fd = open(fifo.c_str(), O_WRONLY);
        if (fd >= 0) close(fd);
    }
    done.get();
}

// Lowers the file size limit of this process while it lives.
class SmallFiles
{
public:
    explicit SmallFiles(rlim_t bytes)
    {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~SmallFiles()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, SIG_DFL);
    }

private:
    rlimit saved;
};

class CacheFileTest : public ostrel_test::HostFixture
{
protected:
    // Debug off: the lines checked here must be written without it.
    CacheFileTest() { SetDebug(false); }

    // What LoadDevices threw, or "" when it did not throw.
    std::string LoadError()
    {
        return ostrel_test::ThrownMessage([this] { plugin->LoadDevices(path); });
    }

    std::string SaveError()
    {
        return ostrel_test::ThrownMessage([this] { plugin->SaveDevices(path); });
    }

    // A new run of the plug-in: the old instance lets go of the path first.
    void Restart()
    {
        plugin.reset();
        plugin = ostrel_test::MakePlugin(dir);
    }

    std::string path = dir.File("cache.json");
    std::unique_ptr<ozpPlugin> plugin = ostrel_test::MakePlugin(dir);
};

TEST_F(CacheFileTest, OnlyRegularFilesAreReadAndNothingElseIsSavedOver)
{
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir.File("folder"));
    struct Case {
        std::string target;
        mode_t kind;
        std::string what;
    };
    const Case cases[] = {
        {fifo, S_IFIFO, "a FIFO"},
        {dir.File("folder"), S_IFDIR, "a folder"},
        {"/dev/zero", S_IFCHR, "a character device"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        std::filesystem::remove(path);
        std::filesystem::create_symlink(c.target, path);
        plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
        log.Clear();

        std::string error;
        Promptly([&] { error = LoadError(); }, fifo);
        EXPECT_EQ(error, "dev-disc: " + path + ": not a regular file (" + c.what + ")");

        // Never read, so never saved over: said with debug off too.
        plugin->SaveDevices(path);
        EXPECT_EQ(log.Text(), "dev-disc: " + path + ": device cache not loaded yet, not saved\n");

        // Even a cache read before is not replaced by what stands there now,
        // nor removed for an empty table.
        plugin->cache_loaded = true;
        plugin->cache_loaded_path = path;
        EXPECT_EQ(SaveError(), "dev-disc: " + path + ": not a regular file (" + c.what + "), not saved over");
        plugin->devices.clear();
        EXPECT_EQ(SaveError(), "dev-disc: " + path + ": not a regular file (" + c.what + "), not saved over");
        EXPECT_EQ(Kind(path), static_cast<mode_t>(S_IFLNK));
        EXPECT_EQ(Kind(c.target), c.kind);
    }
}

TEST_F(CacheFileTest, ALinkToARegularFileIsReadAndSavedThroughAndKept)
{
    std::filesystem::create_directory(dir.File("data"));
    const std::string target = dir.Write("data/devices.json", json {{MAC1, Entry(MAC1)}}.dump());
    std::filesystem::create_symlink("data/devices.json", path);

    EXPECT_EQ(plugin->LoadDevices(path), 1u);
    plugin->devices.emplace(MAC2, MakeDevice(MAC2, 1, 0));
    plugin->SaveDevices(path);

    EXPECT_EQ(Kind(path), static_cast<mode_t>(S_IFLNK));
    EXPECT_EQ(json::parse(ReadFile(target)).size(), 2u);
    // A save cut short leaves its temporary beside the file it replaces:
    // the next load looks for it there.
    const std::string stale = dir.Write("data/devices.json.tmp.Ab12Cd", "{");
    Restart();
    EXPECT_EQ(plugin->LoadDevices(path), 2u);
    EXPECT_FALSE(std::filesystem::exists(stale));

    // An empty table removes the file, not the link; the next save writes
    // the file again where the link points.
    plugin->devices.clear();
    plugin->SaveDevices(path);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(Kind(path), static_cast<mode_t>(S_IFLNK));
    plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
    plugin->SaveDevices(path);
    EXPECT_EQ(json::parse(ReadFile(target)).size(), 1u);
    EXPECT_EQ(Kind(path), static_cast<mode_t>(S_IFLNK));
}

TEST_F(CacheFileTest, ACacheAboveTheBoundIsRefusedAndNeverSavedOver)
{
    // The real bound, in a sparse file: refused before anything is read.
    const uint64_t huge = OZP_MAX_CACHE_BYTES + 1;
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(huge)), 0);
        close(fd);
    }
    EXPECT_EQ(LoadError(), "dev-disc: " + path + ": larger than 2147483648 bytes, not read");
    plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
    log.Clear();
    plugin->SaveDevices(path);
    EXPECT_EQ(log.Text(), "dev-disc: " + path + ": device cache not loaded yet, not saved\n");
    EXPECT_EQ(std::filesystem::file_size(path), huge);

    // A file whose size is not known before it is read (as under /proc, or
    // one still growing) is read no further than the bound.
    std::filesystem::remove(path);
    std::filesystem::create_symlink("/proc/self/maps", path);
    Restart();
    plugin->max_cache_bytes = 100;
    EXPECT_EQ(LoadError(), "dev-disc: " + path + ": larger than 100 bytes, not read");
    EXPECT_FALSE(std::filesystem::exists(path + ".bad"));
}

TEST_F(CacheFileTest, UnreadableCachesAreKeptInCopiesThatAreNeverOverwritten)
{
    json broken = Entry(MAC2);
    broken.erase("other_device");
    const std::string texts[] = {
        // One device between two that are not.
        "[" + broken.dump() + "," + Entry(MAC1).dump() + "," + broken.dump() + "]",
        // No device at all; the save after it removes the cache file.
        "{\"" + MAC1 + "\":",
        "not json",
    };
    const std::string copies[] = {path + ".bad", path + ".bad.1", path + ".bad.2"};
    const size_t loaded[] = {1, 0, 0};
    const std::string reasons[] = {"[json.exception.out_of_range.403] key 'other_device' not found; 2 bad "
                                   "device entries skipped)",
        "[json.exception.parse_error.101]", "[json.exception.parse_error.101]"};

    for (size_t round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        Restart();
        dir.Write("cache.json", texts[round]);
        log.Clear();

        EXPECT_EQ(plugin->LoadDevices(path), loaded[round]);
        EXPECT_EQ(log.Count("dev-disc: " + path + ": unreadable cache kept as: " + copies[round] + "; "
                      + std::to_string(loaded[round]) + " device(s) loaded from it (" + reasons[round]),
            1u)
            << log.Text();
        plugin->SaveDevices(path);
        if (round == 0) {
            EXPECT_EQ(json::parse(ReadFile(path)).size(), 1u) << "the good one is saved";
        }

        for (size_t kept = 0; kept <= round; kept++)
            EXPECT_EQ(ReadFile(copies[kept]), texts[kept]) << copies[kept];
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(CacheFileTest, ACacheWhoseTextCannotBeKeptIsNotSavedOver)
{
    json broken = Entry(MAC2);
    broken.erase("other_device");
    const std::string text = "[" + Entry(MAC1).dump() + "," + broken.dump() + "]";
    dir.Write("cache.json", text);

    {
        // No room for the copy: it is not kept, not even in part.
        SmallFiles no_room(100);
        EXPECT_EQ(plugin->LoadDevices(path), 1u);
    }
    EXPECT_EQ(log.Count("dev-disc: " + path
                  + ": unreadable cache not kept: File too large; 1 device(s) "
                    "loaded from it, the file is not saved over ([json.exception.out_of_range.403]"),
        1u)
        << log.Text();
    EXPECT_FALSE(std::filesystem::exists(path + ".bad"));

    // Saves leave the file alone until a load has kept its text aside.
    plugin->devices.emplace(MAC2, MakeDevice(MAC2, 1, 0));
    plugin->SaveDevices(path);
    EXPECT_TRUE(log.Contains("dev-disc: " + path + ": device cache not loaded yet, not saved\n"));
    EXPECT_EQ(ReadFile(path), text);

    plugin->LoadDevices(path);
    EXPECT_EQ(ReadFile(path + ".bad"), text);
    plugin->SaveDevices(path);
    EXPECT_EQ(json::parse(ReadFile(path)).size(), 2u);
}

TEST_F(CacheFileTest, RetiredDevicesStayRetiredWhenTheCacheIsReadAgain)
{
    dir.Write("plugin.json", R"({"path_device_cache": ")" + path + R"("})");
    dir.Write("cache.json", json {{MAC1, Entry(MAC1)}, {MAC2, Entry(MAC2)}}.dump());
    plugin->flow_wait = 0ms;
    plugin->RunPass();
    ASSERT_EQ(plugin->devices.size(), 2u);

    // Both retired: one confident, one the other end of a flow. The table
    // is empty, and the cache still holds both.
    plugin->devices.at(MAC1).confidence = 100;
    plugin->devices.at(MAC2).other_device = true;
    plugin->ProcessUpdate();
    ASSERT_TRUE(plugin->devices.empty());

    plugin->reload_pending = true;
    plugin->RunPass();
    EXPECT_TRUE(plugin->devices.empty());
    EXPECT_EQ(plugin->identified, (std::set<std::string> {MAC1, MAC2}));
}

TEST_F(CacheFileTest, DevicesKeepTheirAgeAcrossRestarts)
{
    const int64_t max_age = static_cast<int64_t>(plugin->config.max_device_age);
    plugin->LoadDevices(path);
    plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
    plugin->devices.at(MAC1).last_update = clock.Now() - 100;
    plugin->SaveDevices(path);
    EXPECT_EQ(json::parse(ReadFile(path))[MAC1]["last_seen"], WALL_CLOCK - 100);

    // Restarted more often than max_device_age: the device still ages out.
    int64_t wall = WALL_CLOCK;
    const int64_t run_length = max_age / 2 + 1;
    for (int run = 0; run < 2; run++) {
        Restart();
        plugin->wall_clock = [&wall] { return wall; };
        plugin->LoadDevices(path);
        EXPECT_EQ(plugin->devices.count(MAC1), 1u);
        clock.Advance(run_length);
        wall += run_length;
        plugin->SaveDevices(path);
    }
    EXPECT_FALSE(std::filesystem::exists(path));

    // After a reboot the host's clock starts near 0: an age beyond it is
    // held as the oldest time the clock has, never as 0 ("never seen").
    Restart();
    clock.Set(50);
    json entry = Entry(MAC1);
    entry["last_seen"] = WALL_CLOCK - 300;
    dir.Write("cache.json", json {{MAC1, entry}}.dump());
    ASSERT_EQ(plugin->LoadDevices(path), 1u);
    EXPECT_EQ(plugin->devices.at(MAC1).last_update, 1);

    // How "last_seen" is read: the age it gives, or none (just seen).
    clock.Set(1000000);
    struct Case {
        std::string last_seen;
        bool loaded;
        int64_t age;
    };
    const Case cases[] = {
        {"", true, 0},
        {std::to_string(WALL_CLOCK - 300), true, 300},
        {std::to_string(WALL_CLOCK + 5000), true, 0}, // a clock set back since
        {std::to_string(WALL_CLOCK - max_age + 1), true, max_age - 1},
        {std::to_string(WALL_CLOCK - max_age), false, 0},
        {"-9223372036854775808", false, 0},
        {"\"yesterday\"", true, 0},
        {"1767225000.5", true, 0},
        {"18446744073709551615", true, 0},
        {"null", true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.last_seen);
        Restart();
        std::string entry = Entry(MAC1).dump();
        if (!c.last_seen.empty()) entry.insert(1, "\"last_seen\":" + c.last_seen + ",");
        dir.Write("cache.json", "{\"" + MAC1 + "\":" + entry + "}");

        EXPECT_EQ(plugin->LoadDevices(path), c.loaded ? 1u : 0u);
        if (c.loaded) {
            EXPECT_EQ(plugin->devices.at(MAC1).last_update, clock.Now() - c.age);
        }
    }
}

TEST_F(CacheFileTest, SkippedSavesAreSaidWithDebugOffAFewTimesAnHour)
{
    plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
    const std::string line = "dev-disc: " + path + ": device cache not loaded yet, not saved\n";
    for (int tick = 0; tick < 12; tick++) {
        plugin->SaveDevices(path);
        clock.Advance(60);
    }
    EXPECT_EQ(log.Count(line), 5u);

    clock.Advance(3600);
    plugin->SaveDevices(path);
    EXPECT_EQ(log.Count(line), 6u);
    EXPECT_TRUE(log.Contains("dev-disc: 7 similar line(s) held back\n"));

    // A save that fails is tried at every update tick: the first failure is
    // said at once, the rest a few times an hour, and the recovery once.
    dir.Write("plugin.json", R"({"path_device_cache": ")" + path + R"("})");
    plugin->flow_wait = 0ms;
    plugin->RunPass();
    ASSERT_TRUE(plugin->IsCacheLoaded(path));
    clock.Advance(3600);
    const std::string failed = "dev-disc: device cache failed: dev-disc: " + path + ": File too large\n";
    {
        SmallFiles no_room(100);
        for (int tick = 0; tick < 120; tick++) {
            plugin->update_pending = true;
            plugin->RunPass();
            clock.Advance(10);
        }
        EXPECT_EQ(log.Count(failed), 1u + 5u);
        clock.Advance(3600);
        plugin->update_pending = true;
        plugin->RunPass();
        EXPECT_TRUE(log.Contains(failed + "dev-disc: 114 similar line(s) held back\n")) << log.Text();
    }
    plugin->update_pending = true;
    plugin->RunPass();
    EXPECT_EQ(log.Count(failed), 1u + 5u + 1u);
    EXPECT_EQ(
        log.Count("dev-disc: " + path + ": device cache saved again after 121 failed attempt(s)\n"), 1u);
    EXPECT_EQ(json::parse(ReadFile(path)).size(), 1u);
}

TEST_F(CacheFileTest, AMissingCacheFolderIsMadeOwnerOnly)
{
    const std::string state = dir.File("var/lib/state");
    path = state + "/cache.json";
    EXPECT_EQ(plugin->LoadDevices(path), 0u);
    EXPECT_EQ(log.Text(), "dev-disc: " + path + ": created the cache folder " + state + " (mode 0700)\n");
    for (const std::string &folder : {dir.File("var"), dir.File("var/lib"), state})
        EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all) << folder;

    // Gone again before the save (a state folder on tmpfs): made again.
    std::filesystem::remove_all(dir.File("var"));
    plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
    log.Clear();
    plugin->SaveDevices(path);
    EXPECT_EQ(log.Text(), "dev-disc: " + path + ": created the cache folder " + state + " (mode 0700)\n");
    EXPECT_EQ(json::parse(ReadFile(path)).size(), 1u);
}

} // namespace
