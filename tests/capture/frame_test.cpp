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
    std::mt19937 random(7);
    const int links[] = {LINK_ETHERNET, LINK_LINUX_SLL, LINK_LINUX_SLL2};
    size_t packets = 0;
    for (const Bytes &seed : seeds) {
        for (size_t n = 0; n <= seed.size(); ++n) {
            Bytes prefix(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(n));
            for (int link : links) {
                PacketView p;
                ParseFrame(link, prefix.data(), prefix.size(), seed.size(), p);
                ParseFrame(link, prefix.data(), prefix.size(), prefix.size(), p);
            }
        }
        for (int round = 0; round < 3000; ++round) {
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
