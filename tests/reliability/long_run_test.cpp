// A long replay on the plug-in's thread functions: flows over a drifting
// population of devices, update cycles, saves that purge what went quiet,
// with the clock driven by the test. Once the table is full, memory stays
// flat; LeakSanitizer (in ASan builds) checks that nothing leaks. The suite
// runs 100000 flows; OSTREL_LONG_RUN_FLOWS asks for more (scripts/fuzz.sh long).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "plugin/plugin.h"
#include "tests/support/flows.h"
#include "tests/support/host_fixture.h"
#include "tests/support/memory.h"

namespace {

constexpr size_t DEFAULT_FLOWS = 100000;
// Devices seen at a time; the population drifts by one new device every
// DRIFT flows, and a device not seen for MAX_AGE seconds is purged.
constexpr size_t WINDOW = 1000;
constexpr size_t DRIFT = 5;
constexpr size_t FLOWS_PER_SECOND = 20;
constexpr int MAX_AGE = 300;
constexpr size_t UPDATE_EVERY = 1000;
constexpr size_t SAVE_EVERY = 5000;
constexpr int CHECKPOINTS = 10;

size_t Flows()
{
    const char *text = std::getenv("OSTREL_LONG_RUN_FLOWS");
    return text != nullptr ? std::strtoul(text, nullptr, 10) : DEFAULT_FLOWS;
}

std::string Mac(size_t n)
{
    return ostrel_test::MacText(0x020000000000 | (n & 0xffffffff));
}

// A small pool of values per attribute, more than a set keeps, so the sets
// keep turning over.
std::string Pick(const char *prefix, size_t n, size_t pool)
{
    return prefix + std::to_string(n % pool);
}

struct Checkpoint {
    size_t flows;
    size_t devices;
    size_t heap_kb;
    size_t rss_mb;
};

class LongRunTest : public ostrel_test::HostFixture
{
};

TEST_F(LongRunTest, MemoryStaysFlatOnceTheTableIsFull)
{
    const size_t flows = Flows();
    ozpPlugin plugin("dev-disc",
        {{"conf_filename",
            dir.Write("plugin.json",
                R"({"max_device_age": )" + std::to_string(MAX_AGE) + R"(, "path_device_cache": ")"
                    + dir.File("cache.json") + R"(", "max_http_user_agents": 4, "max_mdns_services": 4})")}});
    plugin.Reload();
    plugin.LoadDevices(plugin.config.path_device_cache);

    std::vector<Checkpoint> checkpoints;
    uint64_t purged_total = 0;
    size_t largest_table = 0;
    for (size_t k = 0; k < flows; k++) {
        size_t device = k / DRIFT + (k * 7919) % WINDOW;
        ostrel_test::FlowFields fields;
        fields.mac = Mac(device);
        fields.ip = "10." + std::to_string(device / 60000 % 250) + "." + std::to_string(device / 250 % 240)
            + "." + std::to_string(device % 250 + 1 + k % 3);
        fields.protocol = k % 4 == 0 ? ozFlow::PROTO_DHCP : 7;
        fields.dhcp_fingerprint = Pick("1,3,6,", device, 7);
        fields.host_name = "host-" + std::to_string(device);
        fields.user_agent = Pick("agent/", k, 12);
        fields.user_agent_source = k % 2 ? ozFlow::UA_HTTP : ozFlow::UA_SSDP;
        fields.ja4 = Pick("t13d_", k, 9);
        fields.mdns = Pick("_svc._tcp.local.", k, 6);
        plugin.ProcessFlow(ostrel_test::MakeFlow(fields));

        if (k % FLOWS_PER_SECOND == 0) clock.Advance(1);
        if (k % UPDATE_EVERY == UPDATE_EVERY - 1) plugin.ProcessUpdate();
        if (k % SAVE_EVERY == SAVE_EVERY - 1) {
            size_t before = plugin.devices.size();
            largest_table = std::max(largest_table, before);
            plugin.SaveDevices(plugin.config.path_device_cache);
            purged_total += before - plugin.devices.size();
        }
        if ((k + 1) % (flows / CHECKPOINTS) == 0)
            checkpoints.push_back(
                {k + 1, plugin.devices.size(), ostrel_test::HeapInUse() / 1024, ostrel_test::ResidentMb()});
    }

    std::printf("[ figures  ] %zu flows, %zu devices seen, %llu purged, largest table %zu\n", flows,
        flows / DRIFT + WINDOW, static_cast<unsigned long long>(purged_total), largest_table);
    for (const Checkpoint &c : checkpoints)
        std::printf("[ figures  ] after %8zu flows: %5zu devices, heap %7zu kB, RSS %4zu MB\n", c.flows,
            c.devices, c.heap_kb, c.rss_mb);

    ASSERT_EQ(checkpoints.size(), static_cast<size_t>(CHECKPOINTS));
    // Purges keep the table to the devices seen in the last MAX_AGE seconds
    // and those that arrived since the last save.
    EXPECT_GT(purged_total, 0u);
    EXPECT_LE(largest_table, WINDOW + (MAX_AGE * FLOWS_PER_SECOND + SAVE_EVERY) / DRIFT);
    // From the third checkpoint on the table is full: the heap stays within
    // a fifth of what it was then (table size wobbles between purges).
    const size_t full = checkpoints[2].heap_kb;
    for (size_t i = 3; i < checkpoints.size(); i++)
        EXPECT_LE(checkpoints[i].heap_kb, full + full / 5 + 1024)
            << "after " << checkpoints[i].flows << " flows";
}

} // namespace
