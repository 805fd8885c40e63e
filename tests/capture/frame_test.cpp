#include "capture/frame.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "capture/protocols.h"
#include "capture/tcp_stream.h"
#include "frames.h"

using namespace ostrel_capture;
using namespace ostrel_capture_test;

namespace {

const MacAddress A = Mac(1);
const MacAddress B = Mac(2);

FrameResult Parse(const Bytes &frame, PacketView &packet, int link = LINK_ETHERNET, size_t wirelen = 0)
{
    return ParseFrame(link, frame.data(), frame.size(), wirelen ? wirelen : frame.size(), packet);
}

std::string PayloadText(const PacketView &p)
{
    return std::string(reinterpret_cast<const char *>(p.payload), p.payload_size);
}

} // namespace

TEST(FrameTest, EthernetIpv4UdpWithPaddingTrimmed)
{
    Bytes frame = Ethernet(A, B, 0x0800, Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(68, 67, Text("hi"))));
    frame.resize(60, 0); // Ethernet minimum: padding after the datagram
    PacketView p;
    ASSERT_EQ(Parse(frame, p), FrameResult::PACKET);
    EXPECT_EQ(p.src_mac, A);
    EXPECT_EQ(p.dst_mac, B);
    EXPECT_TRUE(p.has_src_mac && p.has_dst_mac);
    EXPECT_EQ(p.src_ip, Ip("10.0.0.1"));
    EXPECT_EQ(p.dst_ip, Ip("10.0.0.2"));
    EXPECT_EQ(p.ip_protocol, 17);
    EXPECT_EQ(p.src_port, 68);
    EXPECT_EQ(p.dst_port, 67);
    EXPECT_EQ(PayloadText(p), "hi");
    EXPECT_EQ(p.payload_wire_size, 2u);
    EXPECT_EQ(p.vlan, 0);
}

TEST(FrameTest, TcpHeaderFieldsAndOptions)
{
    Bytes frame = Ethernet(
        A, B, 0x0800, Ipv4("10.0.0.1", "10.0.0.2", 6, Tcp(40000, 80, 1000, 2000, 0x18, Text("GET"), 12)));
    PacketView p;
    ASSERT_EQ(Parse(frame, p), FrameResult::PACKET);
    EXPECT_EQ(p.ip_protocol, 6);
    EXPECT_EQ(p.tcp_seq, 1000u);
    EXPECT_EQ(p.tcp_ack, 2000u);
    EXPECT_EQ(p.tcp_flags, TCP_PSH | TCP_ACK);
    EXPECT_EQ(PayloadText(p), "GET");
}

TEST(FrameTest, VlanTagsGiveTheInnermostId)
{
    Bytes ip = Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(1, 2, {}));
    struct Case {
        std::vector<std::pair<uint16_t, uint16_t>> tags;
        uint16_t vlan;
    } cases[] = {
        {{{0x8100, 0x2064}}, 100}, // priority bits ignored
        {{{0x88a8, 10}, {0x8100, 20}}, 20}, // QinQ
        {{{0x9100, 10}, {0x8100, 20}}, 20}, // old QinQ type
        {{{0x8100, 0x6000}}, 0}, // priority tag only
        {{{0x88a8, 30}, {0x8100, 0x0000}}, 30}, // priority tag inside a VLAN
    };
    for (const Case &c : cases) {
        PacketView p;
        ASSERT_EQ(Parse(Ethernet(A, B, 0x0800, ip, c.tags), p), FrameResult::PACKET);
        EXPECT_EQ(p.vlan, c.vlan);
    }
    std::vector<std::pair<uint16_t, uint16_t>> many(9, {0x8100, 5});
    PacketView p;
    EXPECT_EQ(Parse(Ethernet(A, B, 0x0800, ip, many), p), FrameResult::MALFORMED);
}

TEST(FrameTest, LinuxCookedHeadersGiveTheSourceMac)
{
    Bytes ip = Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(1, 2, Text("x")));
    PacketView p;
    Bytes sll = Sll(A, 6, 0x0800, ip);
    ASSERT_EQ(Parse(sll, p, LINK_LINUX_SLL), FrameResult::PACKET);
    EXPECT_TRUE(p.has_src_mac);
    EXPECT_FALSE(p.has_dst_mac);
    EXPECT_EQ(p.src_mac, A);
    EXPECT_EQ(PayloadText(p), "x");

    ASSERT_EQ(Parse(Sll(A, 0, 0x0800, ip), p, LINK_LINUX_SLL), FrameResult::PACKET);
    EXPECT_FALSE(p.has_src_mac);

    ASSERT_EQ(Parse(Sll2(B, 6, 0x0800, ip), p, LINK_LINUX_SLL2), FrameResult::PACKET);
    EXPECT_TRUE(p.has_src_mac);
    EXPECT_EQ(p.src_mac, B);
    EXPECT_EQ(p.src_port, 1);

    ASSERT_EQ(
        Parse(Sll2(B, 4, 0x8100, Cat({0, 7, 0x08, 0x00}, ip)), p, LINK_LINUX_SLL2), FrameResult::PACKET);
    EXPECT_FALSE(p.has_src_mac);
    EXPECT_EQ(p.vlan, 7);

    EXPECT_EQ(Parse(ip, p, 12345), FrameResult::NOT_IP);
}

TEST(FrameTest, NotIpAndOtherTransports)
{
    PacketView p;
    EXPECT_EQ(Parse(Ethernet(A, B, 0x0806, Bytes(28, 0)), p), FrameResult::NOT_IP); // ARP
    EXPECT_EQ(Parse(Ethernet(A, B, 0x0026, Bytes(38, 0)), p), FrameResult::NOT_IP); // 802.3 length
    EXPECT_EQ(Parse(Ethernet(A, B, 0x0800, Ipv4("1.1.1.1", "2.2.2.2", 1, Bytes(8, 0))), p),
        FrameResult::OTHER_TRANSPORT);
}

TEST(FrameTest, Ipv4FragmentsAreSkipped)
{
    Bytes udp = Udp(1, 2, Text("abc"));
    PacketView p;
    EXPECT_EQ(Parse(Ethernet(A, B, 0x0800, Ipv4("1.1.1.1", "2.2.2.2", 17, udp, 0x2000)), p),
        FrameResult::FRAGMENT); // more fragments
    EXPECT_EQ(Parse(Ethernet(A, B, 0x0800, Ipv4("1.1.1.1", "2.2.2.2", 17, udp, 0x0010)), p),
        FrameResult::FRAGMENT); // later fragment
    EXPECT_EQ(Parse(Ethernet(A, B, 0x0800, Ipv4("1.1.1.1", "2.2.2.2", 17, udp, 0x4000)), p),
        FrameResult::PACKET); // don't fragment
}

TEST(FrameTest, Ipv6ExtensionHeaders)
{
    Bytes udp = Udp(546, 547, Text("v6"));
    // Hop-by-hop (8 bytes) then destination options (16 bytes) then UDP.
    Bytes hop {60, 0, 1, 4, 0, 0, 0, 0};
    Bytes dest {17, 1, 1, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    PacketView p;
    Bytes frame = Ethernet(A, B, 0x86dd, Ipv6("fe80::1", "ff02::1:2", 0, Cat(Cat(hop, dest), udp)));
    ASSERT_EQ(Parse(frame, p), FrameResult::PACKET);
    EXPECT_EQ(p.src_ip, Ip("fe80::1"));
    EXPECT_EQ(p.dst_port, 547);
    EXPECT_EQ(PayloadText(p), "v6");

    // Authentication header: length in 4-byte units minus two.
    Bytes ah {17, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(Parse(Ethernet(A, B, 0x86dd, Ipv6("::1", "::2", 51, Cat(ah, udp))), p), FrameResult::PACKET);
    EXPECT_EQ(p.src_port, 546);

    Bytes fragment {17, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(
        Parse(Ethernet(A, B, 0x86dd, Ipv6("::1", "::2", 44, Cat(fragment, udp))), p), FrameResult::FRAGMENT);
    EXPECT_EQ(Parse(Ethernet(A, B, 0x86dd, Ipv6("::1", "::2", 50, Bytes(16, 0))), p),
        FrameResult::OTHER_TRANSPORT); // ESP
    EXPECT_EQ(Parse(Ethernet(A, B, 0x86dd, Ipv6("::1", "::2", 59, {})), p), FrameResult::OTHER_TRANSPORT);
    // An extension header longer than the payload.
    Bytes long_hop {17, 3, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Parse(Ethernet(A, B, 0x86dd, Ipv6("::1", "::2", 0, long_hop)), p), FrameResult::MALFORMED);
}

TEST(FrameTest, LengthsThatDoNotHoldTogetherAreMalformed)
{
    PacketView p;
    Bytes good = Ethernet(A, B, 0x0800, Ipv4("1.1.1.1", "2.2.2.2", 17, Udp(1, 2, Text("abcd"))));
    ASSERT_EQ(Parse(good, p), FrameResult::PACKET);

    Bytes bad = good;
    bad[14] = 0x44; // header length 16
    EXPECT_EQ(Parse(bad, p), FrameResult::MALFORMED);
    bad = good;
    bad[14] = 0x65; // version 6 in an IPv4 frame
    EXPECT_EQ(Parse(bad, p), FrameResult::MALFORMED);
    bad = good;
    bad[17] = 200; // total length past the frame
    EXPECT_EQ(Parse(bad, p), FrameResult::MALFORMED);
    bad = good;
    bad[14 + 20 + 5] = 4; // UDP length below its header
    EXPECT_EQ(Parse(bad, p), FrameResult::MALFORMED);
    bad = good;
    bad[14 + 20 + 5] = 40; // UDP length past the datagram
    EXPECT_EQ(Parse(bad, p), FrameResult::MALFORMED);

    Bytes tcp = Ethernet(A, B, 0x0800, Ipv4("1.1.1.1", "2.2.2.2", 6, Tcp(1, 2, 0, 0, 0x10, {})));
    ASSERT_EQ(Parse(tcp, p), FrameResult::PACKET);
    tcp[14 + 20 + 12] = 0x40; // data offset 16 bytes
    EXPECT_EQ(Parse(tcp, p), FrameResult::MALFORMED);
    tcp[14 + 20 + 12] = 0xf0; // data offset 60 bytes: past the segment
    EXPECT_EQ(Parse(tcp, p), FrameResult::MALFORMED);
}

TEST(FrameTest, SnappedFramesAreTruncatedOnlyWhereHeadersAreCut)
{
    Bytes frame
        = Ethernet(A, B, 0x0800, Ipv4("1.1.1.1", "2.2.2.2", 6, Tcp(1, 2, 7, 0, 0x18, Text("0123456789"))));
    PacketView p;
    // Cut inside the TCP header: truncated when snapped, malformed when the
    // wire length says the frame was that short.
    Bytes cut(frame.begin(), frame.begin() + 14 + 20 + 10);
    EXPECT_EQ(Parse(cut, p, LINK_ETHERNET, frame.size()), FrameResult::TRUNCATED);
    EXPECT_EQ(Parse(cut, p, LINK_ETHERNET, cut.size()), FrameResult::MALFORMED);
    Bytes cut_ip(frame.begin(), frame.begin() + 20);
    EXPECT_EQ(Parse(cut_ip, p, LINK_ETHERNET, frame.size()), FrameResult::TRUNCATED);
    // Cut inside the payload: the packet is there, with what was captured.
    Bytes snapped(frame.begin(), frame.end() - 4);
    ASSERT_EQ(Parse(snapped, p, LINK_ETHERNET, frame.size()), FrameResult::PACKET);
    EXPECT_EQ(PayloadText(p), "012345");
    EXPECT_EQ(p.payload_wire_size, 10u);
}

namespace {

const MacAddress C = Mac(3);
const MacAddress D = Mac(4);
const MacAddress E = {0xa4, 0, 0, 0, 0, 5}; // first nibble not 0, 1, 4 or 6
const MacAddress NONE = {};

// An 802.11 frame: frame control, duration, addresses 1 to 3, sequence,
// address 4 when given, then `rest` (QoS control and body).
Bytes Wifi(uint8_t fc0, uint8_t fc1, const std::vector<MacAddress> &addresses, const Bytes &rest)
{
    Bytes b {fc0, fc1, 0, 0};
    for (size_t i = 0; i < addresses.size(); ++i) {
        b.insert(b.end(), addresses[i].begin(), addresses[i].end());
        if (i == 2) b.insert(b.end(), {0, 0});
    }
    return Cat(b, rest);
}

Bytes Snap(uint16_t type, const Bytes &payload)
{
    Bytes b {0xaa, 0xaa, 0x03, 0, 0, 0};
    Put16(b, type);
    return Cat(b, payload);
}

struct TunnelCase {
    const char *name;
    int link;
    Bytes frame;
    FrameResult result;
    MacAddress src_mac; // NONE: the packet has no MACs
    MacAddress dst_mac;
    uint16_t vlan;
};

std::vector<TunnelCase> TunnelCases()
{
    // The packet inside every tunnel: 192.168.7.20:5000 -> 53 "in", or its
    // IPv6 twin; its own Ethernet frame between C and D, tagged in VLAN 9.
    Bytes ip4 = Ipv4("192.168.7.20", "192.168.7.1", 17, Udp(5000, 53, Text("in")));
    Bytes ip6 = Ipv6("fd00::20", "fd00::1", 17, Udp(5000, 53, Text("in")));
    Bytes eth = Ethernet(C, D, 0x0800, ip4, {{0x8100, 9}});
    auto outer = [](uint8_t protocol, const Bytes &payload) {
        return Ethernet(A, B, 0x0800, Ipv4("10.0.0.1", "10.0.0.2", protocol, payload), {{0x8100, 100}});
    };
    auto outer_udp = [&](uint16_t sport, uint16_t dport, const Bytes &payload) {
        return outer(17, Udp(sport, dport, payload));
    };
    Bytes erspan2 = {0x10, 0x64, 0, 1, 0, 0, 0, 0};
    Bytes erspan3 = {0x20, 0x64, 0, 1, 0, 0, 0, 0, 0, 0, 0x00, 0x01}; // O bit: 8 more bytes
    Bytes vxlan = {0x08, 0, 0, 0, 0, 0, 42, 0};
    Bytes geneve = {0x01, 0, 0x65, 0x58, 0, 0, 42, 0, 1, 2, 3, 4};
    Bytes gtp = {0x32, 0xff, 0, 0, 0, 0, 0, 1, 0, 7, 0, 0x85, 1, 0x09, 0x01, 0}; // S, PDU session container
    gtp[3] = static_cast<uint8_t>(gtp.size() - 8 + ip4.size());
    Bytes pppoe4 = {0x11, 0, 0, 1, 0, 0, 0x00, 0x21}, pppoe6 = {0x11, 0, 0, 1, 0, 0, 0x00, 0x57};
    pppoe4[5] = static_cast<uint8_t>(2 + ip4.size());
    pppoe6[5] = static_cast<uint8_t>(2 + ip6.size());
    Bytes labels = {0, 0x01, 0x00, 64, 0, 0x02, 0x01, 64}; // two labels, the second at the bottom
    Bytes ayiya = Cat({0x41, 0x52, 0x11, 41, 0, 0, 0, 0}, Bytes(16 + 20, 0)); // 16-byte id, 5-word signature
    Bytes capwap_8023 = {0, 0x10, 0x02, 0x00, 0, 0, 0, 0}; // HLEN 2, WBID 1, T clear
    Bytes capwap_80211 = {0, 0x10, 0x03, 0x00, 0, 0, 0, 0}; // T set
    Bytes to_ds = Wifi(0x88, 0x01, {B, C, D}, Cat({0, 0}, Snap(0x0800, ip4))); // QoS data
    // TSFT and flags present: TSFT at 8 (aligned), flags at 16.
    Bytes radiotap = {0, 0, 24, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    Bytes fcs = radiotap, bad_fcs = radiotap;
    fcs[16] = 0x10;
    bad_fcs[16] = 0x50;
    radiotap[16] = 0;
    Bytes nested = ip4;
    for (int i = 0; i < 9; ++i)
        nested = Ipv4("10.9.9.1", "10.9.9.2", 4, nested);
    Bytes amsdu = Cat({0x80, 0}, Cat(Cat(Bytes(D.begin(), D.end()), Bytes(C.begin(), C.end())), {0, 0}));
    amsdu[15] = static_cast<uint8_t>(8 + ip4.size());
    amsdu = Cat(amsdu, Snap(0x0800, ip4));
    const int WIFI = LINK_IEEE802_11, RADIOTAP = LINK_IEEE802_11_RADIOTAP, ETH = LINK_ETHERNET;
    const FrameResult OK = FrameResult::PACKET;
    return {
        {"GRE Ethernet bridging", ETH, outer(47, Cat({0, 0, 0x65, 0x58}, eth)), OK, C, D, 9},
        {"GRE bare IP, key and sequence", ETH,
            outer(47, Cat({0x30, 0, 0x08, 0, 0, 0, 0, 7, 0, 0, 0, 1}, ip4)), OK, NONE, NONE, 100},
        {"ERSPAN type I", ETH, outer(47, Cat({0, 0, 0x88, 0xbe}, eth)), OK, C, D, 9},
        {"ERSPAN type II", ETH, outer(47, Cat(Cat({0x10, 0, 0x88, 0xbe, 0, 0, 0, 1}, erspan2), eth)), OK, C,
            D, 9},
        {"ERSPAN type III", ETH, outer(47, Cat(Cat(Cat({0, 0, 0x22, 0xeb}, erspan3), Bytes(8, 0)), eth)), OK,
            C, D, 9},
        {"GRE version 1 (PPTP)", ETH, outer(47, Cat({0x30, 0x01, 0x88, 0x0b}, Bytes(12, 0))),
            FrameResult::OTHER_TRANSPORT, NONE, NONE, 0},
        {"VXLAN", ETH, outer_udp(49152, 4789, Cat(vxlan, Ethernet(C, D, 0x0800, ip4))), OK, C, D, 0},
        {"VXLAN flags without VNI: plain UDP", ETH,
            outer_udp(49152, 4789, Cat({0, 0, 0, 0, 0, 0, 0, 0}, eth)), OK, A, B, 100},
        {"Geneve with an option", ETH, outer_udp(49152, 6081, Cat(geneve, eth)), OK, C, D, 9},
        {"CAPWAP data, 802.3", ETH, outer_udp(5247, 40000, Cat(capwap_8023, eth)), OK, C, D, 9},
        {"CAPWAP data, 802.11", ETH, outer_udp(40000, 5247, Cat(capwap_80211, to_ds)), OK, C, D, 0},
        {"GTP-U with an extension header", ETH, outer_udp(2152, 2152, Cat(gtp, ip4)), OK, NONE, NONE, 100},
        {"GTP-U echo: plain UDP", ETH, outer_udp(2152, 2152, {0x32, 0x01, 0, 4, 0, 0, 0, 0, 0, 1, 0, 0}), OK,
            A, B, 100},
        {"AYIYA IPv6", ETH, outer_udp(5072, 5072, Cat(ayiya, ip6)), OK, NONE, NONE, 100},
        {"PPPoE session IPv4", ETH, Ethernet(A, B, 0x8864, Cat(pppoe4, ip4)), OK, A, B, 0},
        {"PPPoE session IPv6", ETH, Ethernet(A, B, 0x8864, Cat(pppoe6, ip6)), OK, A, B, 0},
        {"PPPoE LCP", ETH, Ethernet(A, B, 0x8864, {0x11, 0, 0, 1, 0, 4, 0xc0, 0x21, 1, 1}),
            FrameResult::NOT_IP, NONE, NONE, 0},
        {"MPLS stack, IPv4", ETH, Ethernet(A, B, 0x8847, Cat(labels, ip4)), OK, NONE, NONE, 0},
        {"MPLS pseudowire with control word", ETH, Ethernet(A, B, 0x8847, Cat(Cat(labels, Bytes(4, 0)), eth)),
            OK, C, D, 9},
        {"MPLS pseudowire without control word", ETH,
            Ethernet(A, B, 0x8848, Cat({0, 0x01, 0x01, 64}, Ethernet(C, E, 0x0800, ip4))), OK, C, E, 0},
        {"MPLS pseudowire without control word, MAC starting 0x0", ETH,
            Ethernet(A, B, 0x8847, Cat({0, 0x01, 0x01, 64}, Ethernet(C, D, 0x0800, ip4))), OK, C, D, 0},
        {"4in4", ETH, outer(4, ip4), OK, NONE, NONE, 100},
        {"6in4", ETH, outer(41, ip6), OK, NONE, NONE, 100},
        {"4in6", ETH, Ethernet(A, B, 0x86dd, Ipv6("2001:db8::1", "2001:db8::2", 4, ip4)), OK, NONE, NONE, 0},
        {"6in6", ETH, Ethernet(A, B, 0x86dd, Ipv6("2001:db8::1", "2001:db8::2", 41, ip6)), OK, NONE, NONE, 0},
        {"VXLAN in GRE in IPv6", ETH,
            Ethernet(A, B, 0x86dd,
                Ipv6("2001:db8::1", "2001:db8::2", 47,
                    Cat({0, 0, 0x08, 0}, Ipv4("10.1.1.1", "10.1.1.2", 17, Udp(1, 4789, Cat(vxlan, eth)))))),
            OK, C, D, 9},
        {"nested past the bound", ETH, outer(4, nested), FrameResult::MALFORMED, NONE, NONE, 0},
        {"802.11 to the DS: address 2", WIFI, to_ds, OK, C, D, 0},
        {"802.11 from the DS: address 3", WIFI, Wifi(0x08, 0x02, {D, B, C}, Snap(0x0800, ip4)), OK, C, D, 0},
        {"802.11 between access points: address 4", WIFI, Wifi(0x08, 0x03, {A, B, D, C}, Snap(0x0800, ip4)),
            OK, C, D, 0},
        {"802.11 A-MSDU", WIFI, Wifi(0x88, 0x01, {B, E, D}, amsdu), OK, C, D, 0},
        {"802.11 protected", WIFI, Wifi(0x08, 0x41, {B, C, D}, Bytes(40, 0)), FrameResult::NOT_IP, NONE, NONE,
            0},
        {"802.11 null function", WIFI, Wifi(0x48, 0x01, {B, C, D}, {}), FrameResult::NOT_IP, NONE, NONE, 0},
        {"802.11 beacon", WIFI, Wifi(0x80, 0x00, {B, C, D}, Bytes(12, 0)), FrameResult::NOT_IP, NONE, NONE,
            0},
        {"radiotap", RADIOTAP, Cat(radiotap, to_ds), OK, C, D, 0},
        {"radiotap with FCS", RADIOTAP, Cat(Cat(fcs, to_ds), {1, 2, 3, 4}), OK, C, D, 0},
        {"radiotap, bad FCS", RADIOTAP, Cat(Cat(bad_fcs, to_ds), {1, 2, 3, 4}), FrameResult::MALFORMED, NONE,
            NONE, 0},
    };
}

} // namespace

TEST(FrameTest, TunnelsGiveTheInnermostPacket)
{
    for (const TunnelCase &c : TunnelCases()) {
        SCOPED_TRACE(c.name);
        PacketView p;
        ASSERT_EQ(Parse(c.frame, p, c.link), c.result);
        if (c.result != FrameResult::PACKET) continue;
        bool macs = c.src_mac != NONE;
        EXPECT_EQ(p.has_src_mac, macs);
        EXPECT_EQ(p.has_dst_mac, macs);
        EXPECT_EQ(p.src_mac, c.src_mac);
        EXPECT_EQ(p.dst_mac, c.dst_mac);
        EXPECT_EQ(p.vlan, c.vlan);
        EXPECT_EQ(p.ip_protocol, 17);
        if (std::string(c.name).find("plain UDP") != std::string::npos) continue; // the outer datagram
        EXPECT_TRUE(p.src_ip == Ip("192.168.7.20") || p.src_ip == Ip("fd00::20"));
        EXPECT_EQ(p.dst_port, 53);
        EXPECT_EQ(PayloadText(p), "in");
    }
}

TEST(FrameTest, AnyBytesAreSafe)
{
    // Every prefix and many random mutations of real-shaped frames, on every
    // link type: the parser answers without reading past the buffer (checked
    // under AddressSanitizer) and a packet's payload lies inside it.
    std::vector<Bytes> seeds = {
        Ethernet(A, B, 0x0800, Ipv4("1.1.1.1", "2.2.2.2", 17, Udp(1, 2, Text("payload"))), {{0x8100, 3}}),
        Ethernet(A, B, 0x86dd,
            Ipv6("::1", "::2", 0, Cat({6, 0, 0, 0, 0, 0, 0, 0}, Tcp(1, 2, 3, 4, 2, Text("x"))))),
        Sll(A, 6, 0x0800, Ipv4("1.1.1.1", "2.2.2.2", 6, Tcp(1, 2, 3, 4, 2, Text("y"), 8))),
        Sll2(A, 6, 0x86dd, Ipv6("::1", "::2", 17, Udp(5, 6, Text("z")))),
    };
    const size_t plain = seeds.size();
    for (const TunnelCase &c : TunnelCases())
        seeds.push_back(c.frame);
    std::mt19937 random(7);
    const int links[]
        = {LINK_ETHERNET, LINK_LINUX_SLL, LINK_LINUX_SLL2, LINK_IEEE802_11, LINK_IEEE802_11_RADIOTAP};
    size_t packets = 0;
    for (size_t i = 0; i < seeds.size(); ++i) {
        const Bytes &seed = seeds[i];
        for (size_t n = 0; n <= seed.size(); ++n) {
            Bytes prefix(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(n));
            for (int link : links) {
                PacketView p;
                ParseFrame(link, prefix.data(), prefix.size(), seed.size(), p);
                ParseFrame(link, prefix.data(), prefix.size(), prefix.size(), p);
            }
        }
        for (int round = 0, rounds = i < plain ? 3000 : 600; round < rounds; ++round) {
            Bytes mutated = seed;
            for (int k = 0; k < 4; ++k)
                mutated[random() % mutated.size()] = static_cast<uint8_t>(random());
            for (int link : links) {
                PacketView p;
                if (ParseFrame(link, mutated.data(), mutated.size(), mutated.size(), p)
                    == FrameResult::PACKET) {
                    ++packets;
                    ASSERT_GE(p.payload, mutated.data());
                    ASSERT_LE(p.payload + p.payload_size, mutated.data() + mutated.size());
                }
            }
        }
    }
    EXPECT_GT(packets, 0u);
    PacketView p;
    EXPECT_EQ(ParseFrame(LINK_ETHERNET, nullptr, 0, 0, p), FrameResult::MALFORMED);
}

TEST(AddressTextTest, Ipv4Ipv6AndMac)
{
    for (const char *text : {"192.168.1.20", "0.0.0.0", "255.255.255.255", "10.0.100.9"})
        EXPECT_EQ(Ip(text).Text(), text);
    const char *v6[]
        = {"::", "::1", "fe80::1", "2001:db8::8:0:0:1", "2001:db8:0:1:1:1:1:1", "ff02::fb", "1:0:0:2::3",
            "2001:db8::", "::ffff:10.1.2.3", "fe80::abcd:f0:0:1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"};
    for (const char *text : v6)
        EXPECT_EQ(Ip(text).Text(), text);
    EXPECT_EQ(IpAddress().Text(), "");
    EXPECT_TRUE(Ip("0.0.0.0").IsUnspecified());
    EXPECT_TRUE(Ip("::").IsUnspecified());
    EXPECT_FALSE(Ip("::1").IsUnspecified());
    EXPECT_FALSE(IpAddress().IsUnspecified());
    EXPECT_EQ(MacText(MacAddress {0xd8, 0x30, 0x62, 0x56, 0x00, 0x1c}), "d8:30:62:56:00:1c");
    EXPECT_EQ(MacText(MacAddress {0xff, 0xab, 0x0f, 0xf0, 0x09, 0x90}), "ff:ab:0f:f0:09:90");
    EXPECT_STREQ(ProtocolName(PROTO_DHCP), "DHCP");
    EXPECT_STREQ(ProtocolName(PROTO_QUIC), "QUIC");
    EXPECT_STREQ(ProtocolName(PROTO_OPENVPN), "OpenVPN");
    EXPECT_STREQ(ProtocolName(4242), "unknown");
}

namespace {

std::string StreamText(const TcpStream &s)
{
    return std::string(reinterpret_cast<const char *>(s.Data()), s.Size());
}

bool Add(TcpStream &s, uint32_t seq, const std::string &text)
{
    return s.Add(seq, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

} // namespace

TEST(TcpStreamTest, RetransmissionsAndOverlapsAreTrimmed)
{
    TcpStream s(100);
    s.Syn(999);
    EXPECT_TRUE(Add(s, 1000, "hello "));
    EXPECT_FALSE(Add(s, 1000, "hello ")); // retransmission
    EXPECT_TRUE(Add(s, 1003, "lo world")); // overlap
    EXPECT_EQ(StreamText(s), "hello world");
    EXPECT_FALSE(Add(s, 990, "0123456789")); // wholly before the stream
}

TEST(TcpStreamTest, OutOfOrderSegmentsWaitForTheGap)
{
    TcpStream s(100);
    EXPECT_TRUE(Add(s, 50, "ab")); // no SYN: the first segment starts the stream
    EXPECT_FALSE(Add(s, 56, "gh"));
    EXPECT_FALSE(Add(s, 54, "ef"));
    EXPECT_EQ(StreamText(s), "ab");
    EXPECT_TRUE(Add(s, 52, "cd"));
    EXPECT_EQ(StreamText(s), "abcdefgh");
}

TEST(TcpStreamTest, BoundAndSequenceWrap)
{
    TcpStream s(8);
    s.Syn(0xfffffffc);
    EXPECT_TRUE(Add(s, 0xfffffffd, "abc"));
    EXPECT_TRUE(Add(s, 0, "defghijkl")); // wraps to zero
    EXPECT_EQ(StreamText(s), "abcdefgh");
    EXPECT_TRUE(s.Full());
    EXPECT_FALSE(Add(s, 100, "zz"));
    s.Release();
    EXPECT_EQ(s.Size(), 0u);
}

TEST(TcpStreamTest, DiscardSkipsKeptAndComingBytes)
{
    TcpStream s(16);
    s.Syn(0);
    Add(s, 1, "HEADbody");
    s.Discard(4);
    EXPECT_EQ(StreamText(s), "body");
    // Skip past what is kept: the next 6 bytes to come are dropped too.
    s.Discard(10);
    EXPECT_EQ(s.Size(), 0u);
    EXPECT_FALSE(Add(s, 9, "xxxx"));
    EXPECT_TRUE(Add(s, 13, "xxNEXT"));
    EXPECT_EQ(StreamText(s), "NEXT");
    // Held segments move with the front.
    EXPECT_FALSE(Add(s, 21, "tail"));
    EXPECT_TRUE(Add(s, 19, "++"));
    EXPECT_EQ(StreamText(s), "NEXT++tail");
    s.Discard(6);
    EXPECT_EQ(StreamText(s), "tail");
    // The bound counts kept bytes: after discarding there is room again.
    EXPECT_TRUE(Add(s, 25, "0123456789ABCDEFXYZ"));
    EXPECT_EQ(StreamText(s), "tail0123456789AB");
}
