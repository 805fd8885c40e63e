#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace {

using ostrel_test::FlowFields;
using ostrel_test::MakeFlow;
using ostrel_test::ReadFile;

class MainLoopTest : public ostrel_test::HostFixture
{
protected:
    MainLoopTest()
    {
        SetDebug(true);
        conf = dir.Write("plugin.json", R"({ "path_device_cache": ")" + dir.File("cache.json") + R"(" })");
        plugin.reset(new ozpPlugin("dev-discovery", {{"conf_filename", conf}}));
        // An empty pass waits this long; short, so that tests need not queue flows.
        plugin->flow_wait = std::chrono::milliseconds(5);
    }

    void Queue(const FlowFields &fields)
    {
        auto flow = MakeFlow(fields);
        plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE, flow);
    }

    std::string conf;
    std::unique_ptr<ozpPlugin> plugin;
};

TEST_F(MainLoopTest, BannerFirstAndFinalSaveOnTerminate)
{
    plugin->devices.emplace("00:11:22:33:44:55", ozpDevice("00:11:22:33:44:55", false));
    plugin->Terminate();
    plugin->Create();
    plugin->Join();
    EXPECT_TRUE(plugin->HasTerminated());
    EXPECT_EQ(log.Lines().at(0), "dev-discovery: initialized");
    EXPECT_EQ(log.Lines().at(1),
        "dev-discovery: Ostrel Device Discovery Processor Plugin v1.2.11 "
        "Copyright (C) 2026 Ostrel Networks. All rights reserved.");
    // Terminated before the first pass: no reload happened, so there is no
    // cache path yet and nothing was written anywhere.
    EXPECT_FALSE(log.Contains("Loading configuration"));
    EXPECT_FALSE(oz_file_exists(dir.File("cache.json")));
}

TEST_F(MainLoopTest, SeveralReloadEventsBeforeThePassGiveOneReload)
{
    for (int i = 0; i < 3; i++)
        plugin->DispatchEvent(ozPlugin::EVENT_RELOAD);
    plugin->RunPass();
    plugin->RunPass();
    EXPECT_EQ(log.Count("Loading configuration"), 1u);
    EXPECT_FALSE(plugin->reload_pending);
    EXPECT_EQ(plugin->config.path_device_cache, dir.File("cache.json"));

    plugin->DispatchEvent(ozPlugin::EVENT_RELOAD);
    plugin->RunPass();
    EXPECT_EQ(log.Count("Loading configuration"), 2u);
}

TEST_F(MainLoopTest, QueuedFlowsAreProcessedOnePerPassInArrivalOrder)
{
    plugin->RunPass();
    FlowFields first, second;
    second.mac = "00:11:22:33:44:66";
    Queue(first);
    Queue(second);
    plugin->RunPass();
    EXPECT_EQ(plugin->flow_queue.size(), 1u);
    EXPECT_EQ(plugin->devices.count("00:11:22:33:44:55"), 1u);
    EXPECT_EQ(plugin->devices.count("00:11:22:33:44:66"), 0u);
    plugin->RunPass();
    EXPECT_TRUE(plugin->flow_queue.empty());
    EXPECT_EQ(plugin->devices.count("00:11:22:33:44:66"), 1u);
}

TEST_F(MainLoopTest, AFailingReloadIsLoggedOnceAndTheLoopGoesOn)
{
    dir.Write("plugin.json", "{ \"max_confidence\": 50, ");
    plugin->RunPass();
    EXPECT_FALSE(plugin->reload_pending) << "a broken file is not retried every pass";
    EXPECT_EQ(log.Count("dev-discovery: reload failed: dev-discovery: " + conf + ": JSON exception: "), 1u);
    plugin->RunPass();
    EXPECT_EQ(log.Count("reload failed"), 1u);

    // Flows are still processed, and a later reload with a mended file works.
    Queue(FlowFields());
    plugin->RunPass();
    EXPECT_EQ(plugin->devices.size(), 1u);
    dir.Write("plugin.json", R"({ "max_confidence": 50 })");
    plugin->DispatchEvent(ozPlugin::EVENT_RELOAD);
    plugin->RunPass();
    EXPECT_EQ(plugin->config.max_confidence, 50u);
}

TEST_F(MainLoopTest, UpdateTicksSaveTheCacheAtMostHourly)
{
    plugin->RunPass(); // first reload: finds no cache file
    Queue(FlowFields());
    plugin->RunPass();
    ASSERT_EQ(plugin->devices.size(), 1u);

    plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE);
    plugin->RunPass();
    EXPECT_FALSE(plugin->update_pending);
    EXPECT_EQ(log.Count("Saved 1 devices to: "), 1u) << "the first tick saves: nothing was saved yet";

    clock.Advance(3599);
    plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE);
    plugin->RunPass();
    EXPECT_EQ(log.Count("Saved 1 devices to: "), 1u);

    clock.Advance(1);
    plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE);
    plugin->RunPass();
    EXPECT_EQ(log.Count("Saved 1 devices to: "), 2u);
}

TEST_F(MainLoopTest, ReloadLoadsAnEmptyTableAndSavesAFullOne)
{
    dir.Write("cache.json",
        R"({"aa:bb:cc:dd:ee:ff":{"mac":"aa:bb:cc:dd:ee:ff","label":"printer",)"
        R"("dhcp_fingerprint":"","dhcp_vendor":"","dhcp_hostname":"","http_user_agents":[],)"
        R"("ja4_clients":[],"mdns_services":[],"ssdp_user_agents":[],"ip_list":[],)"
        R"("confidence":10,"cached":false,"other_device":false}})");
    plugin->RunPass();
    EXPECT_EQ(plugin->devices.size(), 1u);
    EXPECT_TRUE(log.Contains("dev-discovery: Loaded 1 devices from: " + dir.File("cache.json")));

    Queue(FlowFields());
    plugin->RunPass();
    plugin->DispatchEvent(ozPlugin::EVENT_RELOAD);
    plugin->RunPass();
    EXPECT_TRUE(log.Contains("dev-discovery: Saved 2 devices to: " + dir.File("cache.json")));
}

TEST_F(MainLoopTest, AReloadSavesOnlyATableThatChangedSinceTheLastSave)
{
    plugin->RunPass(); // first reload: finds no cache file
    FlowFields phone;
    phone.mac = "00:11:22:33:44:66";
    Queue(FlowFields());
    Queue(phone);
    plugin->RunPass();
    plugin->RunPass();
    size_t saves = 0;
    auto reload = [&] {
        plugin->DispatchEvent(ozPlugin::EVENT_RELOAD);
        plugin->RunPass();
        return log.Count("Saved 2 devices to: ") - std::exchange(saves, log.Count("Saved 2 devices to: "));
    };
    EXPECT_EQ(reload(), 1u) << "two new devices";
    EXPECT_EQ(reload(), 0u);

    ozpDevice answer("00:11:22:33:44:55", true);
    answer.label = "printer";
    answer.confidence = 40;
    auto phone_at = [&](const char *ip) {
        phone.ip = ip;
        Queue(phone);
    };
    // Each step changes what the cache file holds, or does not.
    const std::pair<std::function<void()>, size_t> steps[] = {
        {[&] { Queue(FlowFields()); }, 0},
        {[&] { plugin->AddUpdateDevice(answer.mac, answer, true); }, 1},
        {[&] { plugin->AddUpdateDevice(answer.mac, answer, true); }, 0},
        {[&] { phone_at("192.168.1.11"); }, 1},
        // A known address back at the front counts no update, but the file
        // keeps the order.
        {[&] { phone_at("192.168.1.10"); }, 1},
        {[&] { Queue(phone); }, 0},
    };
    for (const auto &step : steps) {
        step.first();
        plugin->RunPass();
        EXPECT_EQ(reload(), step.second) << "step " << (&step - steps);
    }
    json cached = json::parse(ReadFile(dir.File("cache.json")));
    EXPECT_EQ(cached[phone.mac]["ip_list"], R"(["192.168.1.10", "192.168.1.11"])"_json);
    EXPECT_EQ(cached[answer.mac]["label"], "printer");

    // A purge outside a save counts as a change too.
    clock.Advance(172800);
    Queue(phone);
    plugin->RunPass();
    EXPECT_EQ(plugin->PurgeDevices(), 1u);
    EXPECT_EQ(reload(), 0u);
    EXPECT_TRUE(log.Contains("dev-discovery: Saved 1 devices to: "));
}

TEST_F(MainLoopTest, AnUpdateAskedForDuringTheUpdateCycleIsKept)
{
    // The host's events come from its own threads at any time, also while
    // the plug-in thread is in the very step they ask for.
    plugin->RunPass();
    plugin->sinks["sink"]["channel"] = ozpChannelConfig();
    ozpDevice answer("00:11:22:33:44:55", true);
    answer.response = json {{"label", "printer"}, {"score", 40}};
    answer.label = "printer";
    answer.confidence = 40;
    answer.pending_updates = 1;
    plugin->devices.emplace(answer.mac, answer);

    int payloads = 0;
    ostrel_standin::SetSinkHandler([&](const std::string &, const std::string &,
                                       const std::set<std::string> &, const nlohmann::json &, uint8_t) {
        if (++payloads == 1) plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE);
    });
    plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE);
    plugin->RunPass();
    ostrel_standin::SetSinkHandler(nullptr);
    ASSERT_EQ(payloads, 1);
    EXPECT_TRUE(plugin->update_pending.load()) << "the update asked for during the cycle was dropped";
}

TEST_F(MainLoopTest, TerminateWhileWaitingEndsTheThreadAndSavesOnce)
{
    SetDebug(true, 2); // the flow is printed while it is processed
    // Longer than any test may take: only the wake of Terminate ends the wait.
    plugin->flow_wait = std::chrono::hours(1);
    Queue(FlowFields());
    plugin->Create();
    ostrel_test::Eventually(
        [this] { return log.Contains("dev-discovery: flow: origin"); }, std::chrono::seconds(30));
    // The thread now waits on an empty queue; terminate ends the wait.
    plugin->Terminate();
    ASSERT_TRUE(ostrel_test::Eventually([this] { return plugin->HasTerminated(); }, std::chrono::seconds(30)))
        << "the thread still waits for a flow";
    plugin->Join();
    EXPECT_TRUE(plugin->HasTerminated());
    EXPECT_EQ(log.Count("Saved 1 devices to: "), 1u);
    EXPECT_TRUE(oz_file_exists(dir.File("cache.json")));
}

TEST_F(MainLoopTest, AFinishedRequestIsCollectedWhileFlowsKeepArriving)
{
    plugin->RunPass();
    ozpGlobalConfig unreachable;
    unreachable.api_url_index = "http://127.0.0.1:1/index";
    plugin->api_thread.reset(new ozpApiDeviceDiscovery(unreachable));
    plugin->api_thread->Create();
    plugin->api_thread->Join();
    ASSERT_TRUE(plugin->api_thread->HasTerminated());

    Queue(FlowFields());
    Queue(FlowFields());
    plugin->RunPass();
    EXPECT_EQ(plugin->api_thread, nullptr);
    EXPECT_TRUE(log.Contains("dev-discovery: unexpected HTTP response: -1\n"));
    EXPECT_EQ(plugin->flow_queue.size(), 1u);
}

TEST_F(MainLoopTest, AnUpdateAfterARequestFinishedSendsItsChanges)
{
    plugin->RunPass();
    plugin->config.api_enable = true;
    plugin->config.api_url_upload = "http://127.0.0.1:1/upload";
    plugin->api_thread.reset(new ozpApiDeviceDiscovery(plugin->config));
    plugin->api_thread->Create();
    plugin->api_thread->Join();

    Queue(FlowFields());
    plugin->RunPass();
    ASSERT_EQ(plugin->devices.size(), 1u);
    plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE);
    plugin->RunPass();

    // The finished query was collected first, so the cycle's changes went
    // out in a new upload instead of being dropped.
    if (plugin->api_thread) plugin->api_thread->Join();
    EXPECT_TRUE(log.Contains("api-dev-disc-post: no UUID set for: X-UUID\n"));
    EXPECT_EQ(plugin->devices.begin()->second.pending_updates, 0u);
}

} // namespace
