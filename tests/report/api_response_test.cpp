// Answers of the cloud, served by a loopback server to a real request and
// then collected as the main loop does.
#include <gtest/gtest.h>

#include "tests/report/loopback_server.h"
#include "tests/report/report_support.h"

namespace {

using ostrel_test::MakeDevice;

const std::string MAC1 = "00:00:00:00:00:01";
const std::string MAC2 = "00:00:00:00:00:02";
const std::string MAC4 = "00:00:00:00:00:04";

std::string Entry(const std::string &mac, const std::string &label, int score)
{
    return R"({"mac":")" + mac + R"(","discovery":{"label":")" + label + R"(","score":)"
        + std::to_string(score) + "}}";
}

std::string Answer(const std::string &data)
{
    return R"({"status_code":0,"status_message":"ok","data":)" + data + "}";
}

class ApiResponseTest : public ostrel_test::HostFixture
{
protected:
    ApiResponseTest()
    {
        SetDebug(true);
        plugin->config.api_url_index = server.Url("/index");
        plugin->devices.emplace(MAC1, MakeDevice(MAC1, 0, 0));
    }

    void Collect(int status, const std::string &content_type, const std::string &body)
    {
        server.Answer(status, content_type, body);
        plugin->api_thread = std::make_unique<ozpApiDeviceDiscovery>(plugin->config);
        plugin->api_thread->Create();
        plugin->api_thread->Join();
        log.Clear();
        plugin->ProcessApiResponse();
        plugin->api_thread.reset();
    }

    ostrel_test::LoopbackServer server;
    std::unique_ptr<ozpPlugin> plugin = ostrel_test::MakePlugin(dir);
};

TEST_F(ApiResponseTest, AppliesEachResultEvenWithAnErrorCode)
{
    Collect(500, "application/json",
        R"({"status_code":0,"status_message":"ok","data":[
            {"mac":"00:00:00:00:00:01","discovery":{"label":"printer","score":90,"vendor":"Acme"}},
            {"mac":"00:00:00:00:00:02","discovery":{"label":"","score":20}}]})");

    EXPECT_TRUE(log.Contains("dev-disc: unexpected HTTP response: 500\n"));
    EXPECT_TRUE(log.Contains("dev-disc: 00:00:00:00:00:01: printer: score: 90\n"));
    EXPECT_TRUE(log.Contains("dev-disc: 00:00:00:00:00:02: <NO LABEL>: score: 20\n"));
    const ozpDevice &known = plugin->devices.at(MAC1);
    EXPECT_EQ(known.label, "printer");
    EXPECT_EQ(known.confidence, 90u);
    EXPECT_EQ(known.response, R"({"label":"printer","score":90,"vendor":"Acme"})"_json);
    const ozpDevice &added = plugin->devices.at(MAC2);
    EXPECT_EQ(added.label, "");
    EXPECT_EQ(added.confidence, 20u);
    EXPECT_TRUE(added.cached);
    EXPECT_EQ(added.response, R"({"label":"","score":20})"_json);
}

TEST_F(ApiResponseTest, RejectsFaultyAnswersWithTheirReason)
{
    struct Case {
        int status;
        std::string content_type;
        std::string body;
        std::string line;
    };
    const std::string good = Answer("[" + Entry(MAC1, "tv", 90) + "]");
    const std::string wrong = " not found or wrong type.\n";
    const Case cases[] = {
        {200, "application/json; charset=utf-8", good,
            "unexpected content-type: application/json; charset=utf-8\n"},
        {200, "text/html", good, "unexpected content-type: text/html\n"},
        {204, "", "", "unexpected content-type: none\n"},
        {200, "application/json", "", "no content returned.\n"},
        {200, "application/json", R"({"status_code":0,)", "malformed JSON: [json.exception.parse_error.101]"},
        {200, "application/json", "[]", "status_code" + wrong},
        {200, "application/json", R"({"status_code":-1,"status_message":"","data":[]})",
            "status_code" + wrong},
        {200, "application/json", R"({"status_code":0,"data":[]})", "status_message" + wrong},
        {200, "application/json", R"({"status_code":0,"status_message":"ok","data":{}})", "data" + wrong},
        {200, "application/json", Answer(R"([{"discovery":{"label":"tv","score":90}}])"), "mac" + wrong},
        {200, "application/json", Answer(R"([{"mac":"00:00:00:00:00:01","discovery":[]}])"),
            "discovery" + wrong},
        {200, "application/json", Answer(R"([{"mac":"00:00:00:00:00:01","discovery":{"score":90}}])"),
            "label" + wrong},
        {200, "application/json",
            Answer(R"([{"mac":"00:00:00:00:00:01","discovery":{"label":"tv","score":-1}}])"),
            "score" + wrong},
        {200, "application/json",
            Answer(R"([{"mac":"00:00:00:00:00:01","discovery":{"label":"tv","score":0.5}}])"),
            "score" + wrong},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        Collect(c.status, c.content_type, c.body);
        EXPECT_TRUE(log.Contains("dev-disc: " + c.line)) << log.Text();
        EXPECT_FALSE(log.Contains("score:"));
        EXPECT_EQ(plugin->devices.size(), 1u);
        EXPECT_EQ(plugin->devices.at(MAC1).confidence, 0u);
    }
}

TEST_F(ApiResponseTest, ApiErrorGoesToTheHostLog)
{
    SetDebug(false);
    Collect(200, "application/json",
        R"({"status_code":3,"status_message":"quota exceeded","data":[)" + Entry(MAC1, "tv", 90) + "]}");
    EXPECT_EQ(log.Text(), "dev-disc: API error: quota exceeded [3]\n");
    EXPECT_EQ(plugin->devices.at(MAC1).confidence, 0u);
}

TEST_F(ApiResponseTest, EntriesBeforeAFaultyOneStayApplied)
{
    Collect(200, "application/json",
        Answer("[" + Entry(MAC1, "tv", 50) + "," + Entry(MAC2, "phone", 60) + R"(,{"discovery":{}},)"
            + Entry(MAC4, "cam", 70) + "]"));
    EXPECT_EQ(plugin->devices.at(MAC1).label, "tv");
    EXPECT_EQ(plugin->devices.at(MAC2).label, "phone");
    EXPECT_EQ(plugin->devices.count(MAC4), 0u);
    EXPECT_EQ(log.Count("dev-disc: mac not found or wrong type.\n"), 1u);

    Collect(200, "application/json", Answer("[]"));
    EXPECT_EQ(plugin->devices.size(), 2u);
    EXPECT_EQ(plugin->devices.at(MAC1).confidence, 50u);
}

TEST_F(ApiResponseTest, FailedRequestIsRejectedWithoutResponse)
{
    {
        ostrel_test::LoopbackServer gone;
        plugin->config.api_url_index = gone.Url("/index");
    }
    Collect(200, "application/json", Answer("[]"));
    EXPECT_TRUE(log.Contains("dev-disc: unexpected HTTP response: -1\n"));
    EXPECT_TRUE(log.Contains("dev-disc: unexpected content-type: none\n"));
}

} // namespace
