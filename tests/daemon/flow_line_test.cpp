#include <gtest/gtest.h>

#include <string>

#include "daemon/flow_line.h"

using ostrel_host::FlowLine;
using ostrel_host::ParseFlowLine;

namespace {

TEST(FlowLineTest, FullLineFillsEveryFlowItemThePluginReads)
{
    FlowLine line = ParseFlowLine(R"({"time": 2.5, "event": "flow_dpi_update", "origin": "upper",
        "lower_mac": "F4:92:BF:10:00:01", "lower_ip": "192.168.1.1", "upper_mac": "3c:28:6d:41:9a:10",
        "upper_ip": "fe80::1", "protocol": 18, "dhcp_class_ident": "android-dhcp-13",
        "dhcp_fingerprint": "1,3,6,15", "host_name": "Pixel-7", "user_agent": "Dalvik/2.1.0",
        "user_agent_source": "both", "ja4": "t13d1516h2_8daaf6152771_02713d6af862",
        "mdns": "_googlecast._tcp.local", "excluded": true, "note": "a comment"})");

    ASSERT_EQ(line.status, FlowLine::FLOW) << line.error;
    EXPECT_DOUBLE_EQ(line.time, 2.5);
    EXPECT_EQ(line.event, ozPluginProcessor::EVENT_FLOW_DPI_UPDATE);
    const ozFlow &flow = *line.flow;
    EXPECT_EQ(flow.origin, ozFlow::ORIGIN_UPPER);
    EXPECT_EQ(flow.lower_mac.GetString(), "f4:92:bf:10:00:01");
    EXPECT_EQ(flow.lower_addr.GetString(), "192.168.1.1");
    EXPECT_EQ(flow.upper_mac.GetString(), "3c:28:6d:41:9a:10");
    EXPECT_EQ(flow.upper_addr.GetString(), "fe80::1");
    EXPECT_EQ(flow.detected_protocol, 18u);
    EXPECT_EQ(flow.dhcp.class_ident, "android-dhcp-13");
    EXPECT_EQ(flow.dhcp.fingerprint, "1,3,6,15");
    EXPECT_EQ(flow.host_name, "Pixel-7");
    EXPECT_TRUE(flow.HasHttpUserAgent());
    EXPECT_TRUE(flow.HasSSDPUserAgent());
    EXPECT_EQ(flow.user_agent, "Dalvik/2.1.0");
    EXPECT_EQ(flow.tls.client_ja4, "t13d1516h2_8daaf6152771_02713d6af862");
    EXPECT_EQ(flow.mdns.domain_name, "_googlecast._tcp.local");
    EXPECT_TRUE(flow.excluded);
}

TEST(FlowLineTest, MinimalLineTakesTheDefaults)
{
    FlowLine line = ParseFlowLine(R"({"lower_mac": "3c:28:6d:41:9a:10"})");

    ASSERT_EQ(line.status, FlowLine::FLOW) << line.error;
    EXPECT_LT(line.time, 0);
    EXPECT_EQ(line.event, ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE);
    EXPECT_EQ(line.flow->origin, ozFlow::ORIGIN_LOWER);
    EXPECT_FALSE(line.flow->upper_mac.IsValid());
    EXPECT_FALSE(line.flow->excluded);
}

TEST(FlowLineTest, EventsAndOriginsByNameOrNumber)
{
    struct Case {
        const char *text;
        int event;
        int origin;
    } cases[] = {
        {R"({"event": "flow_new"})", 2, 1},
        {R"({"event": "flow_dpi_complete", "origin": "lower"})", 8, 1},
        // Values the plug-in ignores still reach it: the host sends them too.
        {R"({"event": 13, "origin": 0})", 13, 0},
        {R"({"event": 0, "origin": 7})", 0, 7},
    };
    for (const Case &c : cases) {
        FlowLine line = ParseFlowLine(c.text);
        ASSERT_EQ(line.status, FlowLine::FLOW) << c.text << ": " << line.error;
        EXPECT_EQ(static_cast<int>(line.event), c.event) << c.text;
        EXPECT_EQ(line.flow->origin, c.origin) << c.text;
    }
}

TEST(FlowLineTest, BlankAndCommentLinesAreSkippedWithoutError)
{
    for (const char *text : {"", "   ", "\t\r", "# a comment", "   # indented comment"}) {
        FlowLine line = ParseFlowLine(text);
        EXPECT_EQ(line.status, FlowLine::SKIP) << "[" << text << "]";
        EXPECT_EQ(line.flow, nullptr);
        EXPECT_TRUE(line.error.empty());
    }
}

TEST(FlowLineTest, MalformedLinesNameTheFieldAndWhy)
{
    struct Case {
        const char *text;
        const char *error;
    } cases[] = {
        {R"({"lower_mac": "3c:28:6d)", "not valid JSON: "},
        {R"(["lower_mac"])", "line: must be a JSON object"},
        {R"({"lower_mac": "zz:28:6d:41:9a:10"})", "lower_mac: not a MAC address: \"zz:28:6d:41:9a:10\""},
        {R"({"upper_mac": "192.168.1.1"})", "upper_mac: not a MAC address"},
        {R"({"lower_ip": "3c:28:6d:41:9a:10"})", "lower_ip: not an IP address"},
        {R"({"upper_ip": "999.1.1.1"})", "upper_ip: not an IP address"},
        {R"({"lower_mac": 12})", "lower_mac: must be a string"},
        {R"({"protocol": -1})", "protocol: must be a whole number from 0 to 65535"},
        {R"({"protocol": 70000})", "protocol: must be a whole number from 0 to 65535"},
        {R"({"event": "flow_expired"})", "event: unknown event name \"flow_expired\""},
        {R"({"event": 256})", "event: must be a whole number from 0 to 255"},
        {R"({"origin": "left"})", "origin: unknown origin \"left\""},
        {R"({"origin": 1.5})", "origin: must be a whole number from 0 to 255"},
        {R"({"time": -1})", "time: must be from 0 to 315360000 seconds"},
        {R"({"time": "soon"})", "time: must be a number of seconds"},
        {R"({"excluded": "yes"})", "excluded: must be true or false"},
        {R"({"user_agent": "Roku/DVP-12.5"})", "user_agent_source: missing"},
        {R"({"user_agent": "x", "user_agent_source": "ftp"})", "user_agent_source: unknown source \"ftp\""},
        {R"({"dhcp_fingerprnt": "1,3,6"})", "\"dhcp_fingerprnt\": unknown key"},
        {R"({"note": 5})", "note: must be a string"},
    };
    for (const Case &c : cases) {
        FlowLine line = ParseFlowLine(c.text);
        EXPECT_EQ(line.status, FlowLine::ERROR) << c.text;
        EXPECT_EQ(line.flow, nullptr) << c.text;
        EXPECT_NE(line.error.find(c.error), std::string::npos) << c.text << " gave: " << line.error;
    }
}

TEST(FlowLineTest, HostileInputIsRefusedNotThrown)
{
    std::string long_line = R"({"host_name": ")" + std::string(ostrel_host::FLOW_LINE_MAX_BYTES, 'a') + "\"}";
    std::string deep(100000, '[');
    std::string unterminated_key = R"({"lower_mac)" + std::string(1000, '\\');
    std::string with_nul = "{\"host_name\": \"a";
    with_nul += '\0';
    with_nul += "b\"}";
    const std::string cases[] = {
        long_line,
        deep,
        unterminated_key,
        std::string("{\"host_name\": \"\xff\xfe\"}"),
        with_nul,
        "{\"lower_mac\": \"" + std::string(200, 'f') + "\"}",
        "{\"time\": 1e400}",
    };
    for (const std::string &text : cases) {
        FlowLine line;
        EXPECT_NO_THROW(line = ParseFlowLine(text));
        EXPECT_EQ(line.status, FlowLine::ERROR) << text.substr(0, 40);
        // Error texts quote at most a short, escaped piece of the line.
        EXPECT_LT(line.error.size(), 400u) << line.error.substr(0, 100);
    }
    EXPECT_NE(ParseFlowLine(long_line).error.find("line longer than 65536 bytes"), std::string::npos);
}

TEST(FlowLineTest, NulByteRefusesTheWholeLine)
{
    // The JSON reader would stop at the NUL and take the object before it.
    const std::string object = R"({"lower_mac": "3c:28:6d:41:9a:10"})";
    const std::string cases[] = {
        object + std::string(1, '\0') + R"({"lower_mac": "9c:8e:cd:0b:62:f1"})",
        object + std::string(1, '\0'),
        std::string(1, '\0') + object,
        std::string(1, '\0'),
        "# comment" + std::string(1, '\0'),
    };
    for (const std::string &text : cases) {
        FlowLine line = ParseFlowLine(text);
        EXPECT_EQ(line.status, FlowLine::ERROR) << text.size();
        EXPECT_EQ(line.flow, nullptr);
        EXPECT_EQ(line.error, "line: NUL byte at byte " + std::to_string(text.find('\0') + 1));
    }
}

} // namespace
