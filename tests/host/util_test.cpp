// The host's variable expansion.
#include <gtest/gtest.h>

#include <string>

#include "host/ozhost.h"
#include "tests/support/host_fixture.h"

namespace {

using HostTest = ostrel_test::HostFixture;

TEST_F(HostTest, ExpandsKnownVariablesOnly)
{
    ozVariableMap vars {{"path_state", "/var/lib/ostrel"}, {"empty", ""}};
    EXPECT_EQ(oz_expand_variables("${path_state}/cache.json", vars), "/var/lib/ostrel/cache.json");
    EXPECT_EQ(oz_expand_variables("${unknown}/x${empty}y", vars), "${unknown}/xy");
    EXPECT_EQ(oz_expand_variables("no ${closing", vars), "no ${closing");
}

} // namespace
