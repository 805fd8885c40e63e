// Answers of the cloud, served by a loopback server to a real request and
// then collected as the main loop does.
#include <gtest/gtest.h>

#include "tests/report/report_support.h"
#include "tests/support/loopback_server.h"

namespace {

using ostrel_test::MakeDevice;

const std::string MAC1 = "00:00:00:00:00:01";
const std::string MAC2 = "00:00:00:00:00:02";
const std::string MAC3 = "00:00:00:00:00:03";
const std::string MAC4 = "00:00:00:00:00:04";

std::string Entry(const std::string &mac, const std::string &label, uint64_t score)
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
    plugin->devices.emplace(MAC2, MakeDevice(MAC2, 0, 0));
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
    const ozpDevice &other = plugin->devices.at(MAC2);
    EXPECT_EQ(other.label, "");
    EXPECT_EQ(other.confidence, 20u);
    EXPECT_EQ(other.response, R"({"label":"","score":20})"_json);
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

// One bad verdict is the cloud's fault about one device: the others are
// applied, and without debug one line a minute at most says so.
TEST_F(ApiResponseTest, FaultyVerdictsAreSkippedAndSaidTheOthersApplied)
{
    SetDebug(false);
    for (const std::string &mac : {MAC2, MAC3, MAC4})
        plugin->devices.emplace(mac, MakeDevice(mac, 0, 0));
    const std::string data = "[" + Entry(MAC1, "tv", 50) + R"(,7,{"mac":")" + MAC2
        + R"(","discovery":{"label":"x","score":"90"}},{"mac":")" + MAC3 + R"("},{"discovery":{}},)"
        + Entry(MAC2, "phone", 4294967296u) + "," + Entry(MAC4, "cam", 70) + "]";
    Collect(200, "application/json", Answer(data));
    EXPECT_EQ(log.Text(), "dev-disc: answer: 5 of 7 verdict(s) skipped; first: data[1]: not an object\n");
    EXPECT_EQ(plugin->devices.at(MAC1).label, "tv");
    EXPECT_EQ(plugin->devices.at(MAC4).label, "cam");
    EXPECT_EQ(plugin->devices.at(MAC2).confidence, 0u);
    EXPECT_EQ(plugin->devices.at(MAC3).confidence, 0u);

    const std::string bad = "[" + Entry(MAC1, "tv", 60) + R"(,{"mac":")" + MAC2 + R"(","discovery":[]}])";
    const std::string line = "dev-disc: answer: 1 of 2 verdict(s) skipped; first: data[1]: " + MAC2
        + ": discovery not found or wrong type\n";
    for (int i = 0; i < 5; i++)
        Collect(200, "application/json", Answer(bad));
    EXPECT_EQ(log.Text(), "") << "five lines a minute";
    EXPECT_EQ(plugin->devices.at(MAC1).confidence, 60u);
    clock.Advance(60);
    Collect(200, "application/json", Answer(bad));
    EXPECT_EQ(log.Text(), line + "dev-disc: 1 similar line(s) held back\n");

    // Each verdict is applied as it is read: its lines come before the
    // faults of the entries after it.
    SetDebug(true);
    Collect(200, "application/json", Answer(bad));
    const std::string text = log.Text();
    const size_t applied = text.find("dev-disc: " + MAC1 + ": tv: score: 60\n");
    const size_t fault = text.find("dev-disc: discovery not found or wrong type.\n");
    ASSERT_NE(fault, std::string::npos) << text;
    EXPECT_LT(applied, fault) << text;
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

// The cloud may name any MAC; only what a flow could have made a device
// becomes one. The entries around a refused one are still applied.
TEST_F(ApiResponseTest, AnswersForWhatMustNotBeADeviceAreSkipped)
{
    SetFlags(ozGlobalConfig::GF_DEBUG | ozGlobalConfig::GF_VERBOSE);
    const std::string ignored = "00:00:5e:00:01:01";
    const std::string retired = "00:00:00:00:00:09";
    plugin->config.device_mac_ignore = {ignored};
    plugin->AddIdentified(retired);
    plugin->devices.emplace(MAC2, MakeDevice(MAC2, 0, 0));
    plugin->devices.emplace(MAC4, MakeDevice(MAC4, 0, 0));
    const std::vector<std::string> not_macs = {"", "not-a-mac", "00:00:00:00:00:0A", "00-00-00-00-00-05",
        "00:00:00:00:00:05:06", "192.168.1.1", "\n00:00:00:00:00:05"};

    std::string data = "[" + Entry(MAC2, "phone", 30);
    for (const std::string &mac : not_macs)
        data += "," + json {{"mac", mac}, {"discovery", {{"label", "x"}, {"score", 99}}}}.dump();
    data += "," + Entry(ignored, "router", 99) + "," + Entry(retired, "tv", 99) + "," + Entry(MAC4, "cam", 40)
        + "]";
    Collect(200, "application/json", Answer(data));

    EXPECT_EQ(plugin->devices.size(), 3u) << log.Text();
    EXPECT_EQ(plugin->devices.at(MAC2).label, "phone");
    EXPECT_EQ(plugin->devices.at(MAC4).label, "cam");
    EXPECT_EQ(plugin->devices.count(ignored), 0u);
    EXPECT_EQ(plugin->devices.count(retired), 0u);
    EXPECT_EQ(log.Count(": answer skipped; not a MAC address.\n"), not_macs.size());
    // The plug-in quotes what is no MAC; the stand-in's log escapes the quote's backslash again.
    EXPECT_TRUE(log.Contains("dev-disc: \"\\\\n00:00:00:00:00:05\": answer skipped; not a MAC address.\n"));
    EXPECT_TRUE(log.Contains("dev-disc: " + ignored + ": answer skipped; ignored.\n"));
    EXPECT_TRUE(log.Contains("dev-disc: " + retired + ": answer skipped; identified.\n"));
    EXPECT_FALSE(log.Contains("score: 99"));
}

TEST_F(ApiResponseTest, NumbersBeyondTheirRangeAreNotWrapped)
{
    // 2^32 + 80 would wrap to 80 and retire the device.
    plugin->devices.emplace(MAC2, MakeDevice(MAC2, 0, 0));
    Collect(200, "application/json",
        Answer("[" + Entry(MAC1, "tv", 4294967376u) + "," + Entry(MAC2, "phone", 10) + "]"));
    EXPECT_TRUE(log.Contains("dev-disc: score not found or wrong type.\n"));
    EXPECT_EQ(plugin->devices.at(MAC1).confidence, 0u);
    EXPECT_EQ(plugin->devices.at(MAC2).confidence, 10u);

    Collect(200, "application/json", Answer("[" + Entry(MAC1, "tv", 4294967295u) + "]"));
    EXPECT_EQ(plugin->devices.at(MAC1).confidence, 4294967295u);

    SetDebug(false);
    for (std::string code : {"2147483648", "4294967297", "18446744073709551615"}) {
        Collect(
            200, "application/json", R"({"status_code":)" + code + R"(,"status_message":"quota","data":[]})");
        EXPECT_EQ(log.Text(), "dev-disc: API error: quota [" + code + "]\n");
    }
}

TEST_F(ApiResponseTest, LongLabelsAreCutAndOversizedVerdictsSkipped)
{
    // 1 + 2 * 150 bytes: byte 256 is the middle of a character.
    std::string label = "a";
    for (int i = 0; i < 150; i++)
        label += "\xc3\xa9";
    json entries = json::array();
    entries.push_back({{"mac", MAC1}, {"discovery", {{"label", label}, {"score", 50}}}});
    entries.push_back({{"mac", MAC2},
        {"discovery", {{"label", "big"}, {"score", 50}, {"notes", std::string(20000, 'n')}}}});
    entries.push_back({{"mac", MAC3}, {"discovery", {{"label", "ok"}, {"score", 50}}}});
    plugin->devices.emplace(MAC2, MakeDevice(MAC2, 0, 0));
    plugin->devices.emplace(MAC3, MakeDevice(MAC3, 0, 0));
    Collect(200, "application/json", Answer(entries.dump()));

    const ozpDevice &cut = plugin->devices.at(MAC1);
    EXPECT_EQ(cut.label, label.substr(0, 255));
    EXPECT_EQ(cut.response["label"], cut.label) << "the sinks get the cut label too";
    EXPECT_EQ(cut.confidence, 50u);
    EXPECT_TRUE(log.Contains("dev-disc: " + MAC1 + ": label cut to 255 bytes.\n"));
    EXPECT_EQ(plugin->devices.at(MAC2).confidence, 0u);
    EXPECT_TRUE(log.Contains("dev-disc: " + MAC2 + ": answer skipped; verdict of "));
    EXPECT_EQ(plugin->devices.at(MAC3).label, "ok");
}

// Without debug an operator still learns that the cloud fails, once per
// request and not once a second while it stays down.
TEST_F(ApiResponseTest, FailedRequestsAreSaidAlwaysOnceEachAndRateLimited)
{
    SetDebug(false);
    std::string gone;
    {
        ostrel_test::LoopbackServer closed;
        gone = closed.Url("/index");
    }
    const std::string failed = "dev-disc: API request failed: ";
    struct Case {
        int status;
        std::string content_type;
        std::string body;
        std::string line;
    };
    const std::string good = Answer("[]");
    const std::vector<Case> cases = {
        {0, "", "", failed + "api-dev-disc-get: " + gone + ": Couldn't connect to server\n"},
        {503, "text/html", "<html>", failed + "unexpected HTTP response: 503\n"},
        {500, "application/json", good, failed + "unexpected HTTP response: 500\n"},
        {200, "text/html", "<html>", failed + "unexpected content-type: text/html\n"},
        {200, "application/json", R"({"status_code":0})",
            failed + "status_message not found or wrong type\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        plugin->config.api_url_index = c.status == 0 ? gone : server.Url("/index");
        Collect(c.status, c.content_type, c.body);
        EXPECT_EQ(log.Text(), c.line);
    }

    // Five lines a minute; then the count of those held back.
    Collect(200, "application/json", R"({"status_code":7,"status_message":"busy"})");
    EXPECT_EQ(log.Text(), "");
    Collect(200, "text/plain", "");
    EXPECT_EQ(log.Text(), "");
    Collect(200, "application/json", good);
    EXPECT_EQ(log.Text(), "") << "a good answer says nothing";
    clock.Advance(60);
    Collect(401, "application/json", R"({"status_code":401,"status_message":"unauthorized"})");
    EXPECT_EQ(log.Text(), "dev-disc: API error: unauthorized [401]\ndev-disc: 2 similar line(s) held back\n");
}

} // namespace
