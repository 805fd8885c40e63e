#include <gtest/gtest.h>

#include <thread>

#include "host/ozhost.h"
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
    ozVariableMap vars{{"path_state", "/var/lib/ostrel"}, {"empty", ""}};
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
    global.SetUUID(UUID_SITE, "site-1");
    EXPECT_TRUE(global.LoadUUID(UUID_SITE, uuid));
    EXPECT_EQ(uuid, "site-1");

    EXPECT_EQ(host.api_manager.GetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY), nullptr);
    ozOstrelApiData::Bootstrap data;
    data.urls["index"] = "http://127.0.0.1:1/index";
    data.auth_method = std::make_shared<ozOstrelApiAuthMethod::Bearer>("token");
    host.api_manager.SetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY, data);
    auto got = host.api_manager.GetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->urls.at("index"), "http://127.0.0.1:1/index");
    EXPECT_EQ(got->auth_method->GetType(), ozOstrelApiAuthMethod::AUTH_BEARER);
}

class ThrowingThread : public ozThread
{
public:
    ThrowingThread() : ozThread("thrower") {}
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
