#include <gtest/gtest.h>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace {

class PlaceholderDeviceTest : public ostrel_test::HostFixture
{
};

TEST_F(PlaceholderDeviceTest, Builds)
{
    SUCCEED();
}

} // namespace
