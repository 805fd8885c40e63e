// The device model: bounded sets, IP list, device record and its JSON forms.
#include <gtest/gtest.h>

#include "device/device.h"
#include "tests/support/host_fixture.h"

namespace {

using Texts = std::vector<std::string>;
const std::string MAC = "00:11:22:33:44:55";

using UniqueSetTest = ostrel_test::HostFixture;
using DeviceTest = ostrel_test::HostFixture;
using DeviceJsonTest = ostrel_test::HostFixture;

template <typename Action> std::string ErrorOf(Action action)
{
    try {
        action();
    } catch (const std::exception &error) {
        return error.what();
    }
    return "";
}

TEST_F(UniqueSetTest, PushKeepsNewestFirstWithinItsBound)
{
    ozpUniqueSet<std::string> set("mdns_services");
    set.max = 3;
    for (const char *value : {"_printer._tcp.local", "_airplay._tcp.local", "_raop._tcp.local"})
        EXPECT_TRUE(set.Push(value));
    // Pushing the oldest value from the set itself moves it to the front.
    EXPECT_FALSE(set.Push(*std::prev(set.end())));
    EXPECT_TRUE(set.Push("_googlecast._tcp.local"));
    EXPECT_EQ(json(set), R"(["_googlecast._tcp.local", "_printer._tcp.local", "_raop._tcp.local"])"_json);
}

// Storage takes just the values held: a table of devices keeps these sets
// for good. At the bound one value goes out for each that comes in, also
// when the bound was lowered below what the set holds.
TEST_F(UniqueSetTest, StorageHoldsJustItsValuesAndABoundOneInOneOut)
{
    ozpUniqueSet<std::string> set("mdns_services");
    set.max = 3;
    for (const char *value : {"a", "b", "c", "d", "e"}) {
        set.Push(value);
        EXPECT_EQ(set.values.capacity(), set.size());
    }
    EXPECT_EQ(set.values, (Texts {"e", "d", "c"}));
    set.max = 2;
    set.Push("f");
    EXPECT_EQ(set.values, (Texts {"f", "e", "d"}));

    IPList list;
    list.max_size = 2;
    for (const char *address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
        EXPECT_TRUE(list.insert(address).second);
        EXPECT_EQ(list.addresses.capacity(), list.size());
    }
    EXPECT_EQ(list.addresses, (Texts {"10.0.0.3", "10.0.0.2"}));
    list.max_size = 1;
    EXPECT_TRUE(list.insert("10.0.0.4").second);
    EXPECT_EQ(list.addresses, (Texts {"10.0.0.4", "10.0.0.3"}));
}

TEST_F(UniqueSetTest, UpdateMinAndUpdateTtlDecideWhatCounts)
{
    ozpUniqueSet<std::string> every_third("ja4_clients");
    every_third.update_min = 3;
    std::string counted;
    for (int i = 1; i <= 9; i++)
        counted += every_third.Push(std::to_string(i)) ? 'y' : 'n';
    EXPECT_EQ(counted, "nnynnynny");

    SetDebug(true);
    ozpUniqueSet<std::string> hourly("http_user_agents");
    hourly.update_ttl = 3600;
    EXPECT_TRUE(hourly.Push("a"));
    clock.Advance(3599);
    EXPECT_FALSE(hourly.Push("b"));
    clock.Advance(1);
    EXPECT_TRUE(hourly.Push("c"));
    // Silent until the set has counted an update once.
    EXPECT_EQ(log.Lines(),
        (Texts {"http_user_agents: updates: 2, updated: no", "http_user_agents: updates: 3, updated: yes"}));
}

TEST_F(DeviceTest, UpdateCountsOnlyNewValues)
{
    ozpDevice stored(MAC, false);
    stored.dhcp_fingerprint = "1,3,6";
    stored.dhcp_hostname = "laptop";
    stored.http_user_agents.Push("curl");
    for (int i = 1; i <= 10; i++)
        stored.ip_list.insert("10.0.0." + std::to_string(i));
    stored.pending_updates = 0;
    const int64_t seen = stored.last_update;
    clock.Advance(60);

    ozpDevice same;
    same.dhcp_fingerprint = "1,3,6";
    same.http_user_agents.Push("curl");
    same.ip_list.insert("10.0.0.3");
    stored.Update(same);
    EXPECT_EQ(stored.pending_updates, 0u);
    EXPECT_EQ(stored.last_update, seen);

    ozpDevice changed;
    changed.dhcp_fingerprint = "1,3,6,15";
    changed.ip_list.insert("10.0.0.11");
    stored.Update(changed);
    EXPECT_EQ(stored.pending_updates, 2u);
    EXPECT_EQ(stored.last_update, seen + 60);
    EXPECT_EQ(stored.dhcp_hostname, "laptop");
    EXPECT_EQ(json(stored.ip_list), R"(["10.0.0.11", "10.0.0.3", "10.0.0.10", "10.0.0.9", "10.0.0.8",
        "10.0.0.7", "10.0.0.6", "10.0.0.5", "10.0.0.4", "10.0.0.2"])"_json);

    // Still unreported: a merge without news refreshes the time all the same.
    clock.Advance(60);
    stored.Update(ozpDevice());
    EXPECT_EQ(stored.pending_updates, 2u);
    EXPECT_EQ(stored.last_update, seen + 120);
}

TEST_F(DeviceJsonTest, EncodeWritesTheGroupsOfItsMask)
{
    ozpDevice device(MAC, true);
    device.dhcp_vendor = "MSFT 5.0";
    device.mdns_services.Push("_ipp._tcp.local");
    device.ip_list.insert("10.0.0.1");
    device.ip_list.insert("10.0.0.2");
    device.response = R"({"label": "printer"})"_json;

    json out;
    device.Encode(out, 95);
    device.Encode(out, 223);
    ozpDevice().Encode(out, ozpDevice::ENCODE_CONFIDENCE | ozpDevice::ENCODE_IP);
    json api = R"({"mac": "00:11:22:33:44:55",
        "dhcp": {"fingerprint": "", "vendor": "MSFT 5.0", "hostname": ""},
        "http_user_agents": [], "ja4_clients": [], "mdns_services": ["_ipp._tcp.local"], "ssdp_user_agents": [],
        "ip_address": "10.0.0.2", "ip_count": 2})"_json;
    json sink = api;
    sink.update(R"({"cached": true, "response": {"label": "printer"}})"_json);
    EXPECT_EQ(
        out, json({api, sink, R"({"mac": "", "confidence": 0, "ip_address": "", "ip_count": 0})"_json}));
}

TEST_F(DeviceJsonTest, CacheFormRoundTripsWithoutCounters)
{
    const json cached = R"({"mac": "00:11:22:33:44:55", "label": "phone", "dhcp_fingerprint": "",
        "dhcp_vendor": "", "dhcp_hostname": "pixel", "http_user_agents": [], "ja4_clients": [],
        "mdns_services": [], "ssdp_user_agents": ["c", "b", "a"], "ip_list": ["fe80::1", "10.0.0.1"],
        "confidence": 90, "cached": true, "other_device": true})"_json;
    ozpDevice device(MAC, false);
    device.ssdp_user_agents.max = 1;
    device.pending_updates = 0;
    cached.get_to(device);
    // Read back as stored, even beyond the set's bound.
    EXPECT_EQ(json(device), cached);
    EXPECT_EQ(cached.get<ozpDevice>().pending_updates, 1u);

    const std::pair<const char *, json> faults[] = {{"other_device", nullptr}, {"confidence", "90"},
        {"label", 5}, {"ip_list", "10.0.0.1"}, {"cached", 1}};
    const Texts errors = {
        "[json.exception.out_of_range.403] key 'other_device' not found",
        "[json.exception.type_error.302] type must be number, but is string",
        "[json.exception.type_error.302] type must be string, but is number",
        "[json.exception.type_error.302] type must be array, but is string",
        "[json.exception.type_error.302] type must be boolean, but is number",
    };
    Texts seen;
    for (const auto &[key, value] : faults) {
        json broken = cached;
        if (value.is_null())
            broken.erase(key);
        else
            broken[key] = value;
        seen.push_back(ErrorOf([&] { broken.get<ozpDevice>(); }));
    }
    EXPECT_EQ(seen, errors);
}

} // namespace
