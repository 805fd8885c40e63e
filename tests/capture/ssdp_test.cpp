#include "capture/ssdp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "tests/capture/udp_payloads.h"

namespace ostrel_capture {
namespace {

bool Parse(const std::string &text, SsdpMessage &message)
{
    // Its own allocation, so that a read past the end is seen by ASan.
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    return ParseSsdp(bytes.data(), bytes.size(), message);
}

TEST(SsdpTest, EachKindNamesItsSoftwareByItsOwnHeader)
{
    struct Case {
        const char *what;
        std::string text;
        SsdpMessage::Kind kind;
        const char *user_agent;
    };
    const Case cases[] = {
        {"Chrome M-SEARCH",
            "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n"
            "ST: urn:dial-multiscreen-org:service:dial:1\r\nUSER-AGENT: Google Chrome/99.0.4844.74 Mac OS "
            "X\r\n\r\n",
            SsdpMessage::M_SEARCH, "Google Chrome/99.0.4844.74 Mac OS X"},
        {"Windows NOTIFY",
            "NOTIFY * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\n"
            "Cache-Control: max-age=900\r\nServer: Microsoft-Windows/10.0 UPnP/1.0 UPnP-Device-Host/1.0\r\n"
            "OPT:\"http://schemas.upnp.org/upnp/1/0/\"; ns=01\r\n01-NLS: "
            "d07b435d299b41784ca3d2ae2b959948\r\n\r\n",
            SsdpMessage::NOTIFY, "Microsoft-Windows/10.0 UPnP/1.0 UPnP-Device-Host/1.0"},
        {"response",
            "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=100\r\nserver:Linux/3.4 UPnP/1.0 "
            "IpBridge/1.26\r\n\r\n",
            SsdpMessage::RESPONSE, "Linux/3.4 UPnP/1.0 IpBridge/1.26"},
        {"M-SEARCH without a user agent",
            "M-SEARCH * "
            "HTTP/"
            "1.1\r\nHost:239.255.255.250:1900\r\nST:urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
            "Man:\"ssdp:discover\"\r\nMX:3\r\n\r\n",
            SsdpMessage::M_SEARCH, ""},
        {"the other kind's header does not count", "M-SEARCH * HTTP/1.1\r\nSERVER: box/1\r\n\r\n",
            SsdpMessage::M_SEARCH, ""},
        {"nor for NOTIFY", "NOTIFY * HTTP/1.1\r\nUSER-AGENT: box/1\r\n\r\n", SsdpMessage::NOTIFY, ""},
        {"bare line feeds and no empty line", "NOTIFY * HTTP/1.1\nNTS: ssdp:alive\nSERVER: box/2",
            SsdpMessage::NOTIFY, "box/2"},
        {"padded start line and value", "HTTP/1.1 200 OK  \r\nServer : \t box/3 \t\r\n\r\n",
            SsdpMessage::RESPONSE, "box/3"},
        {"the first of two", "NOTIFY * HTTP/1.1\r\nSERVER: one\r\nSERVER: two\r\n\r\n", SsdpMessage::NOTIFY,
            "one"},
        {"control characters go", std::string("NOTIFY * HTTP/1.1\r\nSERVER: a\x01\tb\x7f\xc3\xa9\r\n\r\n"),
            SsdpMessage::NOTIFY, "ab\xc3\xa9"},
        {"headers end at the empty line", "NOTIFY * HTTP/1.1\r\nNT: x\r\n\r\nSERVER: body\r\n",
            SsdpMessage::NOTIFY, ""},
        {"start line only", "M-SEARCH * HTTP/1.1", SsdpMessage::M_SEARCH, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SsdpMessage message;
        message.user_agent = "left over";
        ASSERT_TRUE(Parse(c.text, message));
        EXPECT_EQ(message.kind, c.kind);
        EXPECT_EQ(message.user_agent, c.user_agent);
    }
}

TEST(SsdpTest, RejectsOtherStartLines)
{
    const char *texts[] = {
        "",
        "\r\n",
        "GET / HTTP/1.1\r\nUser-Agent: x\r\n\r\n",
        "notify * HTTP/1.1\r\nSERVER: x\r\n\r\n",
        "NOTIFY * HTTP/1.0\r\n\r\n",
        " NOTIFY * HTTP/1.1\r\n\r\n",
        "HTTP/1.1 404 Not Found\r\nSERVER: x\r\n\r\n",
        "M-SEARCH * HTTP/1.",
        "NOTIFY * HTTP/1.1x\r\n",
    };
    for (const char *text : texts) {
        SsdpMessage message;
        EXPECT_FALSE(Parse(text, message)) << text;
    }
}

TEST(SsdpTest, EveryCutIsSafe)
{
    const std::string text = "NOTIFY * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nServer: a b\r\n\r\n";
    for (size_t size = 0; size <= text.size(); ++size) {
        SsdpMessage message;
        Parse(text.substr(0, size), message);
    }
    SsdpMessage message;
    EXPECT_FALSE(ParseSsdp(nullptr, 0, message));
}

TEST(SsdpTest, SharedCapturesMatchTheAnswers)
{
    const nlohmann::json answers = ostrel_capture_test::LoadAnswers();
    ASSERT_TRUE(answers.is_array());
    size_t devices_checked = 0;
    for (const nlohmann::json &file : answers) {
        const std::string name = file["file"].get<std::string>();
        SCOPED_TRACE(name);
        std::map<std::string, std::vector<std::string>> seen;
        for (const auto &payload :
            ostrel_capture_test::ReadUdpPayloads(ostrel_capture_test::CaptureFile(name), 1900)) {
            SsdpMessage message;
            if (!ParseSsdp(payload.bytes.data(), payload.bytes.size(), message) || message.user_agent.empty())
                continue;
            std::vector<std::string> &agents = seen[payload.eth_source];
            if (std::find(agents.begin(), agents.end(), message.user_agent) == agents.end())
                agents.push_back(message.user_agent);
        }
        for (const auto &device : file["devices"].items()) {
            const std::vector<std::string> expected
                = device.value().value("ssdp_user_agents", std::vector<std::string> {});
            if (!expected.empty()) ++devices_checked;
            EXPECT_EQ(seen[device.key()], expected) << device.key();
        }
        for (const auto &entry : seen)
            EXPECT_TRUE(entry.second.empty() || file["devices"].contains(entry.first)) << entry.first;
    }
    EXPECT_EQ(devices_checked, 2u);
}

} // namespace
} // namespace ostrel_capture
