#include <gtest/gtest.h>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace {

class PlaceholderConfigTest : public ostrel_test::HostFixture
{
};

TEST_F(PlaceholderConfigTest, Builds)
{
    SUCCEED();
}

} // namespace
