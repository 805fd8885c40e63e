// The host's global configuration: its singletons and the UUIDs it keeps.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <type_traits>

#include "host/ozhost.h"
#include "host/standin/control.h"
#include "tests/support/host_fixture.h"

namespace {

using HostTest = ostrel_test::HostFixture;

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

// What the host set goes with its object: one made later at the same
// address starts with none of it.
TEST(HostStateTest, StateGoesWithItsObject)
{
    std::aligned_storage_t<sizeof(ozGlobalConfig), alignof(ozGlobalConfig)> global_storage;
    std::aligned_storage_t<sizeof(ozInstance), alignof(ozInstance)> host_storage;
    for (int round = 0; round < 2; round++) {
        auto *global = new (&global_storage) ozGlobalConfig();
        auto *host = new (&host_storage) ozInstance();
        std::string uuid;
        EXPECT_FALSE(global->LoadUUID(UUID_AGENT, uuid)) << round;
        EXPECT_FALSE(host->addr_lookup.LookupGroupAddress("g", ozAddr("10.0.0.1"))) << round;
        EXPECT_EQ(host->api_manager.GetBootstrapData(ozOstrelApiData::DATA_AGENT), nullptr) << round;
        EXPECT_EQ(ostrel_standin::GetHttpOptions(host->api_manager).ca_file, "") << round;

        ostrel_standin::SetUUID(*global, UUID_AGENT, "agent-1");
        ostrel_standin::AddGroupAddress(host->addr_lookup, "g", ozAddr("10.0.0.1"));
        ostrel_standin::SetBootstrapData(host->api_manager, ozOstrelApiData::DATA_AGENT, {});
        ostrel_standin::HttpOptions options;
        options.ca_file = "/ca.pem";
        ostrel_standin::SetHttpOptions(host->api_manager, options);
        host->~ozInstance();
        global->~ozGlobalConfig();
    }
}

} // namespace
