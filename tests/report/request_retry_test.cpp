// What becomes of reported changes when the cloud refuses or fails a
// request, answers slowly, or faces a table larger than one request.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "report/reported_changes.h"
#include "report/upload_choice.h"
#include "tests/report/report_support.h"
#include "tests/support/loopback_server.h"

namespace {

using ostrel_test::MakeDevice;

const std::string GOOD = R"({"status_code":0,"status_message":"ok","data":[]})";

std::string Mac(int n)
{
    return "00:00:00:00:00:0" + std::to_string(n);
}

class RequestRetryTest : public ostrel_test::HostFixture
{
protected:
    RequestRetryTest()
    {
        plugin->config.api_enable = true;
        plugin->config.api_url_upload = server.Url("/upload");
    }

    void Add(const ozpDevice &device) { plugin->devices.emplace(device.mac, device); }

    // One update cycle and its request, collected as the main loop does; the
    // MACs the request carried, in order (none when no request went out).
    std::vector<std::string> Cycle()
    {
        plugin->ProcessUpdate();
        std::vector<std::string> macs;
        if (!plugin->api_thread) return macs;
        plugin->api_thread->Join();
        bodies.push_back(plugin->api_thread->GetBody());
        for (const json &device : json::parse(bodies.back()))
            macs.push_back(device["mac"]);
        plugin->ProcessApiResponse();
        plugin->api_thread.reset();
        return macs;
    }

    // A flow's worth of news for a device already in the table.
    void Change(const std::string &mac, const std::string &ip)
    {
        ozpDevice seen(mac, false);
        seen.ip_list.insert(ip);
        plugin->AddUpdateDevice(mac, seen, true);
    }

    ostrel_test::LoopbackServer server;
    std::unique_ptr<ozpPlugin> plugin = ostrel_test::MakePlugin(dir);
    std::vector<std::string> bodies;
};

// Transport faults, error codes and refused answers of every kind are in
// the reliability suite; these are the answers that look nearly good.
TEST_F(RequestRetryTest, AnAnswerThatIsNotQuiteGoodLeavesItsDevicesDue)
{
    struct Case {
        const char *what;
        int status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"verdicts with an error code", 500,
            R"({"status_code":0,"status_message":"ok","data":[
                {"mac":"00:00:00:00:00:01","discovery":{"label":"tv","score":10}}]})"},
        {"API error with 200", 200, R"({"status_code":3,"status_message":"quota","data":[]})"},
        {"no data", 200, R"({"status_code":0,"status_message":"ok"})"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        plugin = ostrel_test::MakePlugin(dir);
        plugin->config.api_enable = true;
        plugin->config.api_url_upload = server.Url("/upload");
        server.Answer(c.status, "application/json", c.body);
        Add(MakeDevice(Mac(1), 1, 0));
        Add(MakeDevice(Mac(2), 0, 0));

        EXPECT_EQ(Cycle(), std::vector<std::string> {Mac(1)});
        // Sent again, though nothing changed; then no more.
        server.Answer(200, "application/json", GOOD);
        EXPECT_EQ(Cycle(), std::vector<std::string> {Mac(1)});
        EXPECT_EQ(Cycle(), std::vector<std::string> {});
    }
}

// A good answer with a bad verdict covers the other devices only: the one
// whose verdict was skipped is asked about again.
TEST_F(RequestRetryTest, ADeviceWhoseVerdictIsSkippedStaysDue)
{
    for (int n = 1; n <= 3; n++)
        Add(MakeDevice(Mac(n), 1, 0));
    server.Answer(200, "application/json",
        R"({"status_code":0,"status_message":"ok","data":[
            {"mac":"00:00:00:00:00:01","discovery":{"label":"tv","score":10}},
            {"mac":"00:00:00:00:00:02","discovery":{"label":"phone","score":"high"}},
            {"mac":"00:00:00:00:00:03","discovery":{"label":"cam","score":30}}]})");
    EXPECT_EQ(Cycle(), (std::vector<std::string> {Mac(1), Mac(2), Mac(3)}));
    EXPECT_EQ(plugin->devices.at(Mac(3)).label, "cam");
    server.Answer(200, "application/json", GOOD);
    EXPECT_EQ(Cycle(), std::vector<std::string> {Mac(2)});
    EXPECT_EQ(Cycle(), std::vector<std::string> {});
}

TEST_F(RequestRetryTest, ALargeTableIsSentInTurnsThatReachEveryDevice)
{
    plugin->config.max_request_devices = 2;
    for (int n = 1; n <= 5; n++)
        Add(MakeDevice(Mac(n), 1, 0));

    EXPECT_EQ(Cycle(), (std::vector<std::string> {Mac(1), Mac(2)}));
    // The first devices keep changing; the others still get their turn.
    Change(Mac(1), "10.0.0.1");
    Change(Mac(2), "10.0.0.2");
    EXPECT_EQ(Cycle(), (std::vector<std::string> {Mac(3), Mac(4)}));
    Change(Mac(3), "10.0.0.3");
    EXPECT_EQ(Cycle(), (std::vector<std::string> {Mac(5), Mac(1)}));
    EXPECT_EQ(Cycle(), (std::vector<std::string> {Mac(2), Mac(3)}));
    EXPECT_EQ(Cycle(), std::vector<std::string> {});

    // A device purged while due is passed over.
    Change(Mac(4), "10.0.0.4");
    Change(Mac(5), "10.0.0.5");
    plugin->ProcessUpdate();
    ASSERT_NE(plugin->api_thread, nullptr);
    plugin->api_thread->Join();
    plugin->api_thread.reset(); // dropped: both stay due
    plugin->devices.erase(Mac(4));
    EXPECT_EQ(Cycle(), std::vector<std::string> {Mac(5)});
}

TEST_F(RequestRetryTest, LongTextsAreSpreadOverRequestsThatStayUnderTheBodyLimit)
{
    // The classification service takes at most 8 MiB in one body.
    EXPECT_LE(plugin->max_request_bytes, 8u * 1024 * 1024);

    const size_t limit = 64 * 1024;
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug ? "indented" : "compact");
        SetDebug(debug);
        plugin = ostrel_test::MakePlugin(dir);
        plugin->config.api_enable = true;
        plugin->config.api_url_upload = server.Url("/upload");
        plugin->max_request_bytes = limit;
        bodies.clear();
        for (int n = 1; n <= 8; n++) {
            ozpDevice device = MakeDevice(Mac(n), 1, 0);
            device.dhcp_hostname = std::string(20000 + 100 * n, 'a' + n);
            // Many short lines: what indentation makes longer.
            for (int k = 0; k < 10; k++)
                device.mdns_services.Push("_s" + std::to_string(k) + "._tcp.local");
            Add(device);
        }
        // Alone over what one request may carry: never sent, said always.
        ozpDevice huge = MakeDevice(Mac(9), 1, 0);
        huge.dhcp_hostname = std::string(limit, 'z');
        Add(huge);
        log.Clear();

        std::set<std::string> sent;
        for (int round = 0; round < 6; round++) {
            for (const std::string &mac : Cycle())
                EXPECT_TRUE(sent.insert(mac).second) << mac << " sent twice";
        }
        std::set<std::string> expected;
        for (int n = 1; n <= 8; n++)
            expected.insert(Mac(n));
        EXPECT_EQ(sent, expected);
        EXPECT_EQ(bodies.size(), 3u) << "three devices to a request";
        for (const std::string &body : bodies)
            EXPECT_LE(body.size(), limit);
        EXPECT_EQ(log.Count("dev-disc: " + Mac(9) + ": report of "), 1u) << log.Text();
        EXPECT_EQ(plugin->devices.count(Mac(9)), 1u) << "kept in the table";
    }
}

// The choice alone, at the edges of its bounds: a body that fills the bound
// exactly goes out, and a device too large only beside others stays due.
// Needs only the host's debug flag, which sets the body's indentation.
class UploadChoiceTest : public ostrel_test::HostFixture
{
};

TEST_F(UploadChoiceTest, FillsTheBoundsExactlyAndDropsOnlyWhatCanNeverGo)
{
    ozpDeviceTable::Map devices;
    for (int n = 1; n <= 4; n++)
        devices.emplace(Mac(n), MakeDevice(Mac(n), 1, 0));
    devices.at(Mac(4)).dhcp_hostname = std::string(1000, 'x');
    const size_t one = ozpUploadBody().Encode(devices.at(Mac(1)), OZP_REQUEST_ENCODE_FLAGS);
    const size_t large = ozpUploadBody().Encode(devices.at(Mac(4)), OZP_REQUEST_ENCODE_FLAGS);
    const size_t two = ozpApiDeviceDiscovery::UPLOAD_BODY_OVERHEAD + 2 * one;
    using Macs = std::vector<std::string>;
    struct Case {
        std::vector<int> due;
        int last;
        size_t max_devices, max_bytes;
        Macs sent, gone;
    } cases[] = {
        {{1, 2, 3}, 0, 10, two, {Mac(1), Mac(2)}, {}},
        {{1, 2, 3}, 0, 10, two - 1, {Mac(1)}, {}},
        {{1, 2, 3}, 2, 2, 1 << 20, {Mac(3), Mac(1)}, {}},
        // Not in the table any more: passed over, and taken out.
        {{1, 5, 3}, 1, 10, 1 << 20, {Mac(3), Mac(1)}, {Mac(5)}},
        {{1, 4}, 0, 10, two, {Mac(1)}, {}},
        {{4, 1}, 3, 10, two, {Mac(1)}, {Mac(4)}},
    };
    for (const Case &c : cases) {
        std::map<std::string, uint32_t> unreported;
        for (int n : c.due)
            unreported[Mac(n)] = 1;
        ozpUploadChoice choice = ozpChooseUpload(unreported, devices, c.last == 0 ? "" : Mac(c.last),
            c.max_devices, c.max_bytes, OZP_REQUEST_ENCODE_FLAGS);
        Macs sent;
        for (const auto &device : choice.reported)
            sent.push_back(device.first);
        EXPECT_EQ(sent, c.sent) << c.max_bytes;
        EXPECT_EQ(choice.gone, c.gone) << c.max_bytes;
        std::string body = choice.body.Finish();
        EXPECT_LE(body.size(), c.max_bytes);
        EXPECT_EQ(json::parse(body).size(), sent.size());
        if (c.gone == Macs {Mac(4)})
            EXPECT_EQ(choice.too_large, (std::vector<std::pair<std::string, size_t>> {{Mac(4), large}}));
        else
            EXPECT_TRUE(choice.too_large.empty());
    }
}

// A good answer takes off what the request carried: changes made while it
// was out stay due, and so does a device whose verdict was skipped.
TEST(CountReportedTest, TakesOffWhatWasSentAndNoMore)
{
    std::map<std::string, uint32_t> unreported = {{Mac(1), 3}, {Mac(2), 2}, {Mac(3), 1}, {Mac(4), 2}};
    const ozpApiDeviceDiscovery::Reported reported = {{Mac(3), 1}, {Mac(1), 1}, {Mac(5), 1}, {Mac(2), 2}};
    EXPECT_EQ(ozpCountReported(unreported, reported, {Mac(3)}), (std::vector<std::string> {Mac(2)}));
    EXPECT_EQ(unreported, (std::map<std::string, uint32_t> {{Mac(1), 2}, {Mac(3), 1}, {Mac(4), 2}}));
}

} // namespace
