// The cloud request thread: what it sends, what it logs and what it keeps.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/standin/control.h"
#include "plugin/plugin.h"
#include "report/api_request.h"
#include "tests/report/report_support.h"
#include "tests/support/host_fixture.h"
#include "tests/support/loopback_server.h"

namespace {

class ApiRequestTest : public ostrel_test::HostFixture
{
protected:
    ApiRequestTest()
    {
        SetDebug(true);
        config.api_url_index = server.Url("/index?v=1");
        config.api_url_upload = server.Url("/upload");
    }

    // Runs the request to its end, as the plug-in does before collecting it.
    void Run(ozpApiDeviceDiscovery &request)
    {
        request.Create();
        request.Join();
        ASSERT_TRUE(request.HasTerminated());
    }

    ostrel_test::LoopbackServer server;
    ozpGlobalConfig config;
};

TEST_F(ApiRequestTest, QueryGetsTheIndexWithoutBodyOrContentType)
{
    SetFlags(ozGlobalConfig::GF_DEBUG | ozGlobalConfig::GF_DEBUG_PAYLOAD);
    server.Answer(202, "application/json", "{}");
    ozpApiDeviceDiscovery request(config);
    Run(request);

    ASSERT_EQ(server.Requests().size(), 1u);
    ostrel_test::ReceivedRequest got = server.Requests()[0];
    EXPECT_EQ(got.method, "GET");
    EXPECT_EQ(got.path, "/index");
    EXPECT_EQ(got.params.find("v")->second, "1");
    EXPECT_EQ(got.body, "");
    EXPECT_EQ(got.Header("Content-Type"), "<absent>");
    // No UUIDs in the host: all three headers still go, as "-".
    EXPECT_EQ(got.Header("X-UUID"), "-");
    EXPECT_EQ(got.Header("X-UUID-Site"), "-");
    EXPECT_EQ(got.Header("X-UUID-Serial"), "-");
    EXPECT_EQ(log.Text(),
        "api-dev-disc-get: no UUID set for: X-UUID\n"
        "api-dev-disc-get: no UUID set for: X-UUID-Site\n"
        "api-dev-disc-get: no UUID set for: X-UUID-Serial\n"
        "api-dev-disc-get: payload:\n(none)\n");
    EXPECT_EQ(request.GetApiResponseCode(), 202);
}

TEST_F(ApiRequestTest, UploadPostsThePayloadWithUuidsAndAuthentication)
{
    ostrel_standin::SetUUID(global, UUID_AGENT, "agent-uuid");
    ostrel_standin::SetUUID(global, UUID_SITE, "site-uuid");
    ostrel_standin::SetUUID(global, UUID_SERIAL, "serial-uuid");
    config.api_auth = std::make_shared<ozOstrelApiAuthMethod::Bearer>("token-1");
    ozpApiDeviceDiscovery request(config, R"([{"mac":"00:11:22:33:44:55"}])"_json);
    Run(request);

    ASSERT_EQ(server.Requests().size(), 1u);
    ostrel_test::ReceivedRequest got = server.Requests()[0];
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.path, "/upload");
    EXPECT_EQ(got.Header("Content-Type"), "application/json");
    EXPECT_EQ(got.Header("X-UUID"), "agent-uuid");
    EXPECT_EQ(got.Header("X-UUID-Site"), "site-uuid");
    EXPECT_EQ(got.Header("X-UUID-Serial"), "serial-uuid");
    EXPECT_EQ(got.Header("Authorization"), "Bearer token-1");
    // Indented in debug mode; the payload line only with the payload flag.
    EXPECT_EQ(got.body, "[\n    {\n        \"mac\": \"00:11:22:33:44:55\"\n    }\n]");
    EXPECT_EQ(log.Text(), "");
    EXPECT_EQ(request.GetApiResponseCode(), 200);
}

TEST_F(ApiRequestTest, UploadBodyIsCompactAsciiAndSurvivesBadUtf8)
{
    SetDebug(false);
    json payload = json::array();
    payload.push_back({{"dhcp", {{"hostname", "caf\xc3\xa9"}, {"vendor", "bad\xff\xfe"}}}});
    ozpApiDeviceDiscovery request(config, payload);
    EXPECT_EQ(request.GetBody(), R"([{"dhcp":{"hostname":"caf\u00e9","vendor":"bad\ufffd\ufffd"}}])");
    Run(request);
    EXPECT_EQ(server.Requests().at(0).body, request.GetBody());
}

// A reload may rewrite or free the configuration while a request runs; the
// request must have taken what it needs when it was built.
TEST_F(ApiRequestTest, RequestDoesNotReadTheConfigurationAfterItWasBuilt)
{
    auto live = std::make_unique<ozpGlobalConfig>(config);
    live->api_auth = std::make_shared<ozOstrelApiAuthMethod::Basic>("user", "pass");
    ozpApiDeviceDiscovery request(*live, json::array());
    live->api_url_upload = server.Url("/elsewhere");
    live->api_auth = std::make_shared<ozOstrelApiAuthMethod::Bearer>("other");
    live.reset();
    Run(request);

    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].path, "/upload");
    EXPECT_EQ(server.Requests()[0].Header("Authorization"), "Basic dXNlcjpwYXNz");
}

TEST_F(ApiRequestTest, TransportFailureIsLoggedAndTheThreadStillEnds)
{
    {
        ostrel_test::LoopbackServer gone;
        config.api_url_upload = gone.Url("/upload");
    }
    ostrel_standin::SetUUID(global, UUID_AGENT, "a");
    ostrel_standin::SetUUID(global, UUID_SITE, "b");
    ostrel_standin::SetUUID(global, UUID_SERIAL, "c");
    ozpApiDeviceDiscovery request(config, json::array());
    Run(request);
    EXPECT_EQ(log.Lines().size(), 1u);
    EXPECT_TRUE(log.Contains("api-dev-disc-post: API request error: api-dev-disc-post: "
        + config.api_url_upload + ": Couldn't connect to server\n"))
        << log.Text();
    EXPECT_EQ(request.GetApiResponseCode(), -1);
}

TEST_F(ApiRequestTest, DeletingARunningRequestEndsIt)
{
    server.Hold();
    auto request = std::make_unique<ozpApiDeviceDiscovery>(config);
    request->Create();
    server.WaitForRequest();
    request.reset();
    EXPECT_TRUE(log.Contains("api-dev-disc-get: API request error: "));
}

// The host's credentials were issued for the host's URLs: an upload URL
// from the file, added by a reload, must not receive them.
TEST_F(ApiRequestTest, HostCredentialsGoOnlyToTheHostsUrls)
{
    ostrel_test::LoopbackServer elsewhere;
    ozOstrelApiData::Bootstrap bootstrap;
    bootstrap.urls = {{"index", server.Url("/index")}, {"upload", server.Url("/upload")}};
    bootstrap.auth_method = std::make_shared<ozOstrelApiAuthMethod::Bearer>("host-token");
    ostrel_standin::SetBootstrapData(host.api_manager, ozOstrelApiData::DATA_DEV_DISCOVERY, bootstrap);
    const std::string from_host = R"({"ostrel_api": {"enable": true}})";
    const std::string from_file
        = R"({"ostrel_api": {"enable": true, "url": ")" + elsewhere.Url("/upload") + R"("}})";
    auto plugin = ostrel_test::MakePlugin(dir);
    auto upload = [&](const std::string &config) {
        dir.Write("plugin.json", config);
        plugin->Reload();
        ozpApiDeviceDiscovery request(plugin->config, json::array());
        Run(request);
    };

    upload(from_host);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].Header("Authorization"), "Bearer host-token");

    upload(from_file);
    ASSERT_EQ(elsewhere.Requests().size(), 1u);
    EXPECT_EQ(elsewhere.Requests()[0].Header("Authorization"), "<absent>");

    // Back to the host's URLs: its credentials with them again.
    upload(from_host);
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Requests()[1].Header("Authorization"), "Bearer host-token");
}

} // namespace

namespace {

// Texts that exercise every branch of the string writer: escapes, control
// characters, DEL, two- to four-byte characters, and broken UTF-8 of every
// kind (bad leads, overlongs, surrogates, beyond U+10FFFF, cut sequences,
// a lead where a continuation was due).
std::vector<std::string> AwkwardTexts()
{
    std::vector<std::string> texts = {"", "plain", "q\"b\\s/\b\f\n\r\t", std::string("nul\0x\x01\x1f\x7f", 9),
        "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbf", "\xff\xfe\xc0\xaf\xc1\xbf\xf5\x80",
        "\xe0\x80\x80\xe0\xa0\x80\xed\xa0\x80\xed\x9f\xbf\xf0\x80\x80\x80\xf0\x90\x80\x80\xf4\x90\x80\x80",
        "\xf4\x8f\xbf\xbf", "cut\xe2\x82", "cut\xf0\x9f\x98", "lead\xc3\xc3\xa9", "\xe2\x28\xa1x", "\xc2"};
    // Short random byte strings, weighted towards the bytes that matter.
    const unsigned char alphabet[] = {'a', '"', '\\', 0x01, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0,
        0xc2, 0xdf, 0xe0, 0xed, 0xef, 0xf0, 0xf4, 0xf5, 0xff};
    uint32_t seed = 12345;
    for (int i = 0; i < 3000; i++) {
        std::string text;
        for (int length = i % 7; length > 0; length--) {
            seed = seed * 1103515245 + 12345;
            text += static_cast<char>(alphabet[(seed >> 16) % sizeof(alphabet)]);
        }
        texts.push_back(text);
    }
    return texts;
}

std::vector<ozpDevice> VariedDevices()
{
    std::vector<std::string> texts = AwkwardTexts();
    std::vector<ozpDevice> devices;
    for (size_t i = 0; i < texts.size(); i++) {
        const std::string &text = texts[i];
        ozpDevice device("00:11:22:33:44:" + std::to_string(i % 100), i % 2 == 0);
        device.dhcp_fingerprint = text;
        device.dhcp_vendor = i % 3 == 0 ? std::string() : "MSFT 5.0";
        device.dhcp_hostname = texts[(i * 7) % texts.size()];
        device.confidence = static_cast<uint32_t>(i * 2654435761u);
        for (size_t n = 0; n < i % 4; n++) {
            device.http_user_agents.values.push_back(texts[(i + n) % texts.size()]);
            device.mdns_services.values.push_back("svc" + std::to_string(n));
        }
        if (i % 5 != 0) device.ja4_clients.values.push_back("t13d1516h2_8daaf6152771_02713d6af862");
        if (i % 4 != 0) device.ip_list.insert(i % 2 ? "192.168.1.7" : "fe80::1");
        if (i % 6 == 1) device.ip_list.insert("10.0.0.1");
        switch (i % 4) {
        case 0:
            device.response = nullptr;
            break;
        case 1:
            device.response = {{"label", text}, {"score", 42}, {"tags", {"a", 1.5, nullptr, json::object()}}};
            break;
        case 2:
            device.response = json::array();
            break;
        default:
            device.response = {{"nested", {{"x", json::array({text})}}}};
        }
        devices.push_back(device);
    }
    return devices;
}

// The body written as text must be the bytes the JSON array of the devices'
// report forms dumps to, and each device's figure exactly what it adds.
TEST_F(ApiRequestTest, UploadBodyTextIsTheDumpOfTheReportForms)
{
    const std::vector<ozpDevice> devices = VariedDevices();
    const unsigned char flag_sets[] = {OZP_REQUEST_ENCODE_FLAGS, OZP_SINK_ENCODE_FLAGS, 0x00, 0xff,
        ozpDevice::ENCODE_CONFIDENCE | ozpDevice::ENCODE_HTTP,
        ozpDevice::ENCODE_RESPONSE | ozpDevice::ENCODE_SSDP};
    for (bool debug : {false, true}) {
        SetDebug(debug);
        int indent = debug ? 4 : -1;
        for (unsigned char flags : flag_sets) {
            ozpUploadBody body;
            json payload = json::array();
            size_t bytes = 0;
            for (const ozpDevice &device : devices) {
                bytes += body.Encode(device, flags);
                body.Add();
                device.Encode(payload, flags);
            }
            std::string text = body.Finish();
            ASSERT_EQ(text, payload.dump(indent, ' ', true, json::error_handler_t::replace))
                << "flags " << int(flags) << " debug " << debug;
            EXPECT_EQ(text.size(), bytes + (debug ? 2 : 1));
            EXPECT_LE(text.size(), bytes + ozpApiDeviceDiscovery::UPLOAD_BODY_OVERHEAD);
        }
        // One device alone, and none.
        ozpUploadBody one;
        one.Encode(devices[1], OZP_REQUEST_ENCODE_FLAGS);
        one.Add();
        json alone = json::array();
        devices[1].Encode(alone, OZP_REQUEST_ENCODE_FLAGS);
        EXPECT_EQ(one.Finish(), alone.dump(indent, ' ', true, json::error_handler_t::replace));
        EXPECT_EQ(ozpUploadBody().Finish(), "[]");
    }
}

// A body written as text is sent as it was written.
TEST_F(ApiRequestTest, UploadOfATextBodySendsThatBody)
{
    ozpUploadBody body;
    ozpDevice device("00:11:22:33:44:55", false);
    body.Encode(device, OZP_REQUEST_ENCODE_FLAGS);
    body.Add();
    ozpApiDeviceDiscovery request(config, std::move(body));
    json expected = json::array();
    device.Encode(expected, OZP_REQUEST_ENCODE_FLAGS);
    EXPECT_EQ(request.GetBody(), expected.dump(4));
    Run(request);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].body, request.GetBody());
    EXPECT_EQ(server.Requests()[0].Header("Content-Type"), "application/json");
}

} // namespace
