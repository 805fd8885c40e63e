#include <gtest/gtest.h>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace {

class MainLoopTest : public ostrel_test::HostFixture
{
};

TEST_F(MainLoopTest, BannerAndTerminate)
{
    ozpPlugin plugin("dev-discovery", {{"conf_filename", dir.File("plugin.json")}});
    plugin.Terminate();
    plugin.Create();
    plugin.Join();
    EXPECT_TRUE(plugin.HasTerminated());
    EXPECT_EQ(log.Lines().at(0),
        "dev-discovery: Ostrel Device Discovery Processor Plugin v1.2.11 "
        "Copyright (C) 2026 Ostrel Networks. All rights reserved.");
}

} // namespace
