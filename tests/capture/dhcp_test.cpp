#include "capture/dhcp.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/capture/udp_payloads.h"

namespace ostrel_capture {
namespace {

using ostrel_capture_test::FromHex;

// A client's BOOTP message: fixed header, cookie, then `options` (hex).
std::vector<uint8_t> Bootp(
    const std::string &options, const std::string &sname = "", const std::string &file = "", uint8_t op = 1)
{
    std::vector<uint8_t> packet(240, 0);
    packet[0] = op;
    packet[1] = 1;
    packet[2] = 6;
    const uint8_t chaddr[] = {0x70, 0x3e, 0xac, 0xf0, 0xf0, 0x07, 0xee, 0xff};
    std::copy(std::begin(chaddr), std::end(chaddr), packet.begin() + 28);
    const std::vector<uint8_t> sname_bytes = FromHex(sname);
    const std::vector<uint8_t> file_bytes = FromHex(file);
    std::copy(sname_bytes.begin(), sname_bytes.end(), packet.begin() + 44);
    std::copy(file_bytes.begin(), file_bytes.end(), packet.begin() + 108);
    const uint8_t cookie[] = {99, 130, 83, 99};
    std::copy(std::begin(cookie), std::end(cookie), packet.begin() + 236);
    const std::vector<uint8_t> option_bytes = FromHex(options);
    packet.insert(packet.end(), option_bytes.begin(), option_bytes.end());
    return packet;
}

DhcpClientMessage Parse(const std::vector<uint8_t> &packet)
{
    DhcpClientMessage message;
    EXPECT_TRUE(ParseDhcpClient(packet.data(), packet.size(), message));
    return message;
}

TEST(DhcpTest, RealClientsGiveTheirTexts)
{
    struct Case {
        const char *what;
        const char *options;
        uint8_t type;
        const char *fingerprint;
        const char *class_ident;
        const char *host_name;
    };
    const Case cases[] = {
        {"Ubuntu dhclient repeating 121 and 42",
            "3501013204c0a805430c1473616e6a692d4c494645424f4f4b2d4c483533313711011c02030f06770c2c2f1a792a79f9"
            "fc2aff",
            1, "1,28,2,3,15,6,119,12,44,47,26,121,42,121,249,252,42", "", "sanji-LIFEBOOK-LH531"},
        {"Android request",
            "3501033707017903060f77fc390205dc3d0701703eacf0f0073204c0a803ed33040076a7000c045368656eff", 3,
            "1,121,3,6,15,119,252", "", "Shen"},
        {"BusyBox udhcpc",
            "35010139020240370b0103060c0f1c2a364243773c0c756468637020312e33362e313d070192dda48d5fdeff", 1,
            "1,3,6,12,15,28,42,54,66,67,119", "udhcp 1.36.1", ""},
        {"Cisco IOS with code 150 and zero hardware type",
            "350103390204803d1b00636973636f2d636330302e306163342e303030302d4661302f3033040000003c0c0252303708"
            "01060f2c0321962bff",
            3, "1,6,15,44,3,33,150,43", "", "R0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const DhcpClientMessage message = Parse(Bootp(c.options));
        EXPECT_EQ(message.message_type, c.type);
        EXPECT_EQ(message.fingerprint, c.fingerprint);
        EXPECT_EQ(message.class_ident, c.class_ident);
        EXPECT_EQ(message.host_name, c.host_name);
        EXPECT_EQ(message.chaddr, (MacAddress {0x70, 0x3e, 0xac, 0xf0, 0xf0, 0x07}));
    }
}

TEST(DhcpTest, RejectsWhatIsNoClientMessage)
{
    const std::vector<uint8_t> good = Bootp("350101ff");
    DhcpClientMessage message;
    EXPECT_TRUE(ParseDhcpClient(good.data(), good.size(), message));

    std::vector<uint8_t> reply = Bootp("350102ff", "", "", 2);
    EXPECT_FALSE(ParseDhcpClient(reply.data(), reply.size(), message));
    std::vector<uint8_t> bad_cookie = good;
    bad_cookie[239] = 0x64;
    EXPECT_FALSE(ParseDhcpClient(bad_cookie.data(), bad_cookie.size(), message));
    // Plain BOOTP without the cookie, cut before it, and nothing at all.
    EXPECT_FALSE(ParseDhcpClient(good.data(), 239, message));
    EXPECT_FALSE(ParseDhcpClient(good.data(), 0, message));
    EXPECT_FALSE(ParseDhcpClient(nullptr, 0, message));
    // The cookie alone, without options, is still a message.
    const DhcpClientMessage bare = Parse(Bootp(""));
    EXPECT_EQ(bare.message_type, 0);
    EXPECT_EQ(bare.fingerprint, "");
}

TEST(DhcpTest, OverloadedAreasAreReadFileFirstThenSname)
{
    // Main: type, overload=3, first piece of 55. file: second piece of 55 and
    // a host name piece. sname: last host name piece and a vendor class.
    const DhcpClientMessage both
        = Parse(Bootp("350101 340103 3702 0103 ff", "0c02 2d32 3c03 616263 ff", "3702 060f 0c03 6e6173 ff"));
    EXPECT_EQ(both.fingerprint, "1,3,6,15");
    EXPECT_EQ(both.host_name, "nas-2");
    EXPECT_EQ(both.class_ident, "abc");

    // Only the area the option names is read.
    const DhcpClientMessage file_only = Parse(Bootp("340101 ff", "3c03616263ff", "0c03616263ff"));
    EXPECT_EQ(file_only.host_name, "abc");
    EXPECT_EQ(file_only.class_ident, "");
    const DhcpClientMessage sname_only = Parse(Bootp("340102 ff", "3c03616263ff", "0c03616263ff"));
    EXPECT_EQ(sname_only.host_name, "");
    EXPECT_EQ(sname_only.class_ident, "abc");

    // Without the option the areas are server and boot file names, not options;
    // an overload option inside an overloaded area does not open another one.
    const DhcpClientMessage none = Parse(Bootp("ff", "3c03616263ff", "0c03616263ff"));
    EXPECT_EQ(none.host_name, "");
    EXPECT_EQ(none.class_ident, "");
    const DhcpClientMessage nested = Parse(Bootp("340101 ff", "3c03616263ff", "340102 ff"));
    EXPECT_EQ(nested.class_ident, "");
    // The areas end at their own size even without an end option.
    const DhcpClientMessage unterminated
        = Parse(Bootp("340103", std::string(128, 'a'), std::string(256, '0')));
    EXPECT_EQ(unterminated.message_type, 0);
}

TEST(DhcpTest, RepeatedCodesAreJoinedInOrder)
{
    // Pieces of one long option (RFC 3396), and one-byte options keep the first.
    const DhcpClientMessage message
        = Parse(Bootp("0c036c6f6e 3703010203 350103 0c0367686f 370279fc 350105 0c0173 ff"));
    EXPECT_EQ(message.host_name, "longhos");
    EXPECT_EQ(message.fingerprint, "1,2,3,121,252");
    EXPECT_EQ(message.message_type, 3);
}

TEST(DhcpTest, TextsLoseControlCharactersOnly)
{
    // "nas1\0", then controls inside and non-UTF-8 bytes kept as they are.
    const DhcpClientMessage message = Parse(Bootp("0c056e61733100 3c0861096207e9ff7f63 ff"));
    EXPECT_EQ(message.host_name, "nas1");
    EXPECT_EQ(message.class_ident,
        "ab\xe9\xff"
        "c");
    // A text of nothing but controls is empty; an empty 55 gives no fingerprint.
    const DhcpClientMessage empty = Parse(Bootp("0c020000 3700 ff"));
    EXPECT_EQ(empty.host_name, "");
    EXPECT_EQ(empty.fingerprint, "");
}

TEST(DhcpTest, OptionsEndAtEndOptionOrAtABadLength)
{
    // Pads are skipped; after 255 nothing counts.
    const DhcpClientMessage ended = Parse(Bootp("00 00 350101 00 ff 0c03616263"));
    EXPECT_EQ(ended.message_type, 1);
    EXPECT_EQ(ended.host_name, "");
    // A length past the end: what came before stays, the cut option is dropped.
    const DhcpClientMessage cut = Parse(Bootp("350108 3c03616263 0c0a6162"));
    EXPECT_EQ(cut.message_type, 8);
    EXPECT_EQ(cut.class_ident, "abc");
    EXPECT_EQ(cut.host_name, "");
    // A code at the last byte, without its length.
    const DhcpClientMessage code_only = Parse(Bootp("350103 0c"));
    EXPECT_EQ(code_only.message_type, 3);
}

TEST(DhcpTest, EveryCutOfARealMessageIsSafe)
{
    const std::vector<uint8_t> packet = Bootp("3501013204c0a805430c1473616e6a692d4c494645424f4f4b2d4c48353331"
                                              "3711011c02030f06770c2c2f1a792a79f9fc2aff",
        "", "");
    for (size_t size = 0; size <= packet.size(); ++size) {
        // Its own allocation, so that a read past `size` is seen by ASan.
        const std::vector<uint8_t> cut(packet.begin(), packet.begin() + static_cast<long>(size));
        DhcpClientMessage message;
        EXPECT_EQ(ParseDhcpClient(cut.data(), cut.size(), message), size >= 240) << size;
    }
}

// Every client message in the shared captures, the last value per sender,
// against the recorded answers.
TEST(DhcpTest, SharedCapturesMatchTheAnswers)
{
    const nlohmann::json answers = ostrel_capture_test::LoadAnswers();
    ASSERT_TRUE(answers.is_array());
    size_t devices_checked = 0;
    for (const nlohmann::json &file : answers) {
        const std::string name = file["file"].get<std::string>();
        SCOPED_TRACE(name);
        struct Seen {
            std::string fingerprint, class_ident, host_name;
        };
        std::map<std::string, Seen> seen;
        for (const auto &payload :
            ostrel_capture_test::ReadUdpPayloads(ostrel_capture_test::CaptureFile(name), 67)) {
            if (payload.destination_port != 67) continue;
            DhcpClientMessage message;
            if (!ParseDhcpClient(payload.bytes.data(), payload.bytes.size(), message)) continue;
            Seen &s = seen[payload.eth_source];
            if (!message.fingerprint.empty()) s.fingerprint = message.fingerprint;
            if (!message.class_ident.empty()) s.class_ident = message.class_ident;
            if (!message.host_name.empty()) s.host_name = message.host_name;
        }
        for (const auto &device : file["devices"].items()) {
            const nlohmann::json &d = device.value();
            const std::string fingerprint = d.value("dhcp_fingerprint", "");
            const std::string vendor = d.value("dhcp_vendor", "");
            const std::string host = d.value("dhcp_hostname", "");
            if (fingerprint.empty() && vendor.empty() && host.empty()) continue;
            SCOPED_TRACE(device.key());
            ++devices_checked;
            const Seen &s = seen[device.key()];
            EXPECT_EQ(s.fingerprint, fingerprint);
            EXPECT_EQ(
                s.class_ident, ostrel_capture_test::Printable(ostrel_capture_test::Latin1FromUtf8(vendor)));
            EXPECT_EQ(s.host_name, ostrel_capture_test::Printable(ostrel_capture_test::Latin1FromUtf8(host)));
        }
    }
    EXPECT_EQ(devices_checked, 16u);
}

} // namespace
} // namespace ostrel_capture
