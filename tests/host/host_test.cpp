#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "host/ozhost.h"
#include "host/standin/control.h"
#include "tests/support/host_fixture.h"

namespace {

class HostTest : public ostrel_test::HostFixture
{
};

TEST_F(HostTest, SingletonGettersThrowTheirExactTextWhenUnset)
{
    ozGlobalConfig::instance = nullptr;
    ozInstance::instance = nullptr;
    try {
        ozGlobalConfig::GetInstance();
        FAIL();
    } catch (const ozException &e) {
        EXPECT_STREQ(e.what(), "static ozGlobalConfig &ozGlobalConfig::GetInstance(): instance not found");
    }
    try {
        ozInstance::GetInstance();
        FAIL();
    } catch (const ozException &e) {
        EXPECT_STREQ(e.what(), "static ozInstance &ozInstance::GetInstance(): instance not found");
    }
}

TEST_F(HostTest, DebugOutputOnlyInDebugMode)
{
    oz_printf("%s: always %d\n", "tag", 1);
    oz_dprintf("%s: hidden\n", "tag");
    {
        ozDebugLogStream stream;
        stream << "hidden stream" << std::endl;
    }
    SetDebug(true);
    oz_dprintf("%s: shown\n", "tag");
    {
        ozDebugLogStream stream;
        stream << "shown " << 42 << std::endl;
        stream << "second line" << std::endl;
    }
    EXPECT_EQ(log.Text(), "tag: always 1\ntag: shown\nshown 42\nsecond line\n");
    EXPECT_EQ(log.Lines().size(), 4u);
}

TEST_F(HostTest, LoggedValuesCannotStartLinesOrControlTheTerminal)
{
    struct Case {
        std::string value;
        std::string shown;
    } cases[] = {
        {"x\nplug-in: forged line", "x\\x0aplug-in: forged line"},
        {"x\r\nplug-in: forged", "x\\x0d\\x0aplug-in: forged"},
        {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
        {"bell\a del\x7f", "bell\\x07 del\\x7f"},
        {"tab\tkept", "tab\tkept"},
        {"c1 \xc2\x85 \xc2\x9b", "c1 \\u0085 \\u009b"},
        {"bidi \xe2\x80\xae \xe2\x81\xa6 \xe2\x80\x8f \xd8\x9c", "bidi \\u202e \\u2066 \\u200f \\u061c"},
        {"sep \xe2\x80\xa8", "sep \\u2028"},
        {"bad \xff \xc0\xaf \xed\xa0\x80 \xc3", "bad \\xff \\xc0\\xaf \\xed\\xa0\\x80 \\xc3"},
        {"caf\xc3\xa9 \xe2\x98\x95 \xe6\x97\xa5 \xf0\x9f\x93\xb7",
            "caf\xc3\xa9 \xe2\x98\x95 \xe6\x97\xa5 \xf0\x9f\x93\xb7"},
        {"back\\slash \\x1b", "back\\\\slash \\\\x1b"},
        {"ends in a newline\n", "ends in a newline\\x0a"},
    };
    SetDebug(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        log.Clear();
        oz_printf("%s: %s: label: %s\n", "tag", "00:11:22:33:44:55", c.value.c_str());
        EXPECT_EQ(log.Text(), "tag: 00:11:22:33:44:55: label: " + c.shown + "\n");
        log.Clear();
        oz_dprintf("%s: %s -> %s\n", c.value.c_str(), "a", "b");
        EXPECT_EQ(log.Text(), c.shown + ": a -> b\n");
    }

    // The lines are those the format wrote: its own newlines stay, a value's
    // do not, except the one that ends the whole text.
    log.Clear();
    oz_dprintf("%s: payload:\n%s\n", "tag", "[\n    1\n]");
    EXPECT_EQ(log.Text(), "tag: payload:\n[\\x0a    1\\x0a]\n");
    log.Clear();
    oz_printf("%s", "tag: one line\n");
    oz_printf("%s", "tag: two\nlines\n");
    oz_printf("%s: no newline %s", "tag", "at the end\n");
    EXPECT_EQ(log.Text(), "tag: one line\ntag: two\\x0alines\ntag: no newline at the end\n");

    // A debug stream's chunk is a dump of many lines by design.
    log.Clear();
    {
        ozDebugLogStream stream;
        stream << "first \x1b[2J\n  second\r\n" << std::flush;
    }
    EXPECT_EQ(log.Text(), "first \\x1b[2J\n  second\\x0d\n");

    // Every conversion still formats as printf would.
    log.Clear();
    oz_printf("%s: %d %i %u %lu %lld %zu %5.2f %x %#o %c%c %-4s| %.*s %*d %p %%\n", "t", -3, 4, 7u, 8ul, -9ll,
        size_t(10), 3.14159, 255, 8, 'z', '\n', "ab", 2, "xyz", 3, 5, static_cast<void *>(nullptr));
    EXPECT_EQ(log.Text(), "t: -3 4 7 8 -9 10  3.14 ff 010 z\\x0a ab  | xy   5 (nil) %\n");
}

TEST_F(HostTest, ExpiryFollowsTheInjectedClock)
{
    clock.Set(10000);
    EXPECT_TRUE(oz_has_expired("x", 3600, 0, true, 0)) << "never counts as expired";
    EXPECT_FALSE(oz_has_expired("x", 3600, 10000, true, 0));
    clock.Advance(3599);
    EXPECT_FALSE(oz_has_expired("x", 3600, 10000, true, 0));
    clock.Advance(1);
    EXPECT_TRUE(oz_has_expired("x", 3600, 10000, true, 0));
    EXPECT_TRUE(oz_has_expired("x", 0, 10000, true, 0));
    EXPECT_EQ(oz_time_monotonic(), 13600);
}

TEST_F(HostTest, ExpandsKnownVariablesOnly)
{
    ozVariableMap vars {{"path_state", "/var/lib/ostrel"}, {"empty", ""}};
    EXPECT_EQ(oz_expand_variables("${path_state}/cache.json", vars), "/var/lib/ostrel/cache.json");
    EXPECT_EQ(oz_expand_variables("${unknown}/x${empty}y", vars), "${unknown}/xy");
    EXPECT_EQ(oz_expand_variables("no ${closing", vars), "no ${closing");
}

TEST_F(HostTest, NameTablesMapBothWays)
{
    EXPECT_EQ(ozOstrelApiAuthMethod::GetName(ozOstrelApiAuthMethod::AUTH_BEARER), "bearer");
    EXPECT_EQ(ozOstrelApiAuthMethod::GetType("mtls"), ozOstrelApiAuthMethod::AUTH_MTLS);
    EXPECT_EQ(ozOstrelApiAuthMethod::GetType("Basic"), ozOstrelApiAuthMethod::AUTH_INVALID);
    EXPECT_EQ(ozOstrelApiAuthMethod::GetName(static_cast<ozOstrelApiAuthMethod::Type>(9)), "invalid");
    EXPECT_EQ(ozOstrelApiData::GetName(ozOstrelApiData::DATA_DEV_DISCOVERY), "dev-discovery");
    EXPECT_EQ(ozOstrelApiData::GetType("dev-discovery"), 3);
    EXPECT_EQ(ozOstrelApiData::GetType("intel"), 2);
}

TEST_F(HostTest, UuidsAndBootstrapData)
{
    std::string uuid = "-";
    EXPECT_FALSE(global.LoadUUID(UUID_AGENT, uuid));
    EXPECT_EQ(uuid, "-");
    ostrel_standin::SetUUID(global, UUID_SITE, "site-1");
    EXPECT_TRUE(global.LoadUUID(UUID_SITE, uuid));
    EXPECT_EQ(uuid, "site-1");

    EXPECT_EQ(host.api_manager.GetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY), nullptr);
    ozOstrelApiData::Bootstrap data;
    data.urls["index"] = "http://127.0.0.1:1/index";
    data.auth_method = std::make_shared<ozOstrelApiAuthMethod::Bearer>("token");
    ostrel_standin::SetBootstrapData(host.api_manager, ozOstrelApiData::DATA_DEV_DISCOVERY, data);
    auto got = host.api_manager.GetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->urls.at("index"), "http://127.0.0.1:1/index");
    EXPECT_EQ(got->auth_method->GetType(), ozOstrelApiAuthMethod::AUTH_BEARER);
}

class HeaderExchange : public ozOstrelApiThread
{
public:
    HeaderExchange()
        : ozOstrelApiThread("header-test")
    {
    }
    void *Entry() override { return nullptr; }
    void AddHeader(const std::string &name, const std::string &value) { headers.insert({name, value}); }
};

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
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), length), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &length);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    ostrel_standin::HttpOptions options;
    options.total_timeout_ms = 1000;
    ostrel_standin::SetHttpOptions(host.api_manager, options);

    for (const std::string &bad : bad_values) {
        for (int where = 0; where < 3; where++) {
            HeaderExchange exchange;
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

class ThrowingThread : public ozThread
{
public:
    ThrowingThread()
        : ozThread("thrower")
    {
    }
    ~ThrowingThread() override { Join(); }
    void *Entry() override { throw ozException("%s: boom %d", tag.c_str(), 7); }
};

TEST_F(HostTest, AnExceptionEndsOnlyItsThread)
{
    ThrowingThread thread;
    thread.Create();
    thread.Join();
    EXPECT_TRUE(thread.HasTerminated());
    EXPECT_TRUE(log.Contains("thrower: thread ended by exception: thrower: boom 7"));
}

} // namespace
