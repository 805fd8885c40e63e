// The cache is written and read one device at a time. These tests hold the
// streamed forms to what the whole-table JSON value gives: the same bytes on
// save, and on load the same devices, in the same walk order, with the same
// messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

#include "tests/report/report_support.h"
#include "tests/support/flows.h"

namespace {

using ostrel_test::ReadFile;

std::string Mac(size_t index)
{
    return ostrel_test::MacText(0x020000000000 | (index & 0xffffff));
}

// Texts from the network: quotes, escapes, control bytes, non-ASCII and
// broken UTF-8.
const std::string ODD_TEXTS[] = {"", "plain", "quote\"back\\slash", "tab\tnew\nline\x01",
    "caf\xc3\xa9 \xe2\x82\xac", "bad\xff\xfe", "/slash/", std::string(300, 'x')};

ozpDevice VariedDevice(size_t index)
{
    auto text = [index](size_t shift) {
        return ODD_TEXTS[(index + shift) % (sizeof(ODD_TEXTS) / sizeof(ODD_TEXTS[0]))];
    };
    ozpDevice device(Mac(index), index % 3 == 0);
    device.label = text(1);
    device.dhcp_fingerprint = text(2);
    device.dhcp_vendor = text(3);
    device.dhcp_hostname = text(4);
    for (size_t n = 0; n < index % 4; n++)
        device.http_user_agents.Push(text(5 + n) + std::to_string(n));
    if (index % 2) device.ja4_clients.Push("t13d1516h2_8daaf6152771_" + std::to_string(index));
    for (size_t n = 0; n < index % 5; n++)
        device.mdns_services.Push(text(n) + "._tcp.local");
    if (index % 7 == 0) device.ssdp_user_agents.Push(text(6));
    for (size_t n = 0; n < index % 12; n++)
        device.ip_list.insert("10.0." + std::to_string(n) + ".1");
    device.confidence = static_cast<uint32_t>(index % 4 == 0 ? 4294967295u : index % 100);
    device.other_device = index % 5 == 0;
    return device;
}

std::string CacheForm(const std::string &mac, const std::string &label)
{
    ozpDevice device(mac, false);
    device.label = label;
    json j;
    to_json(j, device);
    return j.dump();
}

class CacheStreamTest : public ostrel_test::HostFixture
{
protected:
    CacheStreamTest() { SetDebug(true); }

    // What loading `text` gives when the file is first parsed whole and its
    // values walked: MAC -> label of the table, and the load's last message.
    std::pair<std::map<std::string, std::string>, std::string> WholeValueLoad(const std::string &text) const
    {
        std::map<std::string, std::string> labels;
        json whole;
        try {
            whole = json::parse(text);
        } catch (const json::exception &e) {
            return {labels, "dev-disc: " + path + ": JSON exception: " + e.what()};
        }
        for (const json &value : whole) {
            ozpDevice device;
            try {
                from_json(value, device);
            } catch (const json::exception &e) {
                return {labels, "dev-disc: " + path + ": device deserialization failed: " + e.what() + "\n"};
            }
            labels.emplace(device.mac, device.label);
        }
        return {
            labels, "dev-disc: Loaded " + std::to_string(labels.size()) + " devices from: " + path + "\n"};
    }

    std::map<std::string, std::string> Labels() const
    {
        std::map<std::string, std::string> labels;
        for (const auto &entry : plugin->devices)
            labels.emplace(entry.first, entry.second.label);
        return labels;
    }

    std::string path = dir.File("cache.json");
    std::unique_ptr<ozpPlugin> plugin = ostrel_test::MakePlugin(dir);
};

TEST_F(CacheStreamTest, SavedFileIsTheWholeTableDumpAndReadsBackTheSame)
{
    constexpr size_t COUNT = 5000;
    ASSERT_EQ(plugin->LoadDevices(path), 0u);
    json whole = json::object();
    for (size_t index = 0; index < COUNT; index++) {
        ozpDevice device = VariedDevice(index);
        device.last_update = clock.Now() - static_cast<int64_t>(index);
        ToCacheFile(whole[device.mac], device, ostrel_test::WALL_CLOCK, clock.Now());
        plugin->devices.emplace(device.mac, device);
    }

    plugin->SaveDevices(path);

    const std::string saved = ReadFile(path);
    ASSERT_EQ(saved, whole.dump(-1, ' ', false, json::error_handler_t::replace));

    // Read back and written again, the table gives the very same file.
    plugin.reset();
    auto restarted = ostrel_test::MakePlugin(dir);
    ASSERT_EQ(restarted->LoadDevices(path), COUNT);
    const std::string again = dir.File("again.json");
    restarted->LoadDevices(again);
    restarted->SaveDevices(again);
    EXPECT_EQ(ReadFile(again), saved);
    EXPECT_EQ(restarted->devices.at(Mac(4)).confidence, 4294967295u);
    EXPECT_EQ(restarted->devices.at(Mac(5)).other_device, true);
}

TEST_F(CacheStreamTest, LoadWalksAndStopsAsTheWholeValueWould)
{
    const std::string a = CacheForm(Mac(1), "a"), b = CacheForm(Mac(2), "b");
    json broken = json::parse(CacheForm(Mac(3), "broken"));
    broken.erase("other_device");
    json nested = json::parse(CacheForm(Mac(4), "nested"));
    nested["extra"] = R"({"x": [1, {"y": [2, [3, {}]]}, "z"], "w": {"v": null}})"_json;

    struct Case {
        std::string name;
        std::string text;
        std::map<std::string, std::string> loaded;
    };
    const Case cases[] = {
        // Members are walked by key, not in file order: "z" comes last.
        {"bad member first in the file", R"({"z":)" + broken.dump() + R"(,"b":)" + b + R"(,"a":)" + a + "}",
            {{Mac(1), "a"}, {Mac(2), "b"}}},
        // The last of equal keys wins, a broken earlier one included.
        {"repeated keys",
            R"({"a":)" + broken.dump() + R"(,"b":)" + b + R"(,"a":)" + a + R"(,"b":)"
                + CacheForm(Mac(2), "b again") + "}",
            {{Mac(1), "a"}, {Mac(2), "b again"}}},
        {"members a device does not know", R"({"n":)" + nested.dump() + R"(,"a":)" + a + "}",
            {{Mac(1), "a"}, {Mac(4), "nested"}}},
        {"array element that is no device", "[" + a + ",5," + b + "]", {{Mac(1), "a"}}},
        {"array of arrays", "[[" + a + "]," + b + "]", {}},
        {"lone string", R"("text")", {}},
        {"lone number", "17", {}},
        {"empty object", "{}", {}},
        {"empty array", "[]", {}},
        {"null", "null", {}},
        {"truncated after whole devices", R"({"a":)" + a + R"(,"b":)" + b, {}},
        {"text after the value", R"({"a":)" + a + "} x", {}},
        {"two values", "[" + a + "][" + b + "]", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        plugin = ostrel_test::MakePlugin(dir);
        dir.Write("cache.json", c.text);
        log.Clear();

        size_t count = plugin->LoadDevices(path);

        auto expected = WholeValueLoad(c.text);
        EXPECT_EQ(Labels(), c.loaded);
        EXPECT_EQ(Labels(), expected.first);
        EXPECT_EQ(count, expected.first.size());
        EXPECT_EQ(log.Count(expected.second), 1u) << log.Text();
        std::remove((path + ".bad").c_str());
    }
}

} // namespace
