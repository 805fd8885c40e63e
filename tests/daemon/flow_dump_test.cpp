#include <gtest/gtest.h>

#include <string>

#include "tests/support/host_fixture.h"
#include "daemon/flow_dump.h"
#include "daemon/flow_line.h"

using ostrel_host::FlowDumpFile;
using ostrel_host::FlowDumpLine;
using ostrel_host::FlowLine;
using ostrel_host::ParseFlowLine;

namespace {

// Every flow item the dump writes and the reader reads.
void ExpectSameFlow(const ozFlow &a, const ozFlow &b)
{
    EXPECT_EQ(a.origin, b.origin);
    EXPECT_EQ(a.lower_mac, b.lower_mac);
    EXPECT_EQ(a.upper_mac, b.upper_mac);
    EXPECT_EQ(a.lower_addr, b.lower_addr);
    EXPECT_EQ(a.upper_addr, b.upper_addr);
    EXPECT_EQ(a.detected_protocol, b.detected_protocol);
    EXPECT_EQ(a.host_name, b.host_name);
    EXPECT_EQ(a.dhcp.class_ident, b.dhcp.class_ident);
    EXPECT_EQ(a.dhcp.fingerprint, b.dhcp.fingerprint);
    EXPECT_EQ(a.user_agent, b.user_agent);
    EXPECT_EQ(a.user_agent_source, b.user_agent_source);
    EXPECT_EQ(a.tls.client_ja4, b.tls.client_ja4);
    EXPECT_EQ(a.mdns.domain_name, b.mdns.domain_name);
    EXPECT_EQ(a.excluded, b.excluded);
}

FlowLine RoundTrip(const ozFlow &flow, unsigned event, double time)
{
    const std::string text = FlowDumpLine(flow, event, time);
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    FlowLine line = ParseFlowLine(text);
    EXPECT_EQ(line.status, FlowLine::FLOW) << text << ": " << line.error;
    if (line.status == FlowLine::FLOW) ExpectSameFlow(*line.flow, flow);
    return line;
}

TEST(FlowDumpTest, EveryFlowItemSurvivesTheReader)
{
    ozFlow flow;
    flow.origin = ozFlow::ORIGIN_UPPER;
    flow.lower_mac = ozAddr("f4:92:bf:10:00:01");
    flow.upper_mac = ozAddr("3c:28:6d:41:9a:10");
    flow.lower_addr = ozAddr("192.168.1.1");
    flow.upper_addr = ozAddr("fe80::1:2");
    flow.detected_protocol = 18;
    flow.host_name = "Pixel-7";
    flow.dhcp.class_ident = "android-dhcp-13";
    flow.dhcp.fingerprint = "1,3,6,15";
    flow.user_agent = "Dalvik/2.1.0 (Linux; U; Android 13)";
    flow.user_agent_source = ozFlow::UA_HTTP | ozFlow::UA_SSDP;
    flow.tls.client_ja4 = "t13d1516h2_8daaf6152771_02713d6af862";
    flow.mdns.domain_name = "_googlecast._tcp.local";
    flow.excluded = true;

    FlowLine line = RoundTrip(flow, ozPluginProcessor::EVENT_FLOW_DPI_UPDATE, 12.345678);
    EXPECT_EQ(line.event, ozPluginProcessor::EVENT_FLOW_DPI_UPDATE);
    EXPECT_DOUBLE_EQ(line.time, 12.345678);

    // Each source on its own, and one without a user agent.
    for (uint8_t source : {ozFlow::UA_HTTP, ozFlow::UA_SSDP, ozFlow::UA_NONE}) {
        flow.user_agent_source = source;
        RoundTrip(flow, ozPluginProcessor::EVENT_FLOW_NEW, 0);
        flow.user_agent.clear();
        RoundTrip(flow, ozPluginProcessor::EVENT_FLOW_NEW, 0);
        flow.user_agent = "x";
    }
}

TEST(FlowDumpTest, EmptyItemsAreLeftOutAndUnnamedValuesKeptAsNumbers)
{
    ozFlow flow;
    flow.origin = ozFlow::ORIGIN_LOWER;
    flow.lower_mac = ozAddr("02:00:00:00:00:01");
    EXPECT_EQ(FlowDumpLine(flow, ozPluginProcessor::EVENT_FLOW_NEW, -1),
        R"({"event":"flow_new","origin":"lower","lower_mac":"02:00:00:00:00:01"})");
    EXPECT_EQ(FlowDumpLine(flow, ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE, 1.5),
        R"({"time":1.5,"event":"flow_dpi_complete","origin":"lower","lower_mac":"02:00:00:00:00:01"})");

    // An unknown origin must not come back as the reader's default, "lower".
    flow.origin = ozFlow::ORIGIN_UNKNOWN;
    FlowLine line = RoundTrip(flow, ozPluginProcessor::EVENT_FLOW_STATS, -1);
    EXPECT_EQ(line.event, ozPluginProcessor::EVENT_FLOW_STATS);
    EXPECT_LT(line.time, 0);
    EXPECT_NE(FlowDumpLine(flow, 5, -1).find(R"("event":5,"origin":0)"), std::string::npos);
}

TEST(FlowDumpTest, ControlCharactersSurviveAndBytesThatAreNotUtf8BecomeReplacements)
{
    ozFlow flow;
    // NUL, tab, newline, ESC, DEL, a quote and a backslash: all kept as sent.
    static const char raw[] = "a\0b\tc\nd\x1b[0m\x7f\"\\";
    flow.host_name = std::string(raw, sizeof(raw) - 1);
    ASSERT_EQ(flow.host_name.size(), 14u);
    flow.dhcp.class_ident = "caf\xc3\xa9 \xe2\x80\xae"; // valid UTF-8, with U+202E
    flow.user_agent = "Mozilla\r\nX-Evil: 1";
    flow.user_agent_source = ozFlow::UA_HTTP;
    FlowLine line = RoundTrip(flow, ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE, 0);
    // The line itself holds no control byte that could cut it.
    const std::string text = FlowDumpLine(flow, 8, 0);
    for (unsigned char c : text)
        EXPECT_GE(c, 0x20) << text;

    // Latin-1 and cut sequences: each bad byte becomes U+FFFD, never an exception.
    ozFlow latin;
    latin.host_name = "Ren\xe9's \xff\xfe phone \xe2\x80";
    latin.mdns.domain_name = "\xc3";
    std::string dumped;
    ASSERT_NO_THROW(dumped = FlowDumpLine(latin, 8, 0));
    FlowLine read = ParseFlowLine(dumped);
    ASSERT_EQ(read.status, FlowLine::FLOW) << read.error;
    EXPECT_EQ(read.flow->host_name, "Ren\xef\xbf\xbd's \xef\xbf\xbd\xef\xbf\xbd phone \xef\xbf\xbd");
    EXPECT_EQ(read.flow->mdns.domain_name, "\xef\xbf\xbd");
}

TEST(FlowDumpTest, FileHoldsOneLinePerFlowAndRefusesAPathItCannotWrite)
{
    ostrel_test::TempDir dir;
    FlowDumpFile dump;
    std::string error;
    EXPECT_FALSE(dump.Open(dir.File("missing/flows.jsonl"), error));
    EXPECT_NE(error.find(dir.File("missing/flows.jsonl") + ": cannot write flow dump: "), std::string::npos)
        << error;

    dir.Write("flows.jsonl", "old content\n");
    ASSERT_TRUE(dump.Open(dir.File("flows.jsonl"), error)) << error;
    ozFlow flow;
    flow.lower_mac = ozAddr("02:00:00:00:00:01");
    flow.origin = ozFlow::ORIGIN_LOWER;
    EXPECT_TRUE(dump.Write(flow, 2, 0, error));
    EXPECT_TRUE(dump.Write(flow, 8, 0.25, error));
    EXPECT_TRUE(dump.Close(error)) << error;
    EXPECT_EQ(dump.Lines(), 2u);
    EXPECT_EQ(ostrel_test::ReadFile(dir.File("flows.jsonl")),
        R"({"time":0.0,"event":"flow_new","origin":"lower","lower_mac":"02:00:00:00:00:01"})"
        "\n"
        R"({"time":0.25,"event":"flow_dpi_complete","origin":"lower","lower_mac":"02:00:00:00:00:01"})"
        "\n");

    // A full disk is reported once, not once a flow, and never stops anything.
    FlowDumpFile full;
    ASSERT_TRUE(full.Open("/dev/full", error)) << error;
    error.clear();
    EXPECT_TRUE(full.Write(flow, 2, 0, error));
    EXPECT_FALSE(full.Flush(error));
    EXPECT_EQ(error, "/dev/full: write failed: No space left on device");
    error.clear();
    EXPECT_TRUE(full.Write(flow, 2, 0, error));
    EXPECT_TRUE(full.Flush(error));
    EXPECT_EQ(error, "");
}

} // namespace
