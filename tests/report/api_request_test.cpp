// The cloud request thread: what it sends, what it logs and what it keeps.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/standin/control.h"
#include "report/api_request.h"
#include "tests/report/loopback_server.h"
#include "tests/report/report_support.h"
#include "tests/support/host_fixture.h"

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
