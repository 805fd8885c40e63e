// Device observation on a plug-in object that is never started: admission,
// the device table, flow observation and the debug print.
#include <gtest/gtest.h>

#include "host/standin/control.h"
#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace {

using ostrel_test::FlowFields;
using ostrel_test::MakeFlow;
using Texts = std::vector<std::string>;
const std::string MAC = "00:11:22:33:44:55";

class PluginFixture : public ostrel_test::HostFixture
{
protected:
    ozpPlugin plugin {"dev-discovery", {{"conf_filename", dir.File("plugin.json")}}};

    json Report(const std::string &mac)
    {
        json out;
        plugin.devices.at(mac).Encode(out, 95);
        return out[0];
    }
};
using AdmissionTest = PluginFixture;
using DeviceTableTest = PluginFixture;
using FlowObservationTest = PluginFixture;
using DeviceDebugPrintTest = PluginFixture;

TEST_F(AdmissionTest, IgnoresEmptyListedAndGroupedMacsInThatOrder)
{
    SetDebug(true, 2);
    plugin.config.device_mac_ignore = {"00:11:22:33:44:aa"};
    plugin.config.device_mac_ignore_group = "infra";
    ostrel_standin::AddGroupAddress(host.addr_lookup, "infra", ozAddr("66:77:88:99:aa:bb"));
    EXPECT_TRUE(plugin.IgnoreDeviceMac(""));
    EXPECT_TRUE(plugin.IgnoreDeviceMac("00:11:22:33:44:aa"));
    EXPECT_FALSE(plugin.IgnoreDeviceMac("00:11:22:33:44:AA"));
    EXPECT_TRUE(plugin.IgnoreDeviceMac("66:77:88:99:aa:bb"));
    EXPECT_EQ(log.Text(),
        "dev-discovery: : Ignoring; empty MAC.\n"
        "dev-discovery: 00:11:22:33:44:aa: Ignoring; found in ignore list.\n"
        "dev-discovery: 66:77:88:99:aa:bb: Ignoring; found in ignore address group.\n");

    // Without a host instance any group lookup throws: only an unlisted MAC gets that far.
    // Below debug level 2 nothing is said.
    ozInstance::instance = nullptr;
    SetDebug(true, 1);
    log.Clear();
    EXPECT_TRUE(plugin.IgnoreDeviceMac(""));
    EXPECT_TRUE(plugin.IgnoreDeviceMac("00:11:22:33:44:aa"));
    EXPECT_THROW(plugin.IgnoreDeviceMac(MAC), ozException);
    plugin.config.device_mac_ignore_group.clear();
    EXPECT_FALSE(plugin.IgnoreDeviceMac(MAC));
    EXPECT_EQ(log.Text(), "");
}

TEST_F(AdmissionTest, GroupAndZeroMacsAreNeverDevices)
{
    const std::pair<std::string, bool> macs[] = {
        {"ff:ff:ff:ff:ff:ff", true},
        {"01:00:5e:00:00:fb", true},
        {"33:33:00:00:00:01", true},
        {"0F-00-00-00-00-01", true},
        {"00:00:00:00:00:00", true},
        {"00-00-00-00-00-00", true},
        // Locally administered unicast, as a randomised phone MAC is.
        {"02:00:00:00:00:01", false},
        {"00:00:00:00:00:01", false},
        {"00:00:00-00:00:00", false},
        // Not MAC texts: left to the other rules.
        {"1f", false},
        {"ab", false},
        {"printer", false},
    };
    for (const auto &mac : macs)
        EXPECT_EQ(plugin.IgnoreDeviceMac(mac.first), mac.second) << mac.first;
    EXPECT_EQ(log.Text(), "") << "said at debug level 2 only";

    SetDebug(true, 2);
    plugin.IgnoreDeviceMac("01:00:5e:00:00:fb");
    plugin.IgnoreDeviceMac("00:00:00:00:00:00");
    EXPECT_EQ(log.Text(),
        "dev-discovery: 01:00:5e:00:00:fb: Ignoring; group MAC.\n"
        "dev-discovery: 00:00:00:00:00:00: Ignoring; zero MAC.\n");

    // From a flow line as either endpoint, an answer and the cache.
    SetDebug(false);
    plugin.config.process_all_macs = true;
    FlowFields broadcast, multicast_peer;
    broadcast.mac = "ff:ff:ff:ff:ff:ff";
    multicast_peer.other_mac = "01:00:5e:7f:ff:fa";
    plugin.ProcessFlow(MakeFlow(broadcast));
    plugin.ProcessFlow(MakeFlow(multicast_peer));
    ozpDevice answer("33:33:00:00:00:01", true);
    answer.label = "printer";
    EXPECT_FALSE(plugin.AddUpdateDevice(answer.mac, answer, true));
    json cache = json::object();
    for (const char *mac : {"00:00:00:00:00:00", "33:33:00:00:00:fb"})
        to_json(cache[mac], ozpDevice(mac, false));
    plugin.LoadDevices(dir.Write("cache.json", cache.dump()));
    EXPECT_EQ(plugin.devices.size(), 1u);
    EXPECT_EQ(plugin.devices.count(MAC), 1u);
}

TEST_F(DeviceTableTest, InsertTakesConfiguredLimitsAndMergeTakesTheCloudVerdict)
{
    SetDebug(true);
    plugin.config.max_mdns_services.max = 2;
    EXPECT_TRUE(plugin.AddUpdateDevice(MAC, ozpDevice(), true));
    ozpDevice &stored = plugin.devices.at(MAC);
    EXPECT_EQ(stored.mdns_services.max, 2u);

    ozpDevice answer(MAC, true);
    answer.label = "printer";
    answer.confidence = 85;
    answer.response = R"({"score": 85})"_json;
    EXPECT_FALSE(plugin.AddUpdateDevice(MAC, answer, false));
    EXPECT_FALSE(plugin.AddUpdateDevice(MAC, answer, true));
    // A plain flow observation keeps the verdict and logs nothing.
    EXPECT_FALSE(plugin.AddUpdateDevice(MAC, ozpDevice(), true));
    EXPECT_EQ(log.Text(), MAC + ": label:  -> printer\n" + MAC + ": confidence: 0 -> 85\n");
    EXPECT_EQ(stored.response, R"({"score": 85})"_json);
}

TEST_F(DeviceTableTest, PurgeRemovesDevicesAtMaxAge)
{
    SetDebug(true);
    plugin.AddUpdateDevice("old", ozpDevice(), false);
    clock.Advance(1000);
    plugin.AddUpdateDevice("new", ozpDevice(), false);
    clock.Advance(172800 - 1000 - 1);
    EXPECT_EQ(plugin.PurgeDevices(), 0u);
    EXPECT_EQ(log.Text(), "");
    clock.Advance(1);
    EXPECT_EQ(plugin.PurgeDevices(), 1u);
    EXPECT_EQ(log.Text(), "dev-discovery: Purged 1 device(s).\n");
    EXPECT_EQ(plugin.devices.count("new"), 1u);
}

TEST_F(FlowObservationTest, FlowFillsTheOriginatingDevice)
{
    FlowFields fields;
    fields.origin = ozFlow::ORIGIN_UPPER;
    fields.user_agent = "Linux/5.4 UPnP/1.0";
    fields.user_agent_source = ozFlow::UA_HTTP | ozFlow::UA_SSDP;
    fields.ja4 = "t13d1516h2_8daaf6152771_e5627efa2ab1";
    fields.mdns = "_googlecast._tcp.local";
    fields.dhcp_fingerprint = "1,3,6";
    plugin.config.max_ja4_clients.max = 0;
    plugin.ProcessFlow(MakeFlow(fields));
    ASSERT_EQ(plugin.devices.size(), 1u);
    EXPECT_EQ(Report(fields.mac), R"({"mac": "00:11:22:33:44:55",
        "dhcp": {"fingerprint": "", "vendor": "", "hostname": ""},
        "http_user_agents": ["Linux/5.4 UPnP/1.0"], "ja4_clients": [],
        "mdns_services": ["_googlecast._tcp.local"], "ssdp_user_agents": ["Linux/5.4 UPnP/1.0"],
        "ip_address": "192.168.1.10", "ip_count": 1})"_json);

    // DHCP items come from DHCP flows only, and an absent one never clears.
    fields.protocol = ozFlow::PROTO_DHCP;
    fields.host_name = "pixel";
    plugin.ProcessFlow(MakeFlow(fields));
    fields.dhcp_fingerprint.clear();
    fields.dhcp_class_ident = "android-dhcp-13";
    plugin.ProcessFlow(MakeFlow(fields));
    EXPECT_EQ(Report(fields.mac)["dhcp"],
        R"({"fingerprint": "1,3,6", "vendor": "android-dhcp-13", "hostname": "pixel"})"_json);

    // A flow without an address leaves no empty one in the list.
    fields.ip.clear();
    plugin.ProcessFlow(MakeFlow(fields));
    EXPECT_EQ(Report(fields.mac)["ip_count"], 1);
}

TEST_F(FlowObservationTest, OtherEndpointBecomesADeviceOnlyUnderProcessAllMacs)
{
    SetFlags(ozGlobalConfig::GF_DEBUG | ozGlobalConfig::GF_VERBOSE);
    FlowFields fields, unknown, anonymous;
    unknown.origin = ozFlow::ORIGIN_UNKNOWN;
    anonymous.mac.clear();
    plugin.identified.insert(fields.mac);
    plugin.ProcessFlow(MakeFlow(fields));
    EXPECT_EQ(log.Text(), "dev-discovery: 00:11:22:33:44:55: Ignoring; identified.\n");

    // An ignored device hides its peer too; an unknown origin reads nothing.
    plugin.config.process_all_macs = true;
    plugin.ProcessFlow(MakeFlow(unknown));
    plugin.ProcessFlow(MakeFlow(anonymous));
    EXPECT_TRUE(plugin.devices.empty());
    EXPECT_TRUE(log.Contains("dev-discovery: unknown origin.\n"));

    plugin.ProcessFlow(MakeFlow(fields));
    ASSERT_EQ(plugin.devices.size(), 1u);
    EXPECT_TRUE(plugin.devices.at(fields.other_mac).other_device);
    EXPECT_EQ(Report(fields.other_mac)["ip_address"], "192.168.1.1");
}

TEST_F(FlowObservationTest, UnspecifiedAddressesAreNeverDeviceAddresses)
{
    // A DHCP discover comes from 0.0.0.0 to the broadcast address; its IPv6
    // counterpart from ::.
    plugin.config.process_all_macs = true;
    FlowFields discover;
    discover.ip = "0.0.0.0";
    discover.other_mac = "00:aa:bb:cc:dd:ee";
    discover.other_ip = "::";
    plugin.ProcessFlow(MakeFlow(discover));
    FlowFields later = discover;
    later.ip = "192.168.1.10";
    plugin.ProcessFlow(MakeFlow(later));
    EXPECT_EQ(json(plugin.devices.at(discover.mac).ip_list), json({"192.168.1.10"}));
    EXPECT_TRUE(plugin.devices.at(discover.other_mac).ip_list.empty());

    // Every spelling; a file written before this rule loses them on reading.
    for (const char *text : {"0.0.0.0", "::", "0:0:0:0:0:0:0:0", "::0"})
        EXPECT_TRUE(IsUnspecifiedAddress(text));
    for (const char *text : {"", "10.0.0.0", "::1", "fe80::"})
        EXPECT_FALSE(IsUnspecifiedAddress(text));
    IPList list = json({"10.0.0.1", "0.0.0.0", "::"}).get<IPList>();
    EXPECT_EQ(json(list), json({"10.0.0.1"}));
}

TEST_F(DeviceDebugPrintTest, PrintsOneAlignedBlockWithLongValuesCut)
{
    ozpDevice device(MAC, false);
    device.label = "printer";
    device.confidence = 80;
    device.ip_list.insert("10.0.0.1");
    device.dhcp_hostname = "hp";
    device.mdns_services.Push("_ipp._tcp.local");
    device.mdns_services.Push(std::string(68, 's') + "!");
    device.http_user_agents.Push(std::string(68, 'u'));
    SetDebug(true);
    plugin.PrintDeviceDebug(device);
    device.confidence = 79;
    plugin.PrintDeviceDebug(device);

    const std::string margin = "                 :";
    const std::string tail = margin + " IP count: 1\n" + margin + " DHCP/FP:  DHCP/V:  DHCP/H: hp\n" + margin
        + " MDNS services: 2\n" + margin + "  - " + std::string(68, 's') + "...\n" + margin
        + "  - _ipp._tcp.local\n" + margin + " HTTP user agents: 1\n" + margin + "  - " + std::string(68, 'u')
        + "\n" + margin + " SSDP user agents: 0\n" + margin + " TLS Client JA4: 0\n\n";
    EXPECT_EQ(log.Text(), MAC + ": Confidence: 80 printer\n" + tail + MAC + ": Confidence: 79 \n" + tail);
}

} // namespace
