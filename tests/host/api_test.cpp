// The host's API names and bootstrap data.
#include <gtest/gtest.h>

#include <string>

#include "host/ozhost.h"
#include "tests/support/host_fixture.h"

namespace {

using HostTest = ostrel_test::HostFixture;

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

} // namespace
