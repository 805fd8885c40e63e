// Several host threads queue flows while reload and update events fire
// every 100 ms and requests go to a loopback server: no flow is lost, the
// queue drains, and (under ThreadSanitizer) no race shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/standin/control.h"
#include "tests/reliability/fault_server.h"
#include "tests/support/flows.h"
#include "tests/support/memory.h"
#include "tests/support/host_fixture.h"
#include "tests/support/plugin.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ostrel_test::Eventually;
using ostrel_test::FaultReply;
using ostrel_test::FaultRequest;

constexpr int PRODUCERS = 4;
constexpr auto PRODUCING = 2s;
constexpr int BURST = 2;

std::string Mac(int producer, uint32_t n)
{
    return ostrel_test::MacText(0x020000000000 | static_cast<uint64_t>(producer & 0xff) << 32 | n);
}

// Every uploaded device gets a verdict at the retirement score, so the
// table stays small and each MAC ends up in `identified`.
FaultReply Classify(const FaultRequest &request)
{
    FaultReply reply;
    if (request.method != "POST") return reply;
    json data = json::array();
    for (const json &device : json::parse(request.body))
        data.push_back({{"mac", device.at("mac")}, {"discovery", {{"label", "load"}, {"score", 90}}}});
    reply.body = json({{"status_code", 0}, {"status_message", "ok"}, {"data", data}}).dump();
    return reply;
}

class LoadTest : public ostrel_test::HostFixture
{
protected:
    LoadTest()
    {
        ozOstrelApiData::Bootstrap bootstrap;
        bootstrap.urls = {{"index", server.Url("/index")}, {"upload", server.Url("/upload")}};
        ostrel_standin::SetBootstrapData(host.api_manager, ozOstrelApiData::DATA_DEV_DISCOVERY, bootstrap);
        server.SetHandler(Classify);
        // Counted, not kept: tens of thousands of payloads would dwarf the
        // plug-in's own memory.
        ostrel_standin::SetSinkHandler(
            [this](const std::string &, const std::string &, const std::set<std::string> &,
                const nlohmann::json &payload,
                uint8_t) { sink_devices += payload.at("device_discovery").size(); });
    }

    ostrel_test::FaultServer server;
    std::atomic<size_t> sink_devices {0};
};

TEST_F(LoadTest, HostThreadsLoseNoFlowWhileEventsAndRequestsRun)
{
    const size_t rss_before = ostrel_test::ResidentMb();
    ostrel_test::RunningPlugin running(dir,
        R"({"path_device_cache": ")" + dir.File("cache.json")
            + R"(", "ostrel_api": {"enable": true}, "sinks": {"sink": {"devices": {}}}})");

    std::atomic<bool> producing {true};
    std::atomic<size_t> peak_queue {0};
    std::vector<uint32_t> queued(PRODUCERS, 0);
    std::vector<std::thread> producers;
    const auto start = std::chrono::steady_clock::now();
    for (int p = 0; p < PRODUCERS; p++) {
        producers.emplace_back([&, p] {
            // A host's capture threads: bursts of flows, each from a new MAC.
            while (std::chrono::steady_clock::now() - start < PRODUCING) {
                for (int i = 0; i < BURST; i++) {
                    ostrel_test::FlowFields fields;
                    fields.mac = Mac(p, queued[p]++);
                    fields.protocol = ozFlow::PROTO_DHCP;
                    fields.host_name = "load";
                    running.Queue(fields);
                }
                size_t length = running.QueueLength();
                size_t peak = peak_queue.load();
                while (length > peak && !peak_queue.compare_exchange_weak(peak, length)) { }
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    // The host's timers, half a period apart: a reload starts a query, and
    // an update that came with it would find that query running and drop its
    // changes, every time.
    int ticks = 0;
    std::thread ticker([&] {
        while (producing) {
            running.Reload();
            std::this_thread::sleep_for(50ms);
            running.Update();
            std::this_thread::sleep_for(50ms);
            ticks++;
        }
    });
    for (std::thread &producer : producers)
        producer.join();
    const auto produced = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([&] { return running.QueueLength() == 0; }, 120s)) << running.QueueLength();
    const auto drained = std::chrono::steady_clock::now();
    producing = false;
    ticker.join();
    const size_t rss_after = ostrel_test::ResidentMb();
    running.Stop();

    // Every MAC is either still in the table or retired, never both.
    size_t total = 0;
    for (uint32_t count : queued)
        total += count;
    const ozpPlugin &plugin = *running.plugin;
    size_t both = 0;
    for (const auto &device : plugin.devices)
        both += plugin.identified.count(device.first);
    EXPECT_EQ(both, 0u);
    EXPECT_EQ(plugin.devices.size() + plugin.identified.size(), total);
    EXPECT_GT(server.Requests().size(), 2u);
    EXPECT_GT(sink_devices.load(), 0u);
    EXPECT_FALSE(log.Contains("failed")) << log.Text();

    auto ms = [](auto duration) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
    };
    std::printf(
        "[ figures  ] %zu flows from %d threads in %lld ms (%zu events each of reload and update), "
        "%zu requests, %zu devices to the sink; peak queue %zu flows, drained %lld ms after the last; "
        "RSS %zu MB before, %zu MB at the end, peak %zu MB\n",
        total, PRODUCERS, static_cast<long long>(ms(produced - start)), static_cast<size_t>(ticks),
        server.Requests().size(), sink_devices.load(), peak_queue.load(),
        static_cast<long long>(ms(drained - produced)), rss_before, rss_after, ostrel_test::PeakResidentMb());
}

} // namespace
