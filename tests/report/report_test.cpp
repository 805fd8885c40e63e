#include <gtest/gtest.h>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace {

class PlaceholderReportTest : public ostrel_test::HostFixture
{
};

TEST_F(PlaceholderReportTest, Builds)
{
    SUCCEED();
}

} // namespace
