// A storm of reload events (a host sending SIGHUP in a loop) against a large
// table: an unchanged table is not written again on every pass, so flows keep
// being processed and none is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/flows.h"
#include "tests/support/host_fixture.h"
#include "tests/support/plugin.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ostrel_test::Eventually;

constexpr uint32_t DEVICES = 20000;
constexpr uint32_t FLOWS = 2000;

std::string Mac(uint32_t n)
{
    return ostrel_test::MacText(0x020000000000 | (n & 0xffffff));
}

std::string Ip(uint32_t n)
{
    return "10." + std::to_string(n >> 16 & 0xff) + "." + std::to_string(n >> 8 & 0xff) + "."
        + std::to_string(n & 0xff);
}

class ReloadStormTest : public ostrel_test::HostFixture
{
protected:
    ReloadStormTest() { SetDebug(true); }
};

TEST_F(ReloadStormTest, AnUnchangedTableIsNotSavedOnEveryReload)
{
    json cache = json::object();
    for (uint32_t n = 0; n < DEVICES; n++) {
        ozpDevice device(Mac(n), false);
        device.ip_list.insert(Ip(n));
        to_json(cache[Mac(n)], device);
    }
    dir.Write("cache.json", cache.dump());
    ostrel_test::RunningPlugin running(dir, R"({"path_device_cache": ")" + dir.File("cache.json") + "\"}");
    ASSERT_TRUE(Eventually([&] { return log.Contains("Loaded 20000 devices"); }));

    std::atomic<bool> storming {true};
    std::thread storm([&] {
        while (storming) {
            running.Reload();
            std::this_thread::sleep_for(100us);
        }
    });
    // Devices seen again as they were: nothing new for the cache.
    for (uint32_t n = 0; n < FLOWS; n++) {
        ostrel_test::FlowFields fields;
        fields.mac = Mac(n * 7 % DEVICES);
        fields.ip = Ip(n * 7 % DEVICES);
        running.Queue(fields);
    }
    const auto start = std::chrono::steady_clock::now();
    bool drained = Eventually([&] { return running.QueueLength() == 0; }, 30s);
    const auto took = std::chrono::steady_clock::now() - start;
    storming = false;
    storm.join();
    running.Stop();

    EXPECT_TRUE(drained) << running.QueueLength() << " flows still queued";
    EXPECT_EQ(running.plugin->flows_processed.load(), FLOWS);
    EXPECT_GT(log.Count("Loading configuration"), 10u) << "a storm it was";
    // The first reload after the load writes the table once (the load may
    // have left entries out), the stop once more.
    EXPECT_LE(log.Count("Saved 20000 devices"), 2u);
    std::printf("[ figures  ] %u flows over a %u-device table drained in %lld ms under %zu reloads\n", FLOWS,
        DEVICES, static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
        log.Count("Loading configuration"));
}

} // namespace
