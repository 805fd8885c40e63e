// The cache is written and read one device at a time. These tests hold the
// streamed forms to what the whole-table JSON value gives: the same bytes on
// save, and on load the same devices, in the same walk order, with the same
// messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <map>
#include <optional>
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
        // A value that is no device is skipped; the first one is said.
        std::string failed;
        for (const json &value : whole) {
            ozpDevice device;
            try {
                from_json(value, device);
            } catch (const json::exception &e) {
                if (failed.empty())
                    failed = "dev-disc: " + path + ": device deserialization failed: " + e.what() + "\n";
                continue;
            }
            labels.emplace(device.mac, device.label);
        }
        if (!failed.empty()) return {labels, failed};
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

TEST_F(CacheStreamTest, LoadWalksAndSkipsAsTheWholeValueWould)
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
        {"array element that is no device", "[" + a + ",5," + b + "]", {{Mac(1), "a"}, {Mac(2), "b"}}},
        {"array of arrays", "[[" + a + "]," + b + "]", {{Mac(2), "b"}}},
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

// Whatever a file holds, the device read straight from the parser's events
// is the one a whole-value load gives, with the same age and the same
// message: every key of a device given every kind of wrong value, missing
// or repeated, and bytes of a saved file replaced or dropped one at a time.
TEST_F(CacheStreamTest, DamagedFilesLoadAsTheWholeValueWould)
{
    clock.Set(1000000);
    const int64_t max_age = static_cast<int64_t>(plugin->config.max_device_age);
    json whole = json::object();
    for (size_t index = 1; index <= 3; index++) {
        ozpDevice device = VariedDevice(index * 9 + 2);
        device.last_update = clock.Now() - static_cast<int64_t>(index * 1000);
        ToCacheFile(whole[device.mac], device, ostrel_test::WALL_CLOCK, clock.Now());
    }
    auto dump = [](const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); };
    const std::string saved = dump(whole);

    // MAC -> cache form and last_update as the whole value gives them, and
    // the load's message.
    auto expect = [&](const std::string &text) {
        std::map<std::string, std::pair<std::string, int64_t>> table;
        json parsed;
        try {
            parsed = json::parse(text);
        } catch (const json::exception &) {
            // The parser's own message, which these readers share.
            return std::make_pair(
                table, "dev-disc: " + path + ": JSON exception: [json.exception.parse_error");
        }
        std::string failed;
        for (const json &value : parsed) {
            ozpDevice device;
            try {
                from_json(value, device);
            } catch (const json::exception &e) {
                if (failed.empty())
                    failed = "dev-disc: " + path + ": device deserialization failed: " + e.what() + "\n";
                continue;
            }
            std::optional<int64_t> last_seen = CacheLastSeen(value);
            int64_t age = last_seen ? std::max<int64_t>(ostrel_test::WALL_CLOCK - *last_seen, 0) : 0;
            if (age >= max_age || table.count(device.mac) || plugin->IgnoreDeviceMac(device.mac)) continue;
            json form;
            to_json(form, device);
            table[device.mac] = {dump(form), age >= clock.Now() - 1 ? 1 : clock.Now() - age};
        }
        return std::make_pair(table, failed.empty() ? std::string("dev-disc: Loaded ") : failed);
    };
    auto check = [&](const std::string &text) {
        SCOPED_TRACE(text);
        plugin = ostrel_test::MakePlugin(dir);
        dir.Write("cache.json", text);
        log.Clear();
        plugin->LoadDevices(path);
        std::map<std::string, std::pair<std::string, int64_t>> loaded;
        for (const auto &entry : plugin->devices) {
            json form;
            to_json(form, entry.second);
            loaded[entry.first] = {dump(form), entry.second.last_update};
        }
        auto expected = expect(text);
        EXPECT_EQ(loaded, expected.first);
        EXPECT_NE(log.Text().find(expected.second), std::string::npos) << log.Text();
        std::remove((path + ".bad").c_str());
    };

    const std::string wrong[] = {"5", "-5", "80.5", "1e30", "4294967296", "18446744073709551615", "\"x\"",
        "[\"a\",1]", "[\"a\",[\"b\"]]", "[\"a\",{\"b\":2}]", "{\"k\":[1]}", "{}", "null", "true", "[]",
        "[\"0.0.0.0\",\"10.0.0.1\"]"};
    const std::string mac = Mac(3 * 9 + 2);
    for (const auto &member : whole[mac].items()) {
        const std::string key = member.key(), good = dump(member.value());
        for (const std::string &value : wrong) {
            json changed = whole;
            changed[mac][key] = "@@";
            std::string text = dump(changed);
            size_t at = text.find("\"@@\"");
            check(std::string(text).replace(at, 4, value));
            check(std::string(text).replace(at, 4, value + ",\"" + key + "\":" + good));
            check(std::string(text).replace(at, 4, good + ",\"" + key + "\":" + value));
        }
        json missing = whole;
        missing[mac].erase(key);
        check(dump(missing));
    }
    for (size_t at = 0; at < saved.size(); at += 13) {
        for (const char *byte : {"\"", "]", ",", "0", "\\", ""})
            check(std::string(saved).replace(at, 1, byte));
    }
}

} // namespace
