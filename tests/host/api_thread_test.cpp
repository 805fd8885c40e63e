// The host's HTTP exchange (ozOstrelApiThread::Perform) against a real server
// on the loopback interface, and the header values it refuses to send.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>

#include "host/ozhost.h"
#include "host/standin/control.h"
#include "tests/support/host_fixture.h"
#include "tests/support/loopback.h"
#include "tests/support/loopback_server.h"

namespace {

using ostrel_test::LoopbackServer;

class Exchange : public ozOstrelApiThread
{
public:
    Exchange()
        : ozOstrelApiThread("transport-test")
    {
    }
    void *Entry() override { return nullptr; }
    void AddHeader(const std::string &name, const std::string &value) { headers.insert({name, value}); }
};

// A listening socket that answers one request with `reply` and closes the
// connection: for answers no HTTP server would give, and to see the request
// bytes as sent.
class RawServer
{
public:
    explicit RawServer(std::string reply)
        : reply(std::move(reply))
    {
        const ostrel_test::LoopbackListener listener = ostrel_test::ListenOnLoopback(1);
        EXPECT_GE(listener.fd, 0);
        sock = listener.fd;
        port = listener.port;
        server = std::thread([this] {
            int conn = accept(sock, nullptr, nullptr);
            if (conn < 0) return;
            char buffer[4096];
            ssize_t got = read(conn, buffer, sizeof(buffer));
            if (got > 0) request.assign(buffer, static_cast<size_t>(got));
            ssize_t sent = write(conn, this->reply.data(), this->reply.size());
            (void)sent;
            close(conn);
        });
    }
    ~RawServer()
    {
        if (server.joinable()) server.join();
        close(sock);
    }
    std::string Request()
    {
        server.join();
        return request;
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

private:
    std::string reply;
    std::string request;
    int sock = -1;
    int port = 0;
    std::thread server;
};

// A port on which nothing listens.
std::string ClosedPortUrl()
{
    std::string url;
    {
        LoopbackServer gone;
        url = gone.Url("/");
    }
    return url;
}

class HttpTransportTest : public ostrel_test::HostFixture
{
protected:
    void SetTimeouts(long total_ms, size_t max_bytes = 8 * 1024 * 1024)
    {
        ostrel_standin::HttpOptions options;
        options.connect_timeout_ms = 1000;
        options.total_timeout_ms = total_ms;
        options.max_response_bytes = max_bytes;
        ostrel_standin::SetHttpOptions(host.api_manager, options);
    }

    LoopbackServer server;
    Exchange exchange;
};

TEST_F(HttpTransportTest, SendsMethodUrlHeadersAndBody)
{
    struct Case {
        ozOstrelApiThread::Method method;
        const char *name;
        std::string body;
    };
    const Case cases[] = {
        {ozOstrelApiThread::METHOD_GET, "GET", ""},
        {ozOstrelApiThread::METHOD_POST, "POST", R"({"a":[1,2]})"},
        {ozOstrelApiThread::METHOD_POST, "POST", ""},
        {ozOstrelApiThread::METHOD_PUT, "PUT", "text body"},
    };
    exchange.AddHeader("X-UUID", "agent-1");
    exchange.AddHeader("Content-Type", "application/json");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name + (" " + c.body));
        server.Answer(201, "application/json", R"({"ok":true})");
        exchange.Perform(c.method, server.Url("/v1/devices?site=7"), c.body);
        EXPECT_EQ(exchange.GetResponseCode(), 201);
        EXPECT_EQ(exchange.GetResponseContentType(), "application/json");
        EXPECT_EQ(exchange.GetResponseBody(), R"({"ok":true})");

        ostrel_test::ReceivedRequest got = server.Requests().back();
        EXPECT_EQ(got.method, c.name);
        EXPECT_EQ(got.path, "/v1/devices");
        EXPECT_EQ(got.params.find("site")->second, "7");
        EXPECT_EQ(got.body, c.body);
        EXPECT_EQ(got.Header("X-UUID"), "agent-1");
        EXPECT_EQ(got.Header("Content-Type"), "application/json");
        EXPECT_EQ(got.Header("Expect"), "<absent>");
        EXPECT_EQ(got.Header("Authorization"), "<absent>");
    }
}

TEST_F(HttpTransportTest, SendsHeadersWithEmptyValues)
{
    RawServer raw("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
    exchange.AddHeader("X-UUID-Site", "");
    exchange.Perform(ozOstrelApiThread::METHOD_GET, raw.Url(), "");
    EXPECT_EQ(exchange.GetResponseCode(), 204);
    EXPECT_NE(raw.Request().find("\r\nX-UUID-Site:\r\n"), std::string::npos);
}

TEST_F(HttpTransportTest, AuthenticatesAsTheMethodSays)
{
    exchange.SetAuthMethod(std::make_shared<ozOstrelApiAuthMethod::Basic>("agent", "s3cret"));
    exchange.Perform(ozOstrelApiThread::METHOD_GET, server.Url(), "");
    // base64("agent:s3cret")
    EXPECT_EQ(server.Requests().back().Header("Authorization"), "Basic YWdlbnQ6czNjcmV0");

    exchange.SetAuthMethod(std::make_shared<ozOstrelApiAuthMethod::Bearer>("tok.en-1"));
    exchange.Perform(ozOstrelApiThread::METHOD_POST, server.Url(), "{}");
    EXPECT_EQ(server.Requests().back().Header("Authorization"), "Bearer tok.en-1");
}

TEST_F(HttpTransportTest, ErrorAnswerKeepsCodeTypeAndBody)
{
    server.Answer(500, "application/json; charset=utf-8", R"({"status_code":0})");
    exchange.Perform(ozOstrelApiThread::METHOD_GET, server.Url(), "");
    EXPECT_EQ(exchange.GetResponseCode(), 500);
    EXPECT_EQ(exchange.GetResponseContentType(), "application/json; charset=utf-8");
    EXPECT_EQ(exchange.GetResponseBody(), R"({"status_code":0})");
}

TEST_F(HttpTransportTest, FailuresThrowAndLeaveNoResponse)
{
    SetTimeouts(300, 1024);
    RawServer garbage("\x01\x02 this is not HTTP\r\n\r\n");
    struct Case {
        const char *name;
        std::string url;
        const char *error;
    };
    const Case cases[] = {
        {"server down", ClosedPortUrl(), "Couldn't connect to server"},
        {"garbage", garbage.Url(), "Unsupported protocol"},
        {"too large", server.Url("/large"), "response body larger than 1024 bytes"},
        {"no answer", server.Url("/held"), "Timeout was reached"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A good answer first, so that a failure visibly clears it.
        server.Answer(200, "application/json", "{}");
        exchange.Perform(ozOstrelApiThread::METHOD_GET, server.Url(), "");
        ASSERT_EQ(exchange.GetResponseCode(), 200);

        if (std::string(c.name) == "too large")
            server.Answer(200, "application/json", std::string(4096, 'x'));
        if (std::string(c.name) == "no answer") server.Hold();
        try {
            exchange.Perform(ozOstrelApiThread::METHOD_GET, c.url, "");
            ADD_FAILURE() << "no exception";
        } catch (const ozException &e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
        EXPECT_EQ(exchange.GetResponseCode(), -1);
        EXPECT_EQ(exchange.GetResponseContentType(), "");
        EXPECT_EQ(exchange.GetResponseBody(), "");
    }
}

using HostTest = ostrel_test::HostFixture;

TEST_F(HostTest, ValuesThatWouldSplitAHeaderAreRefusedNotSent)
{
    const std::string bad_values[] = {"a1\r\nX-Admin: yes", "a1\n", std::string("a1\0", 3), "a\x7f", "a\tb"};

    ostrel_standin::SetUUID(global, UUID_AGENT, "agent-1");
    for (const std::string &bad : bad_values)
        EXPECT_THROW(ostrel_standin::SetUUID(global, UUID_AGENT, bad), ozException);
    std::string uuid;
    ASSERT_TRUE(global.LoadUUID(UUID_AGENT, uuid));
    EXPECT_EQ(uuid, "agent-1");

    for (const std::string &bad : bad_values) {
        ozOstrelApiData::Bootstrap data;
        data.auth_method = std::make_shared<ozOstrelApiAuthMethod::Bearer>(bad);
        EXPECT_THROW(
            ostrel_standin::SetBootstrapData(host.api_manager, ozOstrelApiData::DATA_DEV_DISCOVERY, data),
            ozException);
        data.auth_method = std::make_shared<ozOstrelApiAuthMethod::Basic>("agent", bad);
        EXPECT_THROW(
            ostrel_standin::SetBootstrapData(host.api_manager, ozOstrelApiData::DATA_DEV_DISCOVERY, data),
            ozException);
    }
    EXPECT_EQ(host.api_manager.GetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY), nullptr);

    // A listener that must never see a connection. Should a request go out
    // anyway, it ends by the time-out rather than hanging the test.
    const ostrel_test::LoopbackListener loopback = ostrel_test::ListenOnLoopback(8, SOCK_NONBLOCK);
    ASSERT_GE(loopback.fd, 0);
    const int listener = loopback.fd;
    const std::string url = "http://127.0.0.1:" + std::to_string(loopback.port) + "/";
    ostrel_standin::HttpOptions options;
    options.total_timeout_ms = 1000;
    ostrel_standin::SetHttpOptions(host.api_manager, options);

    for (const std::string &bad : bad_values) {
        for (int where = 0; where < 3; where++) {
            Exchange exchange;
            if (where == 0) exchange.AddHeader("X-UUID", bad);
            if (where == 1) exchange.AddHeader("X-" + bad, "v");
            if (where == 2) exchange.SetAuthMethod(std::make_shared<ozOstrelApiAuthMethod::Bearer>(bad));
            try {
                exchange.Perform(ozOstrelApiThread::METHOD_POST, url, "{}");
                ADD_FAILURE() << "sent with " << where;
            } catch (const ozException &e) {
                EXPECT_NE(std::string(e.what()).find("holds control character"), std::string::npos)
                    << e.what();
            }
            EXPECT_EQ(exchange.GetResponseCode(), -1);
        }
    }
    EXPECT_EQ(accept(listener, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(listener);
}

} // namespace
