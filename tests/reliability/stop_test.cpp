// The stop of the plug-in's thread: flows the host queued before it are
// processed and saved, within a time limit, and what could not be processed
// is counted and said.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/flows.h"
#include "tests/support/host_fixture.h"
#include "tests/support/plugin.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ostrel_test::Eventually;
using ostrel_test::FlowFields;
using ostrel_test::ReadFile;

std::string Mac(int group, uint32_t n)
{
    return ostrel_test::MacText(0x020000000000 | static_cast<uint64_t>(group & 0xff) << 32 | n);
}

FlowFields FlowFrom(const std::string &mac)
{
    FlowFields fields;
    fields.mac = mac;
    return fields;
}

class StopTest : public ostrel_test::HostFixture
{
protected:
    StopTest()
        : conf(dir.Write("plugin.json", R"({"path_device_cache": ")" + dir.File("cache.json") + "\"}"))
    {
    }

    // A plug-in whose thread has not started yet; a pass of the test's own
    // does not wait for flows.
    std::unique_ptr<ozpPlugin> Plugin()
    {
        auto plugin = ostrel_test::MakePluginAt(conf);
        plugin->flow_wait = 0ms;
        return plugin;
    }

    void Queue(ozpPlugin &plugin, const FlowFields &fields)
    {
        std::shared_ptr<ozFlow> flow = ostrel_test::MakeFlow(fields);
        plugin.DispatchProcessorEvent(ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE, flow);
    }

    // Starts the thread with its terminate flag already set: it runs no pass
    // and goes straight to the stop.
    void StopAtOnce(ozpPlugin &plugin)
    {
        plugin.Terminate();
        plugin.Create();
        plugin.Join();
    }

    size_t CachedDevices() { return json::parse(ReadFile(dir.File("cache.json"))).size(); }

    std::string conf;
};

TEST_F(StopTest, FlowsQueuedAtTheStopAreProcessedAndSaved)
{
    // The field case: the cache was loaded, then the host queued its flows
    // and stopped the plug-in.
    json cache = json::object();
    for (uint32_t n = 0; n < 200; n++)
        to_json(cache[Mac(1, n)], ozpDevice(Mac(1, n), false));
    dir.Write("cache.json", cache.dump());
    auto plugin = Plugin();
    plugin->RunPass();
    ASSERT_EQ(plugin->devices.size(), 200u);
    for (uint32_t n = 0; n < 1000; n++)
        Queue(*plugin, FlowFrom(Mac(2, n)));
    StopAtOnce(*plugin);

    EXPECT_EQ(plugin->devices.size(), 1200u);
    EXPECT_EQ(CachedDevices(), 1200u);
    EXPECT_EQ(plugin->flows_processed.load(), 1000u);
    EXPECT_EQ(plugin->flows_dropped.load(), 0u);
    EXPECT_TRUE(log.Contains("dev-disc: stopped: 1000 flow(s) processed at the stop, 0 not processed\n"))
        << log.Text();
}

TEST_F(StopTest, FlowsQueuedBeforeTheFirstPassAreProcessedUnderTheConfiguration)
{
    dir.Write("plugin.json",
        R"({"path_device_cache": ")" + dir.File("cache.json") + R"(", "device_mac_ignore": [")" + Mac(1, 1)
            + "\"]}");
    auto plugin = Plugin();
    for (uint32_t n = 0; n < 3; n++)
        Queue(*plugin, FlowFrom(Mac(1, n)));
    StopAtOnce(*plugin);

    EXPECT_EQ(plugin->devices.size(), 2u) << "the ignore list was read first";
    EXPECT_EQ(CachedDevices(), 2u);
    EXPECT_EQ(plugin->flows_processed.load(), 3u);
}

TEST_F(StopTest, TheTimeLimitCountsAndSaysWhatItCouldNotProcess)
{
    auto plugin = Plugin();
    plugin->RunPass();
    plugin->stop_flow_limit = 0ms;
    for (uint32_t n = 0; n < 500; n++)
        Queue(*plugin, FlowFrom(Mac(1, n)));
    StopAtOnce(*plugin);

    EXPECT_TRUE(plugin->devices.empty());
    EXPECT_EQ(plugin->flows_processed.load(), 0u);
    EXPECT_EQ(plugin->flows_dropped.load(), 500u);
    EXPECT_TRUE(log.Contains("dev-disc: stopped: 0 flow(s) processed at the stop, 500 not processed\n"))
        << log.Text();
}

// Host threads queue as fast as they can and the host stops the plug-in as
// soon as they are done, the way a replay ends.
TEST_F(StopTest, NoFlowOfAReplayUnderLoadIsLostAtTheStop)
{
    constexpr int PRODUCERS = 4;
    constexpr uint32_t FLOWS = 2000;
    ostrel_test::RunningPlugin running(dir, ReadFile(conf));
    // Room for slow sanitizer builds: the limit itself is not under test.
    running.plugin->stop_flow_limit = 60s;
    std::vector<std::thread> producers;
    for (int p = 0; p < PRODUCERS; p++)
        producers.emplace_back([&running, p] {
            for (uint32_t n = 0; n < FLOWS; n++)
                running.Queue(FlowFrom(Mac(p, n)));
        });
    for (std::thread &producer : producers)
        producer.join();
    running.Stop();

    const ozpPlugin &plugin = *running.plugin;
    EXPECT_EQ(plugin.flows_processed.load(), PRODUCERS * FLOWS);
    EXPECT_EQ(plugin.flows_dropped.load(), 0u);
    EXPECT_EQ(plugin.devices.size(), PRODUCERS * FLOWS);
    EXPECT_EQ(CachedDevices(), PRODUCERS * FLOWS);
}

// Producers that go on while the plug-in stops: every flow is processed,
// counted as not processed, or still queued when the thread has ended.
TEST_F(StopTest, FlowsQueuedWhileStoppingAreAllAccountedFor)
{
    constexpr int PRODUCERS = 2;
    ostrel_test::RunningPlugin running(dir, ReadFile(conf));
    running.plugin->stop_flow_limit = 50ms;
    std::atomic<bool> producing {true};
    std::vector<uint32_t> queued(PRODUCERS, 0);
    std::vector<std::thread> producers;
    for (int p = 0; p < PRODUCERS; p++)
        producers.emplace_back([&, p] {
            // Bursts, so that the queue does not outgrow the machine.
            while (producing) {
                for (int i = 0; i < 20; i++)
                    running.Queue(FlowFrom(Mac(p, queued[p]++)));
                std::this_thread::sleep_for(1ms);
            }
        });
    ASSERT_TRUE(Eventually([&] { return running.plugin->flows_processed.load() > 1000; }));
    running.Stop();
    producing = false;
    for (std::thread &producer : producers)
        producer.join();

    const uint64_t total = queued[0] + queued[1];
    const ozpPlugin &plugin = *running.plugin;
    EXPECT_EQ(plugin.flows_processed.load() + plugin.flows_dropped.load() + running.QueueLength(), total);
    EXPECT_EQ(plugin.devices.size(), plugin.flows_processed.load());
    EXPECT_EQ(log.Count("dev-disc: stopped: "), 1u);
}

} // namespace
