// The bounds that keep one spoofing host or one oversized answer from growing
// the plug-in without limit: the device table, the retired MACs, the
// verdicts held for MACs not seen and the length of texts taken from flows.
#include <gtest/gtest.h>

#include <cstdio>

#include "device/text_bound.h"
#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace {

using ostrel_test::FlowFields;
using ostrel_test::MakeFlow;

std::string Mac(int n)
{
    char text[18];
    std::snprintf(text, sizeof(text), "00:11:22:33:44:%02x", n);
    return text;
}

FlowFields FlowFrom(const std::string &mac, const std::string &ip = "192.168.1.10")
{
    FlowFields fields;
    fields.mac = mac;
    fields.ip = ip;
    return fields;
}

// A cache file holding one bare device per MAC.
std::string CacheText(const std::vector<std::string> &macs)
{
    json cache = json::object();
    for (const std::string &mac : macs) {
        json device;
        to_json(device, ozpDevice(mac, false));
        cache[mac] = device;
    }
    return cache.dump();
}

class BoundsTest : public ostrel_test::HostFixture
{
protected:
    ozpPlugin plugin {"dev-discovery", {{"conf_filename", dir.File("plugin.json")}}};

    std::string Refused(const std::string &mac, size_t size, size_t count)
    {
        return "dev-discovery: " + mac + ": device table full (" + std::to_string(size)
            + " devices, max_devices 2); new device refused, " + std::to_string(count) + " so far\n";
    }
};

TEST_F(BoundsTest, AFullTableRefusesNewDevicesFromEveryPathButStillMerges)
{
    plugin.config.max_devices = 2;
    plugin.config.process_all_macs = true;
    FlowFields first = FlowFrom(Mac(1));
    first.other_mac = Mac(2);
    plugin.ProcessFlow(MakeFlow(first));
    ASSERT_EQ(plugin.devices.size(), 2u);

    // A flow, its other endpoint, an answer and a cache entry: each refused
    // and said, though debug output is off.
    FlowFields third = FlowFrom(Mac(3));
    third.other_mac = Mac(4);
    plugin.ProcessFlow(MakeFlow(third));
    ozpDevice answer(Mac(5), true);
    answer.label = "printer";
    EXPECT_FALSE(plugin.AddUpdateDevice(Mac(5), answer, true));
    EXPECT_EQ(plugin.LoadDevices(dir.Write("cache.json", CacheText({Mac(6)}))), 2u);
    EXPECT_EQ(plugin.refused_macs.Count(), 4u);
    EXPECT_EQ(log.Text(),
        Refused(Mac(4), 2, 1) + Refused(Mac(3), 2, 2) + Refused(Mac(5), 2, 3) + Refused(Mac(6), 2, 4));

    // Known devices still take what is new.
    plugin.config.process_all_macs = false;
    answer.mac = Mac(1);
    plugin.AddUpdateDevice(Mac(1), answer, true);
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(1), "192.168.1.11")));
    EXPECT_EQ(plugin.devices.at(Mac(1)).label, "printer");
    EXPECT_EQ(plugin.devices.at(Mac(1)).ip_list.size(), 2u);
    EXPECT_EQ(plugin.devices.size(), 2u);

    // A flood is said a burst a minute, then with the count held back.
    for (int n = 10; n < 20; n++)
        plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(n))));
    EXPECT_EQ(log.Count("new device refused"), 5u);
    clock.Advance(60);
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(20))));
    EXPECT_TRUE(log.Contains(Refused(Mac(20), 2, 15) + "dev-discovery: 9 similar line(s) held back\n"));
    EXPECT_EQ(plugin.refused_macs.Count(), 15u);

    // The count is of devices: later flows of a refused MAC add nothing and
    // say nothing, until the table has had room again.
    clock.Advance(60);
    log.Clear();
    for (int flow = 0; flow < 3; flow++)
        plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(20))));
    EXPECT_EQ(plugin.refused_macs.Count(), 15u);
    EXPECT_EQ(log.Text(), "");
    plugin.devices.erase(Mac(2));
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(21))));
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(20))));
    EXPECT_EQ(log.Text(), Refused(Mac(20), 2, 16));

    // A flood of spoofed MACs is remembered no further than the bound: a MAC
    // counts again once that many others were refused after it.
    for (size_t n = 0; n <= OZP_MAX_RECENT_REFUSED; n++) {
        char mac[18];
        std::snprintf(mac, sizeof(mac), "02:00:00:00:%02zx:%02zx", n >> 8, n & 0xff);
        plugin.AddUpdateDevice(mac, ozpDevice(mac, true), true);
    }
    EXPECT_EQ(plugin.refused_macs.Count(), 16u + OZP_MAX_RECENT_REFUSED + 1);
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(20))));
    EXPECT_EQ(plugin.refused_macs.Count(), 16u + OZP_MAX_RECENT_REFUSED + 2);
}

// The memory of refused MACs on its own, with a bound of two: a repeat is
// neither counted nor made younger, and room in the table forgets them all
// but keeps the count.
TEST_F(BoundsTest, RefusedMacsKeepTheLastOnesAndForgetThemWhenThereIsRoom)
{
    ozpRefusedMacs refused(2);
    auto refuse = [&refused](int n) { return refused.Refuse("dev-discovery", Mac(n), 2, 2); };
    EXPECT_TRUE(refuse(1));
    EXPECT_TRUE(refuse(2));
    EXPECT_FALSE(refuse(1));
    EXPECT_TRUE(refuse(3));
    EXPECT_EQ(refused.Remembered(), 2u);
    EXPECT_TRUE(refuse(1)) << "pushed out by the third, its repeat aside";
    EXPECT_FALSE(refuse(3));
    refused.Reset();
    EXPECT_EQ(refused.Remembered(), 0u);
    EXPECT_TRUE(refuse(3));
    EXPECT_EQ(refused.Count(), 5u);
    EXPECT_EQ(log.Text(),
        Refused(Mac(1), 2, 1) + Refused(Mac(2), 2, 2) + Refused(Mac(3), 2, 3) + Refused(Mac(1), 2, 4)
            + Refused(Mac(3), 2, 5));
}

TEST_F(BoundsTest, ALoweredBoundKeepsTheTableAndLetsNothingNewIn)
{
    plugin.config.max_devices = 3;
    EXPECT_EQ(plugin.LoadDevices(dir.Write("cache.json", CacheText({Mac(1), Mac(2), Mac(3), Mac(4)}))), 3u)
        << "the load stops at the bound";

    plugin.config.max_devices = 1;
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(5))));
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(2), "10.0.0.2")));
    EXPECT_EQ(plugin.devices.size(), 3u);
    EXPECT_EQ(plugin.devices.at(Mac(2)).ip_list.front(), "10.0.0.2");
    EXPECT_EQ(plugin.refused_macs.Count(), 2u);
}

TEST_F(BoundsTest, RetiredMacsForgetTheOldestBeyondTheirBound)
{
    plugin.config.max_identified = 3;
    for (int n : {1, 2, 3, 1, 4})
        plugin.AddIdentified(Mac(n));
    EXPECT_EQ(plugin.identified, (std::set<std::string> {Mac(2), Mac(3), Mac(4)}))
        << "retiring a MAC again does not make it younger";

    // The forgotten MAC is a device again; the remembered ones are not.
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(1))));
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(2))));
    EXPECT_EQ(plugin.devices.count(Mac(1)), 1u);
    EXPECT_EQ(plugin.devices.count(Mac(2)), 0u);

    // A lowered bound takes effect with the next retirement.
    plugin.config.max_identified = 1;
    plugin.AddIdentified(Mac(5));
    EXPECT_EQ(plugin.identified, (std::set<std::string> {Mac(5)}));
}

// An index answer names what the service knows, perhaps of other sites: it
// may not fill the table. What this plug-in sent or holds is answered as
// before; the rest waits for a flow of its MAC.
TEST_F(BoundsTest, AnswersAboutUnseenMacsTakeNoPlaceUntilAFlowShowsThem)
{
    plugin.config.max_devices = 3;
    plugin.config.process_all_macs = false;
    plugin.ProcessFlow(MakeFlow(FlowFrom(Mac(1))));
    auto verdict = [](const std::string &mac, const std::string &label) {
        return json {{"mac", mac}, {"discovery", {{"label", label}, {"score", 40}}}};
    };
    json data = {verdict(Mac(1), "tv"), verdict(Mac(2), "sent")};
    const uint64_t far = 0x020000000000;
    for (uint64_t n = 0; n <= ozpHeldVerdicts::MAX_VERDICTS; n++)
        data.push_back(verdict(ostrel_test::MacText(far + n), "far"));
    json answer = {{"status_code", 0}, {"status_message", "ok"}, {"data", data}};
    EXPECT_TRUE(plugin.ProcessApiAnswer(200, "application/json", answer.dump(), "", {{Mac(2), 1}}));

    EXPECT_EQ(log.Text(), "") << "nothing refused";
    ASSERT_EQ(plugin.devices.size(), 2u);
    EXPECT_EQ(plugin.devices.at(Mac(1)).label, "tv");
    EXPECT_EQ(plugin.devices.at(Mac(2)).label, "sent") << "asked about, though purged meanwhile";

    // The oldest beyond the bound was given up; the last one waits.
    const std::string oldest = ostrel_test::MacText(far),
                      last = ostrel_test::MacText(far + ozpHeldVerdicts::MAX_VERDICTS);
    plugin.ProcessFlow(MakeFlow(FlowFrom(oldest)));
    EXPECT_EQ(plugin.devices.at(oldest).label, "");
    EXPECT_FALSE(plugin.devices.at(oldest).cached);
    plugin.ProcessFlow(MakeFlow(FlowFrom(last)));
    EXPECT_EQ(plugin.devices.count(last), 0u) << "a full table refuses it, verdict or not";
    plugin.config.max_devices = 4;
    plugin.ProcessFlow(MakeFlow(FlowFrom(last)));
    const ozpDevice &device = plugin.devices.at(last);
    EXPECT_EQ(device.label, "far");
    EXPECT_EQ(device.confidence, 40u);
    EXPECT_TRUE(device.cached);
    EXPECT_EQ(device.response, R"({"label":"far","score":40})"_json);
    EXPECT_EQ(device.pending_updates, 1u) << "uploaded as any new device";
}

TEST(HeldVerdictsTest, GiveUpTheOldestBeyondTheirBounds)
{
    auto verdict = [](const std::string &mac, const std::string &label) {
        return ozpVerdict {mac, label, 7, {{"label", label}, {"score", 7}}};
    };
    // Each verdict of a one-letter label takes 17 + 1 + 23 bytes.
    ozpHeldVerdicts held(3, 41 * 3);
    for (const char *mac : {"00:00:00:00:00:01", "00:00:00:00:00:02", "00:00:00:00:00:03"})
        held.Hold(verdict(mac, "a"));
    held.Hold(verdict("00:00:00:00:00:01", "b"));
    held.Hold(verdict("00:00:00:00:00:04", "c"));
    EXPECT_EQ(held.size(), 3u);
    EXPECT_EQ(held.GivenUp(), 1u) << "a verdict held again is the youngest";
    ozpVerdict taken;
    EXPECT_FALSE(held.Take("00:00:00:00:00:02", taken));
    ASSERT_TRUE(held.Take("00:00:00:00:00:01", taken));
    EXPECT_EQ(taken.response, R"({"label":"b","score":7})"_json);

    // A long one pushes out as many as its bytes need; one over them all is not kept.
    held.Hold(verdict("00:00:00:00:00:05", std::string(30, 'x')));
    EXPECT_EQ(held.size(), 1u);
    EXPECT_EQ(held.bytes(), 17u + 30 + 52);
    held.Hold(verdict("00:00:00:00:00:06", std::string(100, 'x')));
    EXPECT_TRUE(held.Take("00:00:00:00:00:05", taken));
    EXPECT_EQ(held.bytes(), 0u);
    EXPECT_EQ(held.GivenUp(), 4u);
}

TEST(TextBoundTest, CutsAtTheBoundButNeverInsideAUtf8Sequence)
{
    const std::string euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80", bad = std::string(8, '\x80');
    struct Case {
        std::string text;
        size_t bound;
        std::string kept;
    } cases[] = {
        {"abc", 5, "abc"},
        {"abcde", 5, "abcde"},
        {"abcdef", 5, "abcde"},
        {"abcd\xC3\xA9", 5, "abcd"},
        {"ab" + euro + "x", 5, "ab" + euro},
        {"abc" + euro, 5, "abc"},
        {"a" + smile + "x", 4, "a"},
        {"a" + smile + "x", 5, "a" + smile},
        {"\xC3\xA9", 1, ""},
        // No character boundary near the cut: not UTF-8 there, cut anyway.
        {bad, 5, bad.substr(0, 5)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ozpBoundText(c.text, c.bound), c.kept) << c.text << " at " << c.bound;
    EXPECT_EQ(ozpBoundText(std::string(5000, 'x')).size(), OZP_MAX_TEXT_BYTES);
}

TEST_F(BoundsTest, TextsFromFlowsAreCutToTheBound)
{
    // 1 + 2 * 50000 bytes: the 1024th byte is the first half of an "é".
    const std::string huge = "x" + [] {
        std::string text;
        for (int i = 0; i < 50000; i++)
            text += "\xC3\xA9";
        return text;
    }();
    const std::string kept = huge.substr(0, 1023);
    FlowFields fields = FlowFrom(Mac(1));
    fields.protocol = ozFlow::PROTO_DHCP;
    fields.dhcp_class_ident = fields.dhcp_fingerprint = fields.host_name = huge;
    fields.user_agent = fields.ja4 = fields.mdns = huge;
    fields.user_agent_source = ozFlow::UA_HTTP | ozFlow::UA_SSDP;
    plugin.ProcessFlow(MakeFlow(fields));

    const ozpDevice &device = plugin.devices.at(Mac(1));
    for (const std::string *text : {&device.dhcp_vendor, &device.dhcp_fingerprint, &device.dhcp_hostname,
             &device.http_user_agents.front(), &device.ja4_clients.front(), &device.mdns_services.front(),
             &device.ssdp_user_agents.front()})
        EXPECT_EQ(*text, kept);
}

} // namespace
