#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "config/config.h"
#include "config/log_limit.h"
#include "tests/support/host_fixture.h"

using nlohmann::literals::operator""_json;

namespace {

class LogLimitTest : public ostrel_test::HostFixture
{
};

TEST_F(LogLimitTest, WritesABurstPerIntervalAndSaysHowManyWereHeldBack)
{
    ozpLogLimit limit(2, 60);
    EXPECT_TRUE(limit.Printf("tag", "tag: line %d\n", 1));
    EXPECT_TRUE(limit.Printf("tag", "tag: line %d\n", 2));
    EXPECT_FALSE(limit.Printf("tag", "tag: line %d\n", 3));
    EXPECT_FALSE(limit.Printf("tag", "tag: line %d\n", 4));
    EXPECT_EQ(limit.HeldBack(), 2u);
    EXPECT_FALSE(log.Contains("line 3"));

    clock.Advance(59);
    EXPECT_FALSE(limit.Printf("tag", "tag: line %d\n", 5));
    clock.Advance(1);
    EXPECT_TRUE(limit.Printf("tag", "tag: line %d\n", 6));
    EXPECT_TRUE(log.Contains("tag: line 6\ntag: 3 similar line(s) held back\n"));
    EXPECT_EQ(limit.HeldBack(), 0u);
}

TEST_F(LogLimitTest, WritesLinesLongerThanAnyFixedBuffer)
{
    ozpLogLimit limit;
    std::string text(10000, 'x');
    EXPECT_TRUE(limit.Printf("tag", "tag: %s\n", text.c_str()));
    EXPECT_TRUE(log.Contains("tag: " + text + "\n"));
}

TEST_F(LogLimitTest, BoundsArePositiveIntegersAndResetOnEachLoad)
{
    ozpGlobalConfig config;
    EXPECT_EQ(config.max_devices, 100000u);
    EXPECT_EQ(config.max_identified, 200000u);
    EXPECT_EQ(config.max_request_devices, 1000u);

    config.Load(R"({"max_devices": 5, "max_identified": 6, "max_request_devices": 7})"_json);
    EXPECT_EQ(config.max_devices, 5u);
    EXPECT_EQ(config.max_identified, 6u);
    EXPECT_EQ(config.max_request_devices, 7u);

    // 0, negative, fractional and text values keep the default.
    config.Load(R"({"max_devices": 0, "max_identified": -1, "max_request_devices": "9"})"_json);
    EXPECT_EQ(config.max_devices, 100000u);
    EXPECT_EQ(config.max_identified, 200000u);
    EXPECT_EQ(config.max_request_devices, 1000u);
}

} // namespace
