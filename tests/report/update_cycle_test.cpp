#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

#include "tests/report/report_support.h"
#include "tests/support/loopback_server.h"

namespace {

using ostrel_test::MakeDevice;

// Sanitizers reserve terabytes of address space: no limit on it can leave
// them room and a thread none.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

// The address space in use now, in bytes.
rlim_t AddressSpace()
{
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    return pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

const std::string MAC1 = "00:00:00:00:00:01";
const std::string MAC2 = "00:00:00:00:00:02";
const std::string MAC3 = "00:00:00:00:00:03";
const std::string MAC4 = "00:00:00:00:00:04";

class UpdateCycleTest : public ostrel_test::HostFixture
{
protected:
    UpdateCycleTest()
    {
        plugin->config.api_enable = true;
        plugin->config.api_url_upload = server.Url("/upload");
        plugin->sinks["sink"]["channel"] = ozpChannelConfig();
    }

    void Add(const ozpDevice &device) { plugin->devices.emplace(device.mac, device); }

    std::set<std::string> Macs() const
    {
        std::set<std::string> macs;
        for (const auto &device : plugin->devices)
            macs.insert(device.first);
        return macs;
    }

    // Runs the request to its end and collects it as the main loop does.
    void Collect()
    {
        ASSERT_NE(plugin->api_thread, nullptr);
        plugin->api_thread->Join();
        plugin->ProcessApiResponse();
        plugin->api_thread.reset();
    }

    // The body of the upload that the cycle started; null when none.
    json Uploaded()
    {
        if (!plugin->api_thread) return nullptr;
        plugin->api_thread->Join();
        return json::parse(plugin->api_thread->GetBody());
    }

    ostrel_test::LoopbackServer server;
    std::unique_ptr<ozpPlugin> plugin = ostrel_test::MakePlugin(dir);
};

TEST_F(UpdateCycleTest, ChangedDevicesGoToTheCloudAnsweredOnesToTheSinks)
{
    Add(MakeDevice(MAC1, 1, 0));
    Add(MakeDevice(MAC2, 2, 40, R"({"label":"printer","score":40})"_json));
    // Answered but unchanged: neither payload.
    Add(MakeDevice(MAC3, 0, 40, R"({"label":"phone","score":40})"_json));
    Add(MakeDevice(MAC4, 0, 0));

    plugin->ProcessUpdate();

    auto calls = sinks.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].payload, R"({"device_discovery":[
        {"mac":"00:00:00:00:00:02","dhcp":{"fingerprint":"1,3,6,15","vendor":"","hostname":"host-02"},
         "http_user_agents":[],"ja4_clients":[],"mdns_services":["_ipp._tcp.local"],"ssdp_user_agents":[],
         "ip_address":"192.168.1.12","ip_count":1,
         "cached":true,"response":{"label":"printer","score":40}}]})"_json);
    EXPECT_EQ(Uploaded(), R"([
        {"mac":"00:00:00:00:00:01","dhcp":{"fingerprint":"1,3,6,15","vendor":"","hostname":"host-01"},
         "http_user_agents":[],"ja4_clients":[],"mdns_services":["_ipp._tcp.local"],"ssdp_user_agents":[],
         "ip_address":"192.168.1.11","ip_count":1},
        {"mac":"00:00:00:00:00:02","dhcp":{"fingerprint":"1,3,6,15","vendor":"","hostname":"host-02"},
         "http_user_agents":[],"ja4_clients":[],"mdns_services":["_ipp._tcp.local"],"ssdp_user_agents":[],
         "ip_address":"192.168.1.12","ip_count":1}])"_json);
    EXPECT_EQ(server.Requests().size(), 1u);

    EXPECT_EQ(Macs(), (std::set<std::string> {MAC1, MAC2, MAC3, MAC4}));
    EXPECT_EQ(plugin->devices[MAC1].pending_updates, 0u);
    EXPECT_EQ(plugin->devices[MAC2].pending_updates, 0u);
    EXPECT_FALSE(plugin->devices[MAC2].cached);
    EXPECT_TRUE(plugin->devices[MAC3].cached);
    EXPECT_TRUE(plugin->identified.empty());
}

TEST_F(UpdateCycleTest, RetiresConfidentDevicesAndOtherEndpoints)
{
    SetDebug(true);
    Add(MakeDevice(MAC1, 1, 80, R"({"label":"tv","score":80})"_json));
    Add(MakeDevice(MAC2, 0, 95));
    ozpDevice other = MakeDevice(MAC3, 1, 0);
    other.other_device = true;
    Add(other);
    // Unchanged and not confident: not even looked at.
    ozpDevice quiet = MakeDevice(MAC4, 0, 0);
    quiet.other_device = true;
    Add(quiet);

    plugin->ProcessUpdate();

    EXPECT_EQ(plugin->identified, (std::set<std::string> {MAC1, MAC2}));
    EXPECT_EQ(Macs(), (std::set<std::string> {MAC3, MAC4}));
    // The retired answered device reaches the sinks once more; the other
    // endpoint is reported; the confident ones never go to the cloud.
    auto calls = sinks.Calls();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].payload["device_discovery"].size(), 1u);
    EXPECT_EQ(calls[0].payload["device_discovery"][0]["mac"], MAC1);
    json uploaded = Uploaded();
    ASSERT_EQ(uploaded.size(), 1u);
    EXPECT_EQ(uploaded[0]["mac"], MAC3);
    // Retirement by confidence is printed in debug mode, the other endpoint not.
    EXPECT_TRUE(log.Contains(MAC1 + ": Confidence: 80 tv\n"));
    EXPECT_TRUE(log.Contains(MAC2 + ": Confidence: 95 \n"));
    EXPECT_FALSE(log.Contains(MAC3 + ": Confidence:"));

    // The other endpoint goes once the cloud has answered its report well.
    Collect();
    EXPECT_EQ(plugin->identified, (std::set<std::string> {MAC1, MAC2, MAC3}));
    EXPECT_EQ(Macs(), std::set<std::string> {MAC4});
    EXPECT_FALSE(log.Contains(MAC3 + ": Confidence:"));
}

TEST_F(UpdateCycleTest, OtherEndpointStaysUntilItsReportIsAnsweredWell)
{
    ozpDevice other = MakeDevice(MAC3, 1, 0);
    other.other_device = true;
    Add(other);

    server.Answer(503, "text/html", "busy");
    plugin->ProcessUpdate();
    Collect();
    EXPECT_EQ(Macs(), std::set<std::string> {MAC3});

    // A change while the report is out is reported too before it goes.
    server.Answer(200, "application/json", R"({"status_code":0,"status_message":"ok","data":[]})");
    plugin->ProcessUpdate();
    ASSERT_EQ(Uploaded().size(), 1u);
    ozpDevice seen(MAC3, false);
    seen.ip_list.insert("10.0.0.3");
    plugin->AddUpdateDevice(MAC3, seen, true);
    Collect();
    EXPECT_EQ(Macs(), std::set<std::string> {MAC3});

    plugin->ProcessUpdate();
    ASSERT_EQ(Uploaded().size(), 1u);
    Collect();
    EXPECT_TRUE(plugin->devices.empty());
    EXPECT_EQ(plugin->identified, std::set<std::string> {MAC3});
}

TEST_F(UpdateCycleTest, ChangesOfACycleWhileARequestRunsWaitForTheNextOne)
{
    server.Hold();
    Add(MakeDevice(MAC1, 1, 0));
    plugin->ProcessUpdate();
    server.WaitForRequest();
    ozpApiDeviceDiscovery *running = plugin->api_thread.get();

    Add(MakeDevice(MAC2, 3, 0));
    plugin->ProcessUpdate();

    // Not built into a payload that would be dropped.
    EXPECT_EQ(plugin->api_thread.get(), running);
    server.Release();
    running->Join();
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(json::parse(running->GetBody())[0]["mac"], MAC1);

    Collect();
    plugin->ProcessUpdate();
    json uploaded = Uploaded();
    ASSERT_EQ(uploaded.size(), 1u);
    EXPECT_EQ(uploaded[0]["mac"], MAC2);
    Collect();
    plugin->ProcessUpdate();
    EXPECT_EQ(plugin->api_thread, nullptr) << "nothing left to report";
}

TEST_F(UpdateCycleTest, SinksAndApiWorkWithoutEachOther)
{
    struct Case {
        bool sinks;
        bool api;
    };
    for (Case c : {Case {true, false}, Case {false, true}, Case {false, false}}) {
        SCOPED_TRACE(std::to_string(c.sinks) + " " + std::to_string(c.api));
        plugin = ostrel_test::MakePlugin(dir);
        sinks.Clear();
        if (c.sinks) plugin->sinks["sink"]["channel"] = ozpChannelConfig();
        plugin->config.api_enable = c.api;
        plugin->config.api_url_upload = server.Url("/upload");
        Add(MakeDevice(MAC1, 1, 10, R"({"label":"cam","score":10})"_json));

        plugin->ProcessUpdate();

        EXPECT_EQ(sinks.Calls().size(), c.sinks ? 1u : 0u);
        EXPECT_EQ(plugin->devices[MAC1].cached, !c.sinks);
        EXPECT_EQ(plugin->api_thread != nullptr, c.api);
        if (c.api) continue;

        // With the API off the change waits: it goes out once it is on.
        plugin->config.api_enable = true;
        plugin->ProcessUpdate();
        json uploaded = Uploaded();
        ASSERT_EQ(uploaded.size(), 1u);
        EXPECT_EQ(uploaded[0]["mac"], MAC1);
        // Reported, not passed to the sinks again.
        EXPECT_EQ(sinks.Calls().size(), c.sinks ? 1u : 0u);
    }
}

TEST_F(UpdateCycleTest, EmptyTableSendsNothing)
{
    plugin->ProcessUpdate();
    EXPECT_TRUE(sinks.Calls().empty());
    EXPECT_EQ(plugin->api_thread, nullptr);
}

// No loopback server here: its threads could be starting while the address
// space is limited.
using RequestThreadTest = ostrel_test::HostFixture;

// Without a request thread nothing reaches the cloud: an operator must
// learn it without debug, and the changes wait for the next cycle.
TEST_F(RequestThreadTest, AThreadThatCannotStartIsSaidAlways)
{
    if (SANITIZED) GTEST_SKIP() << "needs a limit on the address space";
    // A fresh process: a forked one may reuse the stack of an ended thread.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto plugin = ostrel_test::MakePlugin(dir);
    plugin->config.api_enable = true;
    plugin->config.api_url_upload = "http://127.0.0.1:1/upload";
    plugin->devices.emplace(MAC1, MakeDevice(MAC1, 1, 0));
    EXPECT_EXIT(
        {
            // Room for the cycle's allocations, none for a thread's stack.
            rlimit limit;
            getrlimit(RLIMIT_AS, &limit);
            rlim_t unlimited = limit.rlim_cur;
            limit.rlim_cur = AddressSpace() + 1024 * 1024;
            setrlimit(RLIMIT_AS, &limit);
            plugin->ProcessUpdate();
            limit.rlim_cur = unlimited;
            setrlimit(RLIMIT_AS, &limit);
            bool said = log.Text().rfind("dev-disc: failed to create API thread: ", 0) == 0;
            bool none = plugin->api_thread == nullptr;
            plugin->ProcessUpdate();
            bool sent = plugin->api_thread != nullptr
                && json::parse(plugin->api_thread->GetBody())[0]["mac"] == MAC1;
            std::fprintf(stderr, "said %d none %d sent %d", said, none, sent);
            _exit(said && none && sent ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "said 1 none 1 sent 1");
}

} // namespace
