// The plug-in's files where the file system or another instance gets in the
// way: two running instances of one process naming one cache file, and a
// FIFO named as the configuration or the cache of the real daemon, which
// must still stop when asked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plugin/plugin.h"
#include "tests/support/child_process.h"
#include "tests/support/eventually.h"
#include "tests/support/host_fixture.h"
#include "tests/support/plugin.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ostrel_test::ChildProcess;
using ostrel_test::Eventually;
using ostrel_test::ReadFile;

constexpr auto DEADLINE = 10s;

const std::string MAC1 = "02:00:00:00:00:01";
const std::string MAC2 = "02:00:00:00:00:02";

json Entry(const std::string &mac)
{
    ozpDevice device(mac, false);
    json j;
    to_json(j, device);
    return j;
}

// One plug-in instance on its own thread, as the host runs it, with its
// configuration in `<tag>.json`.
class Instance
{
public:
    Instance(const ostrel_test::TempDir &dir, const std::string &tag, const std::string &cache)
        : dir(dir)
        , tag(tag)
    {
        Configure(cache);
        plugin = ostrel_test::MakePluginAt(dir.File(tag + ".json"), tag);
        plugin->flow_wait = 20ms;
        plugin->Create();
    }
    ~Instance() { Stop(); }

    void Configure(const std::string &cache) const
    {
        dir.Write(tag + ".json", R"({"path_device_cache": ")" + cache + R"("})");
    }
    void Reload() { plugin->DispatchEvent(ozPlugin::EVENT_RELOAD); }
    void Update() { plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE); }
    void Queue(const std::string &mac)
    {
        ostrel_test::FlowFields fields;
        fields.mac = mac;
        std::shared_ptr<ozFlow> flow = ostrel_test::MakeFlow(fields);
        plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE, flow);
    }
    bool QueueEmpty()
    {
        std::lock_guard<std::mutex> guard(plugin->flow_lock);
        return plugin->flow_queue.empty();
    }
    void Stop()
    {
        if (stopped) return;
        plugin->Terminate();
        plugin->Join();
        stopped = true;
    }

private:
    const ostrel_test::TempDir &dir;
    std::string tag;
    std::unique_ptr<ozpPlugin> plugin;
    bool stopped = false;
};

class CachePathsTest : public ostrel_test::HostFixture
{
protected:
    CachePathsTest() { SetDebug(true); }

    bool Logged(const std::string &line, size_t times = 1)
    {
        return Eventually([&] { return log.Count(line) >= times; }, DEADLINE);
    }

    std::set<std::string> Cached(const std::string &path) const
    {
        std::set<std::string> macs;
        const json cache = json::parse(ReadFile(path));
        for (const auto &entry : cache.items())
            macs.insert(entry.key());
        return macs;
    }
};

TEST_F(CachePathsTest, TwoInstancesNeverShareOneCacheFile)
{
    const std::string cache = dir.Write("cache.json", json {{MAC1, Entry(MAC1)}}.dump());
    std::filesystem::create_directory(dir.File("sub"));
    const std::string other_spelling = dir.File("sub/../cache.json");
    const std::string in_use = "dev-disc-b: " + other_spelling
        + ": device cache in use by dev-disc-a, not loaded or saved until a reload names a free path\n";

    auto a = std::make_unique<Instance>(dir, "dev-disc-a", cache);
    ASSERT_TRUE(Logged("dev-disc-a: Loaded 1 devices from: " + cache + "\n")) << log.Text();

    // The second instance neither loads nor saves the file the first holds.
    auto b = std::make_unique<Instance>(dir, "dev-disc-b", other_spelling);
    ASSERT_TRUE(Logged(in_use)) << log.Text();
    b->Queue(MAC2);
    ASSERT_TRUE(Eventually([&] { return b->QueueEmpty(); }, DEADLINE));
    b->Update();
    ASSERT_TRUE(Logged(in_use, 2)) << log.Text();
    EXPECT_EQ(Cached(cache), std::set<std::string> {MAC1});

    // A reload of the first to another path lets the file go: the second
    // takes it at its next reload, merging what it holds.
    const std::string moved = dir.File("moved.json");
    a->Configure(moved);
    a->Reload();
    ASSERT_TRUE(Logged("dev-disc-a: Loading configuration: ", 2)) << log.Text();
    a->Reload();
    ASSERT_TRUE(Logged("dev-disc-a: Saved 1 devices to: " + moved + "\n")) << log.Text();
    b->Reload();
    ASSERT_TRUE(Logged("dev-disc-b: Loaded 2 devices from: " + other_spelling + "\n")) << log.Text();
    b->Stop();
    EXPECT_EQ(Cached(cache), (std::set<std::string> {MAC1, MAC2}));
    EXPECT_EQ(Cached(moved), std::set<std::string> {MAC1});

    // The first cannot take it back while the second lives; once the second
    // is gone, a third instance can.
    a->Configure(cache);
    a->Reload();
    ASSERT_TRUE(Logged("dev-disc-a: " + cache + ": device cache in use by dev-disc-b")) << log.Text();
    b.reset();
    auto c = std::make_unique<Instance>(dir, "dev-disc-c", dir.File("./cache.json"));
    EXPECT_TRUE(Logged("dev-disc-c: Loaded 2 devices from: " + dir.File("./cache.json") + "\n"))
        << log.Text();
}

// The daemon's log once it has ended; fails the test when it did not end
// by itself within the deadline after SIGTERM, or with another status.
std::string RunAndTerminate(const std::vector<std::string> &argv, const std::string &log,
    const std::string &wait_for, const std::string &fifo, int expected)
{
    ChildProcess host;
    host.Start(argv, log + ".out", log);
    EXPECT_TRUE(Eventually([&] { return ReadFile(log).find(wait_for) != std::string::npos; }, DEADLINE))
        << ReadFile(log);
    host.Signal(SIGTERM);
    int status = host.Wait(DEADLINE);
    EXPECT_EQ(status, expected) << "the daemon did not stop: " << ReadFile(log);
    if (status == -1) {
        // Free a thread blocked in open() so that the daemon can end.
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    }
    return ReadFile(log);
}

TEST_F(CachePathsTest, AFifoNamedAsConfigurationOrCacheDoesNotHoldUpTheDaemon)
{
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string refused = ": " + fifo + ": not a regular file (a FIFO)\n";
    struct Case {
        std::string name;
        std::string conf;
        std::string line;
        int status;
    };
    // A plug-in without a configuration at start-up stops the daemon itself,
    // which is waited for before the signal.
    const Case cases[] = {
        {"configuration", fifo, "dev-discovery: reload failed: dev-discovery" + refused, 1},
        {"cache", dir.Write("plugin.json", R"({"path_device_cache": ")" + fifo + R"("})"),
            "dev-discovery: device cache failed: dev-discovery" + refused, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = RunAndTerminate(
            {OSTREL_HOST_BIN, "--plugin", OSTREL_PLUGIN_PATH, "--conf", c.conf}, dir.File(c.name + ".log"),
            c.status == 0 ? c.line : "ostrel-host: dev-discovery: plug-in thread ended on its own", fifo,
            c.status);
        EXPECT_NE(text.find(c.line), std::string::npos) << text;
        struct stat st;
        ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
    }
}

} // namespace
