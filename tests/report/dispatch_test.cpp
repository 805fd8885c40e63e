#include <gtest/gtest.h>

#include "tests/report/report_support.h"

namespace {

class DispatchTest : public ostrel_test::HostFixture
{
protected:
    std::unique_ptr<ozpPlugin> plugin = ostrel_test::MakePlugin(dir);
};

ozpChannelConfig Channel(uint32_t format, uint32_t compressor, bool flush)
{
    ozpChannelConfig channel;
    channel.format = static_cast<ozpChannelConfig::Format>(format);
    channel.compressor = static_cast<ozpChannelConfig::Compressor>(compressor);
    channel.flush = flush;
    return channel;
}

TEST_F(DispatchTest, OneCallPerChannelInNameOrderWithItsFlags)
{
    plugin->sinks["sink-b"]["events"]
        = Channel(ozpChannelConfig::FORMAT_OBJECT, ozpChannelConfig::COMPRESSOR_NONE, false);
    plugin->sinks["sink-a"]["zeta"]
        = Channel(ozpChannelConfig::FORMAT_MSGPACK, ozpChannelConfig::COMPRESSOR_GZ, true);
    plugin->sinks["sink-a"]["alpha"]
        = Channel(ozpChannelConfig::FORMAT_JSON, ozpChannelConfig::COMPRESSOR_NONE, false);
    plugin->sinks["sink-c"]["odd"] = Channel(7, ozpChannelConfig::COMPRESSOR_GZ, false);
    json payload = R"({"device_discovery":[{"mac":"00:11:22:33:44:55"}]})"_json;

    plugin->DispatchPayload(payload);

    struct Expected {
        const char *sink;
        const char *channel;
        uint8_t flags;
    };
    const Expected expected[] = {
        {"sink-a", "alpha", 0x01}, {"sink-a", "zeta", 0x2C}, {"sink-b", "events", 0x02},
        {"sink-c", "odd", 0x20}, // an unknown format sets no format bit
    };
    auto calls = sinks.Calls();
    ASSERT_EQ(calls.size(), 4u);
    for (size_t i = 0; i < calls.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].tag, "dev-disc");
        EXPECT_EQ(calls[i].sink, expected[i].sink);
        EXPECT_EQ(calls[i].channels, std::set<std::string> {expected[i].channel});
        EXPECT_EQ(calls[i].flags, expected[i].flags);
        EXPECT_EQ(calls[i].payload, payload);
    }
}

} // namespace
