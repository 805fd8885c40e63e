// Cache entries that no save writes: a load skips the broken one, says why,
// loads the rest and never converts out of range.
#include <gtest/gtest.h>

#include <cstdio>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace {

std::string Entry(const std::string &mac, const std::string &confidence)
{
    return R"({"mac":")" + mac + R"(","label":"","dhcp_fingerprint":"","dhcp_vendor":"","dhcp_hostname":"",)"
        + R"("http_user_agents":[],"ja4_clients":[],"mdns_services":[],"ssdp_user_agents":[],"ip_list":[],)"
        + R"("confidence":)" + confidence + R"(,"cached":false,"other_device":false})";
}

class CrashSafeCacheEntriesTest : public ostrel_test::HostFixture
{
protected:
    CrashSafeCacheEntriesTest() { SetDebug(true); }
};

TEST_F(CrashSafeCacheEntriesTest, AConfidenceOutOfRangeSkipsOnlyThatEntry)
{
    const std::string message
        = "device deserialization failed: [json.exception.type_error.302] confidence must "
          "be a whole number from 0 to 4294967295, but is ";
    for (const std::string bad : {"1e30", "-5", "80.5", "4294967296"}) {
        SCOPED_TRACE(bad);
        log.Clear();
        const std::string path = dir.Write("cache.json",
            "[" + Entry("00:00:00:00:00:01", "4294967295") + "," + Entry("00:00:00:00:00:02", bad) + ","
                + Entry("00:00:00:00:00:03", "0") + "]");
        ozpPlugin plugin("dev-disc", {{"conf_filename", dir.File("plugin.json")}});
        EXPECT_EQ(plugin.LoadDevices(path), 2u);
        EXPECT_EQ(plugin.devices.at("00:00:00:00:00:01").confidence, 4294967295u);
        EXPECT_EQ(plugin.devices.at("00:00:00:00:00:03").confidence, 0u);
        EXPECT_EQ(log.Count(message), 1u) << log.Text();
        std::remove((path + ".bad").c_str());
    }
}

} // namespace
