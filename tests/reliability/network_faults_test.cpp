// The cloud misbehaving in every way a network can, against the plug-in's
// real thread and request thread: each time the request ends, the answer is
// rejected with its reason, flows go on being processed, and the next
// request is sent and applied as usual.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/standin/control.h"
#include "tests/reliability/fault_server.h"
#include "tests/support/flows.h"
#include "tests/support/host_fixture.h"
#include "tests/support/plugin.h"

namespace {

using namespace std::chrono_literals;
using ostrel_test::Eventually;
using ostrel_test::FaultReply;
using ostrel_test::FaultServer;
using ostrel_test::FlowFields;

constexpr long TOTAL_TIMEOUT_MS = 1500;
constexpr size_t MAX_RESPONSE_BYTES = 256 * 1024;

std::string Mac(int n)
{
    return ostrel_test::MacText(0x020000000000 | (static_cast<uint64_t>(n) & 0xffff));
}

std::string Nested(size_t depth)
{
    return std::string(depth, '[') + std::string(depth, ']');
}

FaultReply Reply(FaultReply::Kind kind, int status = 200,
    const std::string &content_type = "application/json",
    const std::string &body = R"({"status_code":0,"status_message":"ok","data":[]})")
{
    FaultReply reply;
    reply.kind = kind;
    reply.status = status;
    reply.content_type = content_type;
    reply.body = body;
    return reply;
}

class NetworkFaultsTest : public ostrel_test::HostFixture
{
protected:
    NetworkFaultsTest()
    {
        // Level 2: every processed flow shows in the log ("flow: origin").
        SetDebug(true, 2);
        ozOstrelApiData::Bootstrap bootstrap;
        bootstrap.urls = {{"index", server.Url("/index")}, {"upload", server.Url("/upload")}};
        ostrel_standin::SetBootstrapData(host.api_manager, ozOstrelApiData::DATA_DEV_DISCOVERY, bootstrap);
        ostrel_standin::HttpOptions options;
        options.connect_timeout_ms = 1000;
        options.total_timeout_ms = TOTAL_TIMEOUT_MS;
        options.max_response_bytes = MAX_RESPONSE_BYTES;
        ostrel_standin::SetHttpOptions(host.api_manager, options);
    }

    std::string Config() const
    {
        return R"({"path_device_cache": ")" + dir.File("cache.json")
            + R"(", "ostrel_api": {"enable": true}})";
    }

    bool Processed(const std::string &mac) { return log.Contains("dev-disc: flow: origin 1: " + mac + " "); }

    void QueueAndWait(ostrel_test::RunningPlugin &running, const std::string &mac)
    {
        FlowFields fields;
        fields.mac = mac;
        running.Queue(fields);
        ASSERT_TRUE(Eventually([&] { return Processed(mac); })) << mac << " not processed\n" << log.Text();
    }

    FaultServer server;
};

TEST_F(NetworkFaultsTest, EveryFaultEndsTheRequestWithItsReasonWhileFlowsGoOn)
{
    struct Case {
        const char *what;
        FaultReply reply;
        // Lines expected once the answer was collected, in this order.
        std::vector<std::string> lines;
    };
    const std::string none = "dev-disc: unexpected content-type: none\n";
    const std::string no_answer = "dev-disc: unexpected HTTP response: -1\n";
    const std::string request_error
        = "api-dev-disc-post: API request error: api-dev-disc-post: " + server.Url("/upload");
    const std::string deep_data = R"({"status_code":0,"status_message":"ok","data":[{"mac":")" + Mac(1)
        + R"(","discovery":{"label":"deep","score":10,"extra":)" + Nested(100000) + "}}]}";
    FaultReply drip = Reply(FaultReply::DRIP);
    drip.drip_every = 100ms;
    FaultReply oversize = Reply(FaultReply::OVERSIZE);
    oversize.bytes = 64 * 1024 * 1024;

    const std::vector<Case> cases = {
        {"hang past the time-out", Reply(FaultReply::HANG),
            {request_error + ": Timeout was reached\n", no_answer, none}},
        {"slow drip", drip, {request_error + ": Timeout was reached\n", no_answer, none}},
        {"connection reset", Reply(FaultReply::RESET),
            {request_error + ": Failure when receiving data from the peer\n", no_answer, none}},
        {"truncated body", Reply(FaultReply::TRUNCATE),
            {request_error + ": Transferred a partial file\n", no_answer, none}},
        {"body beyond the cap", oversize,
            {request_error + ": response body larger than 262144 bytes\n", no_answer, none}},
        {"401 with an API error",
            Reply(FaultReply::ANSWER, 401, "application/json",
                R"({"status_code":401,"status_message":"unauthorized"})"),
            {"dev-disc: unexpected HTTP response: 401\n", "dev-disc: API error: unauthorized [401]\n"}},
        {"429 in plain text", Reply(FaultReply::ANSWER, 429, "text/plain", "slow down"),
            {"dev-disc: unexpected HTTP response: 429\n", "dev-disc: unexpected content-type: text/plain\n"}},
        {"500 in HTML", Reply(FaultReply::ANSWER, 500, "text/html", "<html>oops</html>"),
            {"dev-disc: unexpected HTTP response: 500\n", "dev-disc: unexpected content-type: text/html\n"}},
        {"503 without a body", Reply(FaultReply::ANSWER, 503, "application/json", ""),
            {"dev-disc: unexpected HTTP response: 503\n", "dev-disc: no content returned.\n"}},
        {"JSON with a charset", Reply(FaultReply::ANSWER, 200, "application/json; charset=utf-8"),
            {"dev-disc: unexpected content-type: application/json; charset=utf-8\n"}},
        {"no content type", Reply(FaultReply::ANSWER, 200, ""), {none}},
        {"malformed JSON", Reply(FaultReply::ANSWER, 200, "application/json", R"({"status_code":0,)"),
            {"dev-disc: malformed JSON: [json.exception.parse_error.101]"}},
        {"deeply nested JSON", Reply(FaultReply::ANSWER, 200, "application/json", Nested(100000)),
            {"dev-disc: malformed JSON: nested deeper than 64 levels\n"}},
        {"deep nesting inside a verdict", Reply(FaultReply::ANSWER, 200, "application/json", deep_data),
            {"dev-disc: malformed JSON: nested deeper than 64 levels\n"}},
    };

    ostrel_test::RunningPlugin running(dir, Config());
    // The query at start-up is answered as usual.
    ASSERT_TRUE(server.WaitForMoreThan(0, 20s));
    ASSERT_TRUE(
        Eventually([&] { return log.Contains("dev-disc: unexpected") || server.Requests().size() == 1; }));

    int next_mac = 100;
    // Devices whose reports no request has carried to a good answer yet.
    std::vector<std::string> due;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // A minute apart, so that no failure line is held back by the rate
        // limit (the API error is one of them).
        clock.Advance(60);
        server.Script(c.reply);
        size_t before = server.Requests().size();
        std::string mac = Mac(next_mac++);
        QueueAndWait(running, mac);
        due.push_back(mac);
        log.Clear();
        running.Update();
        // The start-up query may still be finishing when the first update
        // runs, which then sends nothing: the next update does.
        if (&c == &cases.front() && !server.WaitForMoreThan(before, 5s)) running.Update();
        ASSERT_TRUE(server.WaitForMoreThan(before, 20s));
        EXPECT_EQ(server.Requests().back().method, "POST");
        // The failed requests before lost nothing: their devices go again.
        for (const std::string &sent : due)
            EXPECT_NE(server.Requests().back().body.find(sent), std::string::npos) << sent;

        // While the request is out, flows are still taken one by one.
        due.push_back(Mac(next_mac++));
        QueueAndWait(running, due.back());

        const std::string last = c.lines.back();
        ASSERT_TRUE(Eventually([&] { return log.Contains(last); })) << log.Text();
        std::string text = log.Text();
        size_t at = 0;
        for (const std::string &line : c.lines) {
            size_t found = text.find(line, at);
            EXPECT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << text;
            if (found != std::string::npos) at = found + line.size();
        }
        EXPECT_FALSE(log.Contains("API response failed")) << text;
    }

    // After all of that the plug-in still reports and applies a good answer.
    std::string mac = Mac(next_mac++);
    server.Script(Reply(FaultReply::ANSWER, 200, "application/json",
        R"({"status_code":0,"status_message":"ok","data":[{"mac":")" + mac
            + R"(","discovery":{"label":"printer","score":50}}]})"));
    QueueAndWait(running, mac);
    log.Clear();
    size_t before = server.Requests().size();
    running.Update();
    ASSERT_TRUE(Eventually([&] { return log.Contains("dev-disc: " + mac + ": printer: score: 50\n"); }))
        << log.Text();
    for (const std::string &sent : due)
        EXPECT_NE(server.Requests().at(before).body.find(sent), std::string::npos) << sent;

    // Answered well: the next request carries news only.
    std::string last = Mac(next_mac++);
    QueueAndWait(running, last);
    running.Update();
    ASSERT_TRUE(server.WaitForMoreThan(before + 1, 20s));
    std::string body = server.Requests().back().body;
    EXPECT_NE(body.find(last), std::string::npos);
    for (const std::string &sent : due)
        EXPECT_EQ(body.find(sent), std::string::npos) << sent;
    running.Stop();
    EXPECT_EQ(running.plugin->devices.at(mac).label, "printer");
}

TEST_F(NetworkFaultsTest, AServerThatIsGoneOrHangsAtStartUpHoldsNothingUp)
{
    // The query at start-up hangs; flows are processed all the same, and the
    // plug-in stops promptly although the request is still out.
    server.Script(Reply(FaultReply::HANG));
    {
        ostrel_test::RunningPlugin running(dir, Config());
        ASSERT_TRUE(server.WaitForMoreThan(0, 20s));
        EXPECT_EQ(server.Requests().front().method, "GET");
        QueueAndWait(running, Mac(1));
        QueueAndWait(running, Mac(2));
        auto started = std::chrono::steady_clock::now();
        running.Stop();
        running.plugin.reset();
        // Terminating aborts the transfer instead of waiting out the time-out.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(TOTAL_TIMEOUT_MS));
    }

    // Nothing listens at all: refused at once, reported, and flows go on.
    std::string gone;
    {
        FaultServer closed;
        gone = closed.Url("/upload");
    }
    ozOstrelApiData::Bootstrap bootstrap;
    bootstrap.urls = {{"index", gone}, {"upload", gone}};
    ostrel_standin::SetBootstrapData(host.api_manager, ozOstrelApiData::DATA_DEV_DISCOVERY, bootstrap);
    log.Clear();
    ostrel_test::RunningPlugin running(dir, Config());
    ASSERT_TRUE(Eventually([&] { return log.Contains("dev-disc: unexpected content-type: none\n"); }))
        << log.Text();
    EXPECT_TRUE(log.Contains(
        "api-dev-disc-get: API request error: api-dev-disc-get: " + gone + ": Couldn't connect to server\n"))
        << log.Text();
    QueueAndWait(running, Mac(3));
}

} // namespace
