#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/host_fixture.h"
#include "daemon/flow_dump.h"
#include "daemon/packet_input.h"

using ostrel_host::Clock;
using ostrel_host::FlowDumpLine;
using ostrel_host::InputFlow;
using ostrel_host::PacketInput;
using ostrel_host::PacketInputOptions;
using namespace std::chrono_literals;

namespace {

void Put(std::string &out, uint32_t value, int bytes, bool big_endian)
{
    for (int i = 0; i < bytes; i++) {
        int shift = big_endian ? 8 * (bytes - 1 - i) : 8 * i;
        out += static_cast<char>((value >> shift) & 0xff);
    }
}

// An Ethernet frame with IPv4 and UDP from 10.0.0.2:5000 to 10.0.0.1:6000.
std::string UdpFrame(const std::string &payload)
{
    std::string frame = std::string("\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02\x08\x00", 14);
    std::string ip = std::string("\x45\x00", 2);
    Put(ip, static_cast<uint32_t>(20 + 8 + payload.size()), 2, true);
    ip += std::string("\x00\x01\x00\x00\x40\x11\x00\x00\x0a\x00\x00\x02\x0a\x00\x00\x01", 16);
    std::string udp;
    Put(udp, 5000, 2, true);
    Put(udp, 6000, 2, true);
    Put(udp, static_cast<uint32_t>(8 + payload.size()), 2, true);
    Put(udp, 0, 2, true);
    return frame + ip + udp + payload;
}

// A pcap file of Ethernet frames at the given capture times (seconds).
std::string Pcap(const std::vector<std::pair<uint32_t, std::string>> &frames)
{
    std::string file;
    Put(file, 0xa1b2c3d4, 4, false);
    Put(file, 2, 2, false);
    Put(file, 4, 2, false);
    Put(file, 0, 4, false);
    Put(file, 0, 4, false);
    Put(file, 65535, 4, false);
    Put(file, 1, 4, false);
    for (const auto &frame : frames) {
        Put(file, 1700000000 + frame.first, 4, false);
        Put(file, 0, 4, false);
        Put(file, static_cast<uint32_t>(frame.second.size()), 4, false);
        Put(file, static_cast<uint32_t>(frame.second.size()), 4, false);
        file += frame.second;
    }
    return file;
}

std::vector<InputFlow> TakeAll(PacketInput &input, Clock::time_point now)
{
    std::vector<InputFlow> flows;
    InputFlow flow;
    while (input.Take(now, flow))
        flows.push_back(flow);
    return flows;
}

TEST(PacketInputTest, CaptureRecordBecomesTheHostsFlow)
{
    ostrel_capture::FlowRecord record;
    record.origin = ostrel_capture::ORIGIN_UPPER;
    record.lower.ip.family = 6;
    record.lower.ip.bytes = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    // No source address on this link for the lower side.
    record.lower.has_mac = false;
    record.upper.has_mac = true;
    record.upper.mac = {0x3c, 0x28, 0x6d, 0x41, 0x9a, 0x10};
    record.upper.ip.family = 4;
    record.upper.ip.bytes = {192, 168, 1, 23};
    record.detected_protocol = 18;
    record.host_name = "Pixel-7";
    record.dhcp_class_ident = "android-dhcp-13";
    record.dhcp_fingerprint = "1,3,6";
    record.user_agent = "Dalvik/2.1.0";
    record.user_agent_source = ostrel_capture::UA_SSDP;
    record.tls_client_ja4 = "t13d1516h2_8daaf6152771_02713d6af862";
    record.mdns_domain_name = "_googlecast._tcp.local";

    std::shared_ptr<ozFlow> flow = ostrel_host::HostFlow(record);
    EXPECT_EQ(flow->origin, ozFlow::ORIGIN_UPPER);
    EXPECT_FALSE(flow->lower_mac.IsValid());
    EXPECT_EQ(flow->lower_addr.GetString(), "fe80::1");
    EXPECT_EQ(flow->upper_mac.GetString(), "3c:28:6d:41:9a:10");
    EXPECT_EQ(flow->upper_addr.GetString(), "192.168.1.23");
    EXPECT_EQ(flow->detected_protocol, 18u);
    EXPECT_EQ(flow->host_name, "Pixel-7");
    EXPECT_EQ(flow->dhcp.class_ident, "android-dhcp-13");
    EXPECT_EQ(flow->dhcp.fingerprint, "1,3,6");
    EXPECT_TRUE(flow->HasSSDPUserAgent());
    EXPECT_FALSE(flow->HasHttpUserAgent());
    EXPECT_EQ(flow->tls.client_ja4, "t13d1516h2_8daaf6152771_02713d6af862");
    EXPECT_EQ(flow->mdns.domain_name, "_googlecast._tcp.local");

    // No address family: no address, rather than 0.0.0.0.
    std::shared_ptr<ozFlow> bare = ostrel_host::HostFlow(ostrel_capture::FlowRecord());
    EXPECT_FALSE(bare->lower_addr.IsValid());
    EXPECT_FALSE(bare->upper_mac.IsValid());
}

TEST(PacketInputTest, FileIsPacedByItsTimestampsFromTheFirstPacket)
{
    ostrel_test::TempDir dir;
    // Two packets of one flow ten capture seconds apart, then a third 30 s on.
    const std::string path = dir.Write(
        "paced.pcap", Pcap({{100, UdpFrame("one")}, {110, UdpFrame("two")}, {140, UdpFrame("three")}}));
    PacketInputOptions options;
    options.file = path;
    options.speed = 2;
    PacketInput input(options);
    ASSERT_TRUE(input.Open());
    EXPECT_EQ(input.PollFd(), -1);

    const Clock::time_point start = Clock::now();
    input.Service(start, false);
    std::vector<InputFlow> flows = TakeAll(input, start);
    ASSERT_FALSE(flows.empty());
    EXPECT_EQ(flows[0].event, ozPluginProcessor::EVENT_FLOW_NEW);
    EXPECT_DOUBLE_EQ(flows[0].time, 0);
    EXPECT_EQ(flows[0].flow->lower_addr.GetString(), "10.0.0.1");
    EXPECT_EQ(flows[0].flow->origin, ozFlow::ORIGIN_UPPER);
    // The second packet is due 10 s / 2 after the first.
    EXPECT_EQ(input.WakeAt(start), start + 5s);
    input.Service(start + 4900ms, false);
    EXPECT_NE(input.Counts().find(", 1 packets, "), std::string::npos) << input.Counts();
    input.Service(start + 5s, false);
    size_t taken = flows.size() + TakeAll(input, start + 5s).size();
    EXPECT_NE(input.Counts().find(", 2 packets, "), std::string::npos) << input.Counts();
    EXPECT_EQ(input.WakeAt(start + 5s), start + 20s);
    EXPECT_FALSE(input.Done());

    // The end of the file ends every flow; then the input is done.
    input.Service(start + 20s, false);
    input.Service(start + 20s, false);
    taken += TakeAll(input, start + 20s).size();
    EXPECT_TRUE(input.Done());
    EXPECT_EQ(input.WakeAt(start + 20s), Clock::time_point::max());
    EXPECT_EQ(input.Skipped(), "3 packets, 0 parse errors");
    EXPECT_NE(input.Counts().find("100% of " + path + ", 3 packets, "), std::string::npos) << input.Counts();
    // Every flow event read was handed out, the last one when the file ended.
    EXPECT_EQ(input.FlowsRead(), taken);
    EXPECT_GE(taken, 2u);
}

TEST(PacketInputTest, BadPacketsAreCountedAsParseErrorsAndSkipped)
{
    ostrel_test::TempDir dir;
    std::string frame = UdpFrame("payload");
    std::string bad_length = frame;
    bad_length[14 + 2] = static_cast<char>(0xff); // IPv4 total length past the frame
    std::string short_header = frame.substr(0, 14 + 10);
    const std::string path = dir.Write("bad.pcap", Pcap({{0, bad_length}, {1, short_header}, {2, frame}}));
    PacketInputOptions options;
    options.file = path;
    options.speed = 0;
    PacketInput input(options);
    ASSERT_TRUE(input.Open());
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < 3 && !input.Done(); i++) {
        input.Service(now, false);
        TakeAll(input, now);
    }
    EXPECT_TRUE(input.Done());
    EXPECT_EQ(input.Skipped(), "3 packets, 2 parse errors");
    EXPECT_NE(input.EndReport().find(" events; memory: at most 0 KiB held of 65536 KiB, nothing given up"),
        std::string::npos)
        << input.EndReport();
    // The good packet still made its flow.
    EXPECT_GE(input.FlowsRead(), 1u);
    // A file has no kernel to drop packets: nothing is said of drops.
    EXPECT_EQ(input.CaptureStats(), "");
}

TEST(PacketInputTest, LiveDropsAreCountedAsTcpdumpDoesAndWarnedOfWhenTheyStart)
{
    ostrel_capture::CaptureStats stats;
    stats.received = 50000;
    stats.dropped = 1350;
    stats.if_dropped = 2;
    EXPECT_EQ(ostrel_capture::CaptureStatsText(stats),
        "50000 packets received by filter, 1350 dropped by kernel, 2 dropped by interface");

    // Drops so far, a second apart: a warning when they start, none while
    // they go on or stand still, and one again only after a quiet minute.
    ostrel_host::DropWatch watch;
    const Clock::time_point start = Clock::now();
    struct Step {
        int second;
        uint64_t dropped;
        bool warn;
    } steps[] = {{0, 0, false}, {1, 5, true}, {2, 9, false}, {3, 9, false}, {30, 12, false}, {89, 12, false},
        {90, 13, true}, {91, 14, false}};
    for (const Step &step : steps)
        EXPECT_EQ(watch.Update(step.dropped, start + std::chrono::seconds(step.second)), step.warn)
            << step.second;
}

const std::string CAPTURES = std::string(OSTREL_TESTDATA_DIR) + "/captures/";
const std::string GOLDEN_FLOWS = std::string(OSTREL_SOURCE_DIR) + "/tests/golden/flows/";

// The shared captures by file name: every pcap and pcapng file there.
std::vector<std::string> SharedCaptures()
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(CAPTURES, error)) {
        const std::string extension = entry.path().extension().string();
        if (extension == ".pcap" || extension == ".pcapng") names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// What `ostrel-host --pcap FILE --speed 0 --dump-flows OUT` writes to OUT:
// the same input and the same line writer, without the process. Its times
// count from the first packet, so the text depends on the file alone.
std::string DumpedFlows(const std::string &path)
{
    PacketInputOptions options;
    options.file = path;
    options.speed = 0;
    PacketInput input(options);
    if (!input.Open()) return "cannot open " + path;
    std::string dump;
    const Clock::time_point now = Clock::now();
    while (!input.Done()) {
        input.Service(now, false);
        for (const InputFlow &flow : TakeAll(input, now))
            dump += FlowDumpLine(*flow.flow, flow.event, flow.time) + "\n";
    }
    return dump;
}

// The first line where `actual` and `expected` part, both ways, for a dump
// too long to show whole.
std::string FirstDifference(const std::string &expected, const std::string &actual)
{
    std::istringstream want(expected), got(actual);
    std::string a, b;
    for (size_t line = 1;; line++) {
        bool more_wanted = static_cast<bool>(std::getline(want, a));
        bool more_got = static_cast<bool>(std::getline(got, b));
        if (!more_wanted && !more_got) return "none";
        if (!more_wanted || !more_got || a != b)
            return "line " + std::to_string(line) + "\n  golden: " + (more_wanted ? a : "(end)")
                + "\n  now:    " + (more_got ? b : "(end)");
    }
}

class CaptureFlowsTest : public testing::TestWithParam<std::string>
{
};

// The packet path's whole output for each shared capture, byte for byte:
// a change in what any protocol step reads, in flow tracking or in the line
// format shows here, capture by capture.
TEST_P(CaptureFlowsTest, DumpMatchesTheRecordedFlows)
{
    const std::string name = GetParam();
    const std::string golden = GOLDEN_FLOWS + name.substr(0, name.rfind('.')) + ".jsonl";
    const std::string dump = DumpedFlows(CAPTURES + name);
    ASSERT_NE(dump.find("\"event\""), std::string::npos) << name << ": no flows: " << dump;
    if (ostrel_test::UpdatingGolden()) {
        std::filesystem::create_directories(GOLDEN_FLOWS);
        EXPECT_TRUE(ostrel_test::WriteFile(golden, dump)) << golden;
        std::cout << "[ GOLDEN   ] recorded " << golden << std::endl;
        return;
    }
    const std::string expected = ostrel_test::ReadFile(golden);
    EXPECT_TRUE(dump == expected) << golden << " differs from " << name
                                  << " through the packet path; first at " << FirstDifference(expected, dump)
                                  << "\nIf the change is meant, re-record with OSTREL_UPDATE_GOLDEN=1.";
}

INSTANTIATE_TEST_SUITE_P(
    Captures, CaptureFlowsTest, testing::ValuesIn(SharedCaptures()), ostrel_test::ParamName);

} // namespace
