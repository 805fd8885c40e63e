// The host's clock and the expiry test built on it.
#include <gtest/gtest.h>

#include <string>

#include "host/ozhost.h"
#include "tests/support/host_fixture.h"

namespace {

using HostTest = ostrel_test::HostFixture;

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

} // namespace
