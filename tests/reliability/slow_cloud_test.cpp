// A cloud slower than the update interval, and a table larger than one
// request, against the plug-in's real thread and request thread: every
// device is reported, changes made while the cloud works are reported next,
// and no request carries more than the service accepts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/standin/control.h"
#include "tests/reliability/fault_server.h"
#include "tests/report/report_support.h"
#include "tests/support/flows.h"
#include "tests/support/host_fixture.h"
#include "tests/support/plugin.h"
#include "classifier/classifier.h"

namespace {

using namespace std::chrono_literals;
using ostrel_test::Eventually;
using ostrel_test::FaultReply;
using ostrel_test::FaultRequest;
using ostrel_test::FaultServer;
using ostrel_test::FlowFields;

std::string Mac(int n)
{
    return ostrel_test::MacText(0x020000000000 | (static_cast<uint64_t>(n) & 0xffff));
}

std::vector<std::string> UploadedMacs(const FaultRequest &request)
{
    std::vector<std::string> macs;
    for (const json &device : json::parse(request.body))
        macs.push_back(device.at("mac"));
    return macs;
}

// Uploads wait here until the test lets the n-th one be answered.
class Gate
{
public:
    void Pass(size_t number)
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return opened >= number; });
    }

    void Open(size_t count = 1)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            opened += count;
        }
        changed.notify_all();
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    size_t opened = 0;
};

class SlowCloudTest : public ostrel_test::HostFixture
{
protected:
    SlowCloudTest()
    {
        // Level 2: every processed flow shows in the log ("flow: origin").
        SetDebug(true, 2);
        ozOstrelApiData::Bootstrap bootstrap;
        bootstrap.urls = {{"index", server.Url("/index")}, {"upload", server.Url("/upload")}};
        ostrel_standin::SetBootstrapData(host.api_manager, ozOstrelApiData::DATA_DEV_DISCOVERY, bootstrap);
    }

    ~SlowCloudTest() override { gate.Open(1000); }

    std::string Config() const
    {
        return R"({"path_device_cache": ")" + dir.File("cache.json")
            + R"(", "ostrel_api": {"enable": true}})";
    }

    void Seen(ostrel_test::RunningPlugin &running, const std::string &mac, const std::string &ip)
    {
        size_t before = log.Count("dev-disc: flow: origin 1: " + mac + " ");
        FlowFields fields;
        fields.mac = mac;
        fields.ip = ip;
        running.Queue(fields);
        ASSERT_TRUE(Eventually([&] { return log.Count("dev-disc: flow: origin 1: " + mac + " ") > before; }))
            << mac << " not processed";
    }

    // An update event, and the cycle it asked for run.
    void Update(ostrel_test::RunningPlugin &running)
    {
        running.Update();
        ASSERT_TRUE(Eventually([&] { return !running.plugin->update_pending.load(); }));
    }

    // The uploads received so far.
    std::vector<FaultRequest> Uploads() const
    {
        std::vector<FaultRequest> uploads;
        for (const FaultRequest &request : server.Requests())
            if (request.path == "/upload") uploads.push_back(request);
        return uploads;
    }

    Gate gate;
    FaultServer server;
};

TEST_F(SlowCloudTest, EveryDeviceAndEveryChangeMadeWhileTheCloudWorksIsReported)
{
    std::atomic<size_t> uploads {0};
    server.SetHandler([this, &uploads](const FaultRequest &request) {
        FaultReply reply;
        if (request.path != "/upload") return reply;
        gate.Pass(++uploads);
        json data = json::array();
        for (const std::string &mac : UploadedMacs(request))
            data.push_back({{"mac", mac}, {"discovery", {{"label", "slow"}, {"score", 10}}}});
        reply.body = json {{"status_code", 0}, {"status_message", "ok"}, {"data", data}}.dump();
        return reply;
    });
    ostrel_test::RunningPlugin running(dir, Config());
    ASSERT_TRUE(server.WaitForMoreThan(0, 20s));
    for (int n = 1; n <= 40; n++)
        ASSERT_NO_FATAL_FAILURE(Seen(running, Mac(n), "192.168.1.10"));

    ASSERT_NO_FATAL_FAILURE(Update(running));
    ASSERT_TRUE(Eventually([&] { return Uploads().size() == 1; }));
    EXPECT_EQ(UploadedMacs(Uploads()[0]).size(), 40u);

    // The cloud takes longer than several update intervals; ten devices
    // change meanwhile.
    std::set<std::string> changed;
    for (int n = 5; n <= 40; n += 4) {
        ASSERT_NO_FATAL_FAILURE(Seen(running, Mac(n), "10.0.0.1"));
        changed.insert(Mac(n));
        if (n % 12 == 1) {
            ASSERT_NO_FATAL_FAILURE(Update(running));
        }
    }
    ASSERT_NO_FATAL_FAILURE(Update(running));
    EXPECT_EQ(Uploads().size(), 1u) << "one request at a time";

    gate.Open();
    ASSERT_TRUE(Eventually([&] { return log.Contains("dev-disc: " + Mac(40) + ": slow: score: 10\n"); }));
    ASSERT_NO_FATAL_FAILURE(Update(running));
    ASSERT_TRUE(Eventually([&] { return Uploads().size() == 2; }));
    std::vector<std::string> second = UploadedMacs(Uploads()[1]);
    EXPECT_EQ(std::set<std::string>(second.begin(), second.end()), changed);
    EXPECT_EQ(second.size(), changed.size());

    // Then only news goes out.
    gate.Open();
    ASSERT_TRUE(Eventually([&] { return log.Count("dev-disc: " + Mac(5) + ": slow: score: 10\n") == 2; }));
    ASSERT_NO_FATAL_FAILURE(Update(running));
    ASSERT_NO_FATAL_FAILURE(Seen(running, Mac(2), "10.0.0.2"));
    ASSERT_NO_FATAL_FAILURE(Update(running));
    ASSERT_TRUE(Eventually([&] { return Uploads().size() == 3; }));
    EXPECT_EQ(UploadedMacs(Uploads()[2]), std::vector<std::string> {Mac(2)});
    gate.Open();
}

// After a restart every cached device is due at once: more than the
// classification service accepts in one request.
TEST_F(SlowCloudTest, ALargeTableIsClassifiedInTurnsTheServiceAccepts)
{
    const int count = static_cast<int>(ostrel_classifier::Service::MAX_UPLOAD_DEVICES) + 1;
    {
        auto writer = ostrel_test::MakePlugin(dir);
        // Saved as seen now by the running plug-in's clock, not the test's
        // fixed one, so that the devices are not too old to load.
        writer->wall_clock = [] { return static_cast<int64_t>(std::time(nullptr)); };
        for (int n = 1; n <= count; n++) {
            ozpDevice device(Mac(n), false);
            device.dhcp_vendor = "udhcp 1.36.1";
            device.ip_list.insert("10.1." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1));
            writer->devices.emplace(device.mac, device);
        }
        writer->cache_loaded = true;
        writer->cache_loaded_path = dir.File("cache.json");
        writer->SaveDevices(dir.File("cache.json"));
    }

    ostrel_classifier::Service service(
        ostrel_classifier::LoadRules(std::string(OSTREL_SOURCE_DIR) + "/examples/classifier-rules.json"), "");
    server.SetHandler([&service](const FaultRequest &request) {
        ostrel_classifier::Reply answer
            = request.path == "/upload" ? service.Upload("", request.body) : service.Index("");
        FaultReply reply;
        reply.status = answer.http_status;
        reply.body = answer.body.dump();
        return reply;
    });
    // Debug off: ten thousand devices' lines are not what this is about.
    SetFlags(0);
    ostrel_test::RunningPlugin running(dir, Config());
    ASSERT_TRUE(server.WaitForMoreThan(0, 20s)) << "the query at start-up";

    std::set<std::string> classified;
    size_t seen = 0;
    bool refused = false;
    // Update events keep coming, as the host's timer sends them; requests
    // are read as they arrive.
    auto deadline = std::chrono::steady_clock::now() + 90s;
    while (!refused && classified.size() < static_cast<size_t>(count)
        && std::chrono::steady_clock::now() < deadline) {
        if (!running.plugin->update_pending.load()) running.Update();
        if (!server.WaitForMoreThan(seen, 20ms)) continue;
        std::vector<FaultRequest> requests = server.Requests();
        for (; seen < requests.size(); seen++) {
            if (requests[seen].path != "/upload") continue;
            std::vector<std::string> macs = UploadedMacs(requests[seen]);
            refused |= macs.size() > ostrel_classifier::Service::MAX_UPLOAD_DEVICES;
            classified.insert(macs.begin(), macs.end());
        }
    }
    EXPECT_EQ(classified.size(), static_cast<size_t>(count)) << "devices uploaded";
    EXPECT_FALSE(refused);
}

} // namespace
