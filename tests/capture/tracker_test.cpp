#include "capture/tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "capture/frame.h"
#include "capture/pcap_source.h"
#include "capture/dhcp.h"
#include "capture/http.h"
#include "capture/mdns.h"
#include "capture/openvpn.h"
#include "capture/protocols.h"
#include "capture/quic.h"
#include "capture/ssdp.h"
#include "capture/stream_upgrade.h"
#include "capture/tls_hello.h"
#include "frames.h"
#include "tests/support/files.h"

using namespace ostrel_capture;
using namespace ostrel_capture_test;

namespace {

const Host CLIENT {Mac(1), "192.168.1.20", 50000};
const Host SERVER {Mac(2), "192.168.1.1", 80};

Bytes DhcpRequest(uint8_t mac_last, const std::string &host_name, const Bytes &parameters = {1, 3, 6})
{
    Bytes b {1, 1, 6, 0, 0, 0, 0, 1};
    b.resize(28, 0);
    MacAddress mac = Mac(mac_last);
    b.insert(b.end(), mac.begin(), mac.end());
    b.resize(236, 0);
    b.insert(b.end(), {99, 130, 83, 99, 53, 1, 3});
    b.push_back(55);
    b.push_back(static_cast<uint8_t>(parameters.size()));
    b.insert(b.end(), parameters.begin(), parameters.end());
    if (!host_name.empty()) {
        b.push_back(12);
        b.push_back(static_cast<uint8_t>(host_name.size()));
        b.insert(b.end(), host_name.begin(), host_name.end());
    }
    b.push_back(255);
    return b;
}

Bytes MdnsQuestions(const std::vector<std::string> &names)
{
    Bytes b(12, 0);
    b[5] = static_cast<uint8_t>(names.size());
    for (const std::string &name : names) {
        size_t start = 0;
        while (start <= name.size()) {
            size_t dot = name.find('.', start);
            if (dot == std::string::npos) dot = name.size();
            b.push_back(static_cast<uint8_t>(dot - start));
            b.insert(b.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                name.begin() + static_cast<std::ptrdiff_t>(dot));
            start = dot + 1;
        }
        b.insert(b.end(), {0, 0, 12, 0, 1});
    }
    return b;
}

// The one ClientHello of a real capture.
Bytes Tls12Hello()
{
    PcapSource source;
    CapturedFrame frame;
    PacketView packet;
    if (!source.OpenFile(OSTREL_TESTDATA_DIR "/captures/tls12.pcap")
        || source.Next(frame) != PcapSource::FRAME
        || ParseFrame(source.LinkType(), frame.data, frame.caplen, frame.wirelen, packet)
            != FrameResult::PACKET)
        return {};
    return Bytes(packet.payload, packet.payload + packet.payload_size);
}

const char TLS12_JA4[] = "t13d1715h2_5b57614c22b0_3d5424432f57";

class TrackerTest : public testing::Test
{
protected:
    void Make(const TrackerOptions &options = TrackerOptions())
    {
        tracker
            = std::make_unique<Tracker>(options, [this](FlowEvent &&e) { events.push_back(std::move(e)); });
    }
    void SetUp() override { Make(); }

    void Feed(const Bytes &frame, int64_t time = 1000000)
    {
        tracker->Frame(LINK_ETHERNET, frame.data(), frame.size(), frame.size(), time);
    }

    std::vector<FlowEvent> Of(EventType type) const
    {
        std::vector<FlowEvent> out;
        for (const FlowEvent &e : events)
            if (e.type == type) out.push_back(e);
        return out;
    }

    static const Endpoint &Origin(const FlowRecord &r)
    {
        return r.origin == ORIGIN_UPPER ? r.upper : r.lower;
    }

    std::unique_ptr<Tracker> tracker;
    std::vector<FlowEvent> events;
};

} // namespace

TEST_F(TrackerTest, BothDirectionsAreOneFlowOrderedByAddressThenPort)
{
    Host dns {Mac(3), "192.168.1.1", 53};
    Feed(UdpFrame(CLIENT, dns, Text("query")));
    Feed(UdpFrame(dns, CLIENT, Text("answer")));
    Feed(UdpFrame(CLIENT, Host {Mac(3), "192.168.1.1", 54}, Text("other port")));
    EXPECT_EQ(tracker->ActiveFlows(), 2u);
    auto news = Of(EVENT_FLOW_NEW);
    ASSERT_EQ(news.size(), 2u);
    const FlowRecord &r = news[0].flow;
    EXPECT_EQ(r.ip_protocol, 17);
    EXPECT_EQ(r.lower.ip, Ip("192.168.1.1"));
    EXPECT_EQ(r.lower.port, 53);
    EXPECT_EQ(r.upper.ip, Ip("192.168.1.20"));
    EXPECT_EQ(r.origin, ORIGIN_UPPER);
    EXPECT_EQ(r.detected_protocol, PROTO_DNS);
    // DNS gives nothing to read: complete at once, and nothing after it.
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[1].type, EVENT_FLOW_DPI_COMPLETE);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), 2u);

    // Same address: ordered by port. Another VLAN: another flow.
    Feed(UdpFrame(Host {Mac(1), "10.0.0.1", 9000}, Host {Mac(1), "10.0.0.1", 8000}, Text("x")));
    EXPECT_EQ(Of(EVENT_FLOW_NEW).back().flow.lower.port, 8000);
    Bytes tagged = Ethernet(
        CLIENT.mac, dns.mac, 0x0800, Ipv4(CLIENT.ip, dns.ip, 17, Udp(50000, 53, {})), {{0x8100, 42}});
    Feed(tagged);
    EXPECT_EQ(tracker->ActiveFlows(), 4u);
    EXPECT_EQ(Of(EVENT_FLOW_NEW).back().flow.vlan, 42);

    tracker->Flush(2000000);
    EXPECT_EQ(tracker->ActiveFlows(), 0u);
    const CaptureCounters &c = tracker->Counters();
    EXPECT_EQ(c.frames, 5u);
    EXPECT_EQ(c.flows, 4u);
    EXPECT_EQ(c.flows_by_protocol.at(PROTO_DNS), 2u);
    EXPECT_EQ(c.flows_by_protocol.at(PROTO_UNKNOWN), 2u);
    EXPECT_EQ(c.events, events.size());
    EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), 4u);
}

TEST_F(TrackerTest, TcpOriginFollowsTheSyn)
{
    struct Case {
        Host from;
        Host to;
        uint8_t flags;
        uint8_t origin;
    } cases[] = {
        {CLIENT, SERVER, TCP_SYN, ORIGIN_UPPER}, // SYN: its sender
        {SERVER, CLIENT, TCP_SYN | TCP_ACK, ORIGIN_UPPER}, // SYN+ACK first: its receiver
        {SERVER, CLIENT, TCP_ACK, ORIGIN_UPPER}, // mid-stream from a well-known port: its receiver
        {CLIENT, SERVER, TCP_ACK, ORIGIN_UPPER}, // mid-stream to one: its sender
        {Host {SERVER.mac, SERVER.ip, 8080}, CLIENT, TCP_ACK, ORIGIN_LOWER}, // else: the first sender
    };
    for (const Case &c : cases) {
        events.clear();
        Make();
        Feed(TcpFrame(c.from, c.to, c.flags, 1));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].flow.origin, c.origin);
        EXPECT_EQ(events[0].flow.ip_protocol, 6);
    }
}

TEST_F(TrackerTest, MacsFollowTheirSenders)
{
    // Before the server sends, its MAC is the destination of the client's
    // packets (here a router's); afterwards its own source MAC.
    Host via_router {Mac(9), SERVER.ip, 53};
    Host server {Mac(2), SERVER.ip, 53};
    Feed(UdpFrame(CLIENT, via_router, Text("q")));
    EXPECT_EQ(events[0].flow.lower.mac, Mac(9));
    EXPECT_EQ(events[0].flow.upper.mac, Mac(1));
    Feed(UdpFrame(server, CLIENT, Text("a")));
    tracker->Flush(2000000);
    EXPECT_EQ(tracker->Counters().flows, 1u);

    events.clear();
    Make();
    // The same endpoint sending from another MAC is another device.
    Feed(UdpFrame(CLIENT, server, Text("q")));
    Feed(UdpFrame(Host {Mac(7), CLIENT.ip, CLIENT.port}, server, Text("q")));
    EXPECT_EQ(tracker->Counters().flows, 2u);
    EXPECT_EQ(tracker->Counters().flows_ended, 1u);
    auto news = Of(EVENT_FLOW_NEW);
    ASSERT_EQ(news.size(), 2u);
    EXPECT_EQ(news[1].flow.upper.mac, Mac(7));

    // A cooked frame without the sender's address, then one with it: the
    // same device, whose MAC is now known.
    events.clear();
    Make();
    Bytes ip = Ipv4(CLIENT.ip, server.ip, 17, Udp(CLIENT.port, 5353, Text("q")));
    Bytes without = Sll(CLIENT.mac, 0, 0x0800, ip), with = Sll(CLIENT.mac, 6, 0x0800, ip);
    tracker->Frame(LINK_LINUX_SLL, without.data(), without.size(), without.size(), 1);
    EXPECT_FALSE(events[0].flow.upper.has_mac);
    tracker->Frame(LINK_LINUX_SLL, with.data(), with.size(), with.size(), 2);
    tracker->Flush(3);
    EXPECT_EQ(tracker->Counters().flows, 1u);
    auto completes = Of(EVENT_FLOW_DPI_COMPLETE);
    ASSERT_EQ(completes.size(), 1u);
    EXPECT_TRUE(completes[0].flow.upper.has_mac);
    EXPECT_EQ(completes[0].flow.upper.mac, CLIENT.mac);
}

TEST_F(TrackerTest, BroadcastDhcpSplitsPerClient)
{
    Host server {MacAddress {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "255.255.255.255", 67};
    Feed(UdpFrame(Host {Mac(1), "0.0.0.0", 68}, server, DhcpRequest(1, "alpha", {1, 3, 6, 15})));
    Feed(UdpFrame(Host {Mac(1), "0.0.0.0", 68}, server, DhcpRequest(1, "alpha", {1, 3, 6, 15}))); // no news
    Feed(UdpFrame(Host {Mac(2), "0.0.0.0", 68}, server, DhcpRequest(2, "beta", {1, 121})));
    Feed(UdpFrame(Host {Mac(2), "0.0.0.0", 68}, server, DhcpRequest(2, "beta-2", {1, 121})));
    tracker->Flush(5000000);

    auto updates = Of(EVENT_FLOW_DPI_UPDATE);
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[0].flow.detected_protocol, PROTO_DHCP);
    EXPECT_EQ(Origin(updates[0].flow).mac, Mac(1));
    EXPECT_EQ(updates[0].flow.dhcp_fingerprint, "1,3,6,15");
    EXPECT_EQ(updates[0].flow.host_name, "alpha");
    EXPECT_EQ(Origin(updates[1].flow).mac, Mac(2));
    EXPECT_EQ(updates[1].flow.host_name, "beta");
    EXPECT_EQ(updates[2].flow.host_name, "beta-2");
    EXPECT_EQ(updates[2].flow.dhcp_fingerprint, "1,121");

    auto completes = Of(EVENT_FLOW_DPI_COMPLETE);
    ASSERT_EQ(completes.size(), 2u);
    EXPECT_EQ(Origin(completes[0].flow).mac, Mac(1));
    EXPECT_EQ(completes[0].flow.host_name, "alpha");
    EXPECT_EQ(completes[1].flow.host_name, "beta-2");
    EXPECT_EQ(tracker->Counters().flows_by_protocol.at(PROTO_DHCP), 2u);
}

// A request forwarded by a relay agent is its client's (chaddr): the relay
// that sent it gets none of its values, nor the client the relay's address.
TEST_F(TrackerTest, RelayedDhcpBelongsToItsClient)
{
    const Host relay {Mac(9), "10.0.0.1", 67};
    const Host server {Mac(2), "10.0.0.2", 67};
    Bytes relayed = DhcpRequest(5, "sbc", {1, 3, 6});
    relayed[24] = 10, relayed[27] = 1; // giaddr
    Feed(UdpFrame(relay, server, relayed));
    Bytes own = DhcpRequest(9, "switch", {1, 3});
    Feed(UdpFrame(relay, server, own)); // the relay's own request, giaddr unset
    tracker->Flush(5000000);

    auto updates = Of(EVENT_FLOW_DPI_UPDATE);
    ASSERT_EQ(updates.size(), 2u);
    const Endpoint &client = Origin(updates[0].flow);
    EXPECT_EQ(client.mac, Mac(5));
    EXPECT_TRUE(client.ip.IsUnspecified());
    EXPECT_EQ(updates[0].flow.host_name, "sbc");
    EXPECT_EQ(Origin(updates[1].flow).mac, Mac(9));
    EXPECT_EQ(updates[1].flow.host_name, "switch");
    EXPECT_EQ(updates[1].flow.dhcp_fingerprint, "1,3");
}

TEST_F(TrackerTest, IdleFlowsExpireByTheirOwnTimeout)
{
    TrackerOptions options;
    options.udp_timeout_usec = 10;
    options.tcp_timeout_usec = 100;
    Make(options);
    Host mdns {Mac(5), "224.0.0.251", 5353};
    Feed(UdpFrame(Host {Mac(1), CLIENT.ip, 5353}, mdns, MdnsQuestions({"_a._tcp.local"})), 0);
    Feed(TcpFrame(CLIENT, SERVER, TCP_SYN, 1), 0);
    Feed(TcpFrame(CLIENT, SERVER, TCP_ACK, 2), 5);
    EXPECT_EQ(tracker->ActiveFlows(), 2u);
    tracker->Expire(10);
    EXPECT_EQ(tracker->ActiveFlows(), 2u); // idle for exactly the timeout
    Feed(UdpFrame(CLIENT, Host {Mac(3), "192.168.1.3", 53}, {}), 11);
    EXPECT_EQ(tracker->Counters().flows_expired, 1u);
    EXPECT_EQ(tracker->ActiveFlows(), 2u);
    tracker->Expire(106);
    EXPECT_EQ(tracker->Counters().flows_expired, 3u);
    EXPECT_EQ(tracker->ActiveFlows(), 0u);
    // The mDNS flow was inspected until it ended: complete at expiry.
    auto completes = Of(EVENT_FLOW_DPI_COMPLETE);
    ASSERT_FALSE(completes.empty());
    EXPECT_EQ(completes[0].time_usec, 11);
    EXPECT_EQ(completes[0].flow.mdns_domain_name, "_a._tcp.local");
}

TEST_F(TrackerTest, TheLeastRecentlyActiveFlowIsEvicted)
{
    TrackerOptions options;
    options.max_flows = 2;
    Make(options);
    Host a {Mac(3), "10.0.0.3", 1000}, b {Mac(4), "10.0.0.4", 1000}, c {Mac(5), "10.0.0.5", 1000};
    Feed(UdpFrame(CLIENT, a, {}), 1);
    Feed(TcpFrame(CLIENT, b, TCP_SYN, 1), 2);
    Feed(UdpFrame(CLIENT, a, {}), 3); // a is now the most recent
    Feed(UdpFrame(CLIENT, c, {}), 4);
    EXPECT_EQ(tracker->ActiveFlows(), 2u);
    EXPECT_EQ(tracker->Counters().flows_evicted, 1u);
    EXPECT_EQ(tracker->Counters().peak_flows, 3u);
    Feed(UdpFrame(CLIENT, a, {}), 5);
    EXPECT_EQ(tracker->Counters().flows, 3u); // a survived
    Feed(TcpFrame(CLIENT, b, TCP_ACK, 2), 6);
    EXPECT_EQ(tracker->Counters().flows, 4u); // b did not
}

TEST_F(TrackerTest, HttpKeepAliveRequestsAcrossSegmentsInAnyOrder)
{
    std::string first
        = "POST /a HTTP/1.1\r\nHost: x\r\nUser-Agent: agent-one\r\nContent-Length: 5\r\n\r\nhello";
    std::string second = "GET /b HTTP/1.1\r\nUser-Agent: agent-two\r\n\r\n";
    std::string third = "GET /c HTTP/1.1\r\nUser-Agent: agent-one\r\n\r\n";
    std::string fourth = "POST /d HTTP/1.1\r\nUser-Agent: agent-three\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string fifth = "GET /e HTTP/1.1\r\nUser-Agent: agent-four\r\n\r\n";
    std::string stream = first + second + third + fourth + "5\r\nhello\r\n0\r\n\r\n" + fifth;
    Feed(TcpFrame(CLIENT, SERVER, TCP_SYN, 100));
    Feed(TcpFrame(SERVER, CLIENT, TCP_SYN | TCP_ACK, 7000, {}, 101));
    // Segments of 20 bytes, each pair sent in reverse, one retransmitted.
    std::vector<std::pair<uint32_t, std::string>> segments;
    for (size_t at = 0; at < stream.size(); at += 20)
        segments.emplace_back(101 + at, stream.substr(at, 20));
    for (size_t i = 0; i + 1 < segments.size(); i += 2)
        std::swap(segments[i], segments[i + 1]);
    segments.insert(segments.begin() + 3, segments[1]);
    for (const auto &[seq, text] : segments)
        Feed(TcpFrame(CLIENT, SERVER, TCP_ACK | TCP_PSH, seq, Text(text)));
    auto updates = Of(EVENT_FLOW_DPI_UPDATE);
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[0].flow.user_agent, "agent-one");
    EXPECT_EQ(updates[0].flow.user_agent_source, UA_HTTP);
    EXPECT_EQ(updates[0].flow.detected_protocol, PROTO_HTTP);
    EXPECT_EQ(updates[1].flow.user_agent, "agent-two");
    EXPECT_EQ(updates[2].flow.user_agent, "agent-three");
    // A chunked body ends the reading: complete before the flow ends.
    auto completes = Of(EVENT_FLOW_DPI_COMPLETE);
    ASSERT_EQ(completes.size(), 1u);
    EXPECT_EQ(completes[0].flow.user_agent, "agent-three");
    EXPECT_EQ(completes[0].flow.origin, ORIGIN_UPPER);
    Feed(TcpFrame(CLIENT, SERVER, TCP_FIN | TCP_ACK, 5000));
    EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), 1u);
    EXPECT_EQ(tracker->Counters().flows_ended, 1u);
    EXPECT_EQ(tracker->ActiveFlows(), 0u);
}

TEST_F(TrackerTest, FinEndsTheFlowAfterItsDataIsRead)
{
    Feed(TcpFrame(CLIENT, SERVER, TCP_SYN, 100));
    Feed(TcpFrame(CLIENT, SERVER, TCP_FIN | TCP_ACK | TCP_PSH, 101,
        Text("GET / HTTP/1.0\r\nUser-Agent: last-words\r\n\r\n")));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].type, EVENT_FLOW_DPI_UPDATE);
    EXPECT_EQ(events[1].flow.user_agent, "last-words");
    EXPECT_EQ(events[2].type, EVENT_FLOW_DPI_COMPLETE);
    EXPECT_EQ(tracker->ActiveFlows(), 0u);
    EXPECT_EQ(tracker->Counters().flows_by_protocol.at(PROTO_HTTP), 1u);

    // RST too; a stream that is neither TLS nor HTTP completes at once.
    events.clear();
    Feed(TcpFrame(CLIENT, SERVER, TCP_SYN, 100));
    Feed(TcpFrame(CLIENT, SERVER, TCP_ACK, 101, Text("SSH-2.0-x\r\n")));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].type, EVENT_FLOW_DPI_COMPLETE);
    EXPECT_EQ(events[1].flow.detected_protocol, PROTO_UNKNOWN);
    Feed(TcpFrame(SERVER, CLIENT, TCP_RST, 1));
    EXPECT_EQ(events.size(), 2u);
    EXPECT_EQ(tracker->ActiveFlows(), 0u);
}

TEST_F(TrackerTest, TheLastPacketsOfACloseStartNoFlow)
{
    // The server's FIN and the client's last ACK would otherwise be a new
    // mid-stream flow with the server as its device.
    Feed(TcpFrame(CLIENT, SERVER, TCP_SYN, 100), 1000000);
    Feed(TcpFrame(SERVER, CLIENT, TCP_SYN | TCP_ACK, 7), 1000000);
    Feed(TcpFrame(CLIENT, SERVER, TCP_FIN | TCP_ACK, 101), 2000000);
    Feed(TcpFrame(SERVER, CLIENT, TCP_FIN | TCP_ACK, 8), 2000000);
    Feed(TcpFrame(CLIENT, SERVER, TCP_ACK, 102), 2000000);
    EXPECT_EQ(tracker->Counters().flows, 1u);
    EXPECT_EQ(tracker->Counters().flows_ended, 1u);
    EXPECT_EQ(Of(EVENT_FLOW_NEW).size(), 1u);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), 1u);
    EXPECT_EQ(tracker->ActiveFlows(), 0u);

    // A new connection on the same ports is a new flow at once...
    Feed(TcpFrame(CLIENT, SERVER, TCP_SYN, 5000), 3000000);
    EXPECT_EQ(tracker->Counters().flows, 2u);
    EXPECT_EQ(tracker->ActiveFlows(), 1u);
    Feed(TcpFrame(CLIENT, SERVER, TCP_RST, 5001), 3000000);
    // ...and a closed one is gone once its close is surely over, counted once.
    tracker->Expire(60000000);
    EXPECT_EQ(tracker->Counters().flows_ended, 2u);
    EXPECT_EQ(tracker->Counters().flows_expired, 0u);
    Feed(TcpFrame(SERVER, CLIENT, TCP_ACK, 9), 61000000);
    EXPECT_EQ(tracker->Counters().flows, 3u);
}

TEST_F(TrackerTest, MidStreamValuesAreCarriedByTheirSender)
{
    // The first packet seen is the server's, on a port that does not say it
    // is one: the flow's origin is the server, but the user agent belongs to
    // the client that sent it.
    const Host proxy {SERVER.mac, SERVER.ip, 8080};
    Feed(TcpFrame(proxy, CLIENT, TCP_ACK, 9000, Text("HTTP/1.1 200 OK\r\n\r\n")));
    Feed(TcpFrame(CLIENT, proxy, TCP_ACK, 500, Text("GET / HTTP/1.1\r\nUser-Agent: mid\r\n\r\n")));
    tracker->Flush(2000000);
    auto updates = Of(EVENT_FLOW_DPI_UPDATE);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].flow.user_agent, "mid");
    EXPECT_EQ(Origin(updates[0].flow).mac, CLIENT.mac);
    EXPECT_EQ(Origin(updates[0].flow).port, CLIENT.port);
    auto completes = Of(EVENT_FLOW_DPI_COMPLETE);
    ASSERT_EQ(completes.size(), 1u);
    EXPECT_EQ(Origin(completes[0].flow).mac, SERVER.mac);
    EXPECT_EQ(completes[0].flow.user_agent, "");

    // From a well-known port, the first packet names the server.
    events.clear();
    Feed(TcpFrame(SERVER, CLIENT, TCP_ACK, 9000, Text("HTTP/1.1 200 OK\r\n\r\n")), 3000000);
    ASSERT_EQ(Of(EVENT_FLOW_NEW).size(), 1u);
    EXPECT_EQ(Origin(events[0].flow).mac, CLIENT.mac);
}

TEST_F(TrackerTest, TcpKeepsTheFirstCopyAndStartsAfreshAtAnotherSyn)
{
    // A later copy that overlaps held bytes loses to them.
    std::string request = "GET / HTTP/1.1\r\nUser-Agent: first-copy\r\n\r\n";
    Feed(TcpFrame(CLIENT, SERVER, TCP_SYN, 100));
    Feed(TcpFrame(CLIENT, SERVER, TCP_ACK, 121, Text(request.substr(20))));
    Feed(TcpFrame(CLIENT, SERVER, TCP_ACK, 101, Text(request.substr(0, 20) + std::string(10, 'X'))));
    ASSERT_EQ(Of(EVENT_FLOW_DPI_UPDATE).size(), 1u);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_UPDATE)[0].flow.user_agent, "first-copy");

    // A request cut short; its SYN again changes nothing, a SYN with another
    // ISN is a new connection whose request is read from its own start.
    events.clear();
    const Host proxy {SERVER.mac, SERVER.ip, 3128};
    Feed(TcpFrame(CLIENT, proxy, TCP_SYN, 100));
    Feed(TcpFrame(CLIENT, proxy, TCP_ACK, 101, Text("GET / HTTP/1.1\r\nUser-Agent: lost")));
    Feed(TcpFrame(CLIENT, proxy, TCP_SYN, 100));
    EXPECT_EQ(events.size(), 1u);
    Feed(TcpFrame(CLIENT, proxy, TCP_SYN, 90000));
    Feed(TcpFrame(proxy, CLIENT, TCP_SYN | TCP_ACK, 7000, {}, 90001));
    Feed(TcpFrame(CLIENT, proxy, TCP_ACK, 90001, Text("GET / HTTP/1.1\r\nUser-Agent: again\r\n\r\n")));
    ASSERT_EQ(Of(EVENT_FLOW_NEW).size(), 2u);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), 1u);
    ASSERT_EQ(Of(EVENT_FLOW_DPI_UPDATE).size(), 1u);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_UPDATE)[0].flow.user_agent, "again");

    // One byte far ahead of its gap costs its size, not a buffer to its offset.
    size_t before = tracker->HeldBytes();
    for (uint16_t port = 1; port <= 1000; ++port) {
        const Host from {CLIENT.mac, CLIENT.ip, port};
        Feed(TcpFrame(from, SERVER, TCP_SYN, 0));
        Feed(TcpFrame(from, SERVER, TCP_ACK, 16383, Text("x")));
    }
    EXPECT_LT(tracker->HeldBytes() - before, 1000u * 256);
}

TEST_F(TrackerTest, ValuesAreGivenOncePerEndpointWithinTheMemoryBudget)
{
    // A keep-alive stream: past the per-flow bound new agents are counted,
    // and none already given is given again.
    std::string stream;
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 20; ++i)
            stream += "GET / HTTP/1.1\r\nUser-Agent: agent-" + std::to_string(i) + "\r\n\r\n";
    Feed(TcpFrame(CLIENT, SERVER, TCP_SYN, 0));
    Feed(TcpFrame(CLIENT, SERVER, TCP_ACK, 1, Text(stream)));
    EXPECT_EQ(Of(EVENT_FLOW_DPI_UPDATE).size(), 16u);
    EXPECT_EQ(tracker->Counters().user_agents_dropped, 8u);

    // The same text from the other endpoint is that endpoint's value.
    events.clear();
    const Host device {Mac(7), "192.168.1.7", 1900};
    Feed(UdpFrame(CLIENT, device, Text("M-SEARCH * HTTP/1.1\r\nUSER-AGENT: same/1\r\n\r\n")));
    Feed(UdpFrame(device, CLIENT, Text("HTTP/1.1 200 OK\r\nSERVER: same/1\r\n\r\n")));
    auto updates = Of(EVENT_FLOW_DPI_UPDATE);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(Origin(updates[0].flow).mac, CLIENT.mac);
    EXPECT_EQ(Origin(updates[1].flow).mac, device.mac);

    // Past the budget the least recently active holders give way; the
    // newest still reads its request once its gap fills.
    TrackerOptions options;
    options.memory_budget = 32 * 1024;
    Make(options);
    events.clear();
    std::string head = "GET / HTTP/1.1\r\nUser-Agent: newest\r\nX: " + std::string(4000, 'a') + "\r\n\r\n";
    for (uint16_t port = 1; port <= 20; ++port) {
        Feed(TcpFrame(Host {CLIENT.mac, CLIENT.ip, port}, SERVER, TCP_SYN, 0), port);
        Feed(TcpFrame(Host {CLIENT.mac, CLIENT.ip, port}, SERVER, TCP_ACK, 11, Text(head.substr(10))), port);
        EXPECT_LE(tracker->HeldBytes(), options.memory_budget);
        EXPECT_EQ(tracker->HeldBytes(), tracker->RecountHeldBytes());
    }
    const CaptureCounters &c = tracker->Counters();
    EXPECT_GT(c.flows_given_way, 0u);
    EXPECT_GE(c.bytes_given_way, c.flows_given_way * 4000);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), c.flows_given_way);
    Feed(TcpFrame(Host {CLIENT.mac, CLIENT.ip, 1}, SERVER, TCP_ACK, 1, Text(head.substr(0, 10))), 30);
    Feed(TcpFrame(Host {CLIENT.mac, CLIENT.ip, 20}, SERVER, TCP_ACK, 1, Text(head.substr(0, 10))), 30);
    ASSERT_EQ(Of(EVENT_FLOW_DPI_UPDATE).size(), 1u);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_UPDATE)[0].flow.user_agent, "newest");
    EXPECT_EQ(Origin(Of(EVENT_FLOW_DPI_UPDATE)[0].flow).port, 20);

    // Flows that gave way free their texts too (a name too long to be held
    // in place), so each gives way once and the budget holds.
    options.memory_budget = 3000;
    Make(options);
    events.clear();
    const Host mdns {Mac(5), "224.0.0.251", 5353};
    for (uint8_t i = 1; i <= 80; ++i) {
        Host sender {Mac(i), "192.168.2." + std::to_string(i), 5353};
        Feed(UdpFrame(sender, mdns,
                 MdnsQuestions(
                     {"_a-service-name-longer-than-a-string-holds-" + std::to_string(i) + "._tcp.local"})),
            i);
        EXPECT_LE(tracker->HeldBytes(), options.memory_budget);
        EXPECT_EQ(tracker->HeldBytes(), tracker->RecountHeldBytes());
    }
    EXPECT_GT(tracker->Counters().flows_given_way, 0u);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), tracker->Counters().flows_given_way);
}

TEST_F(TrackerTest, AHeadLongerThanTheBoundEndsInspection)
{
    TrackerOptions options;
    options.max_stream_bytes = 64;
    Make(options);
    Feed(TcpFrame(CLIENT, SERVER, TCP_SYN, 0));
    Feed(TcpFrame(CLIENT, SERVER, TCP_ACK, 1,
        Text("GET / HTTP/1.1\r\nUser-Agent: ua/1\r\nX-Long: " + std::string(100, 'a'))));
    // The User-Agent in the part that was kept still counts.
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].type, EVENT_FLOW_DPI_UPDATE);
    EXPECT_EQ(events[1].flow.user_agent, "ua/1");
    EXPECT_EQ(events[2].type, EVENT_FLOW_DPI_COMPLETE);
    EXPECT_EQ(events[2].flow.detected_protocol, PROTO_HTTP);

    // A request line longer than what is kept is no request at all.
    events.clear();
    const Host other {SERVER.mac, SERVER.ip, 8080};
    Feed(TcpFrame(CLIENT, other, TCP_SYN, 0));
    Feed(TcpFrame(CLIENT, other, TCP_ACK, 1, Text("GET /" + std::string(100, 'a'))));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].type, EVENT_FLOW_DPI_COMPLETE);
    EXPECT_EQ(events[1].flow.detected_protocol, PROTO_UNKNOWN);
}

TEST_F(TrackerTest, SsdpAndMdnsValues)
{
    Host group {Mac(0xfa), "239.255.255.250", 1900};
    std::string search = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                         "MX: 1\r\nST: ssdp:all\r\nUSER-AGENT: Chrome/99 Mac OS X\r\n\r\n";
    Feed(UdpFrame(Host {Mac(1), CLIENT.ip, 60000}, group, Text(search)));
    Feed(UdpFrame(Host {Mac(1), CLIENT.ip, 60000}, group, Text(search)));
    auto updates = Of(EVENT_FLOW_DPI_UPDATE);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].flow.detected_protocol, PROTO_SSDP);
    EXPECT_EQ(updates[0].flow.user_agent, "Chrome/99 Mac OS X");
    EXPECT_EQ(updates[0].flow.user_agent_source, UA_SSDP);

    // One update per new name; names past the per-flow bound are counted.
    events.clear();
    Host mdns {Mac(5), "224.0.0.251", 5353};
    Host sender {Mac(1), CLIENT.ip, 5353};
    std::vector<std::string> names;
    for (int i = 0; i < 70; ++i)
        names.push_back("_s" + std::to_string(i) + "._tcp.local");
    Feed(UdpFrame(sender, mdns, MdnsQuestions({names[0], names[1]})));
    Feed(UdpFrame(sender, mdns, MdnsQuestions({names[1], "9.1.168.192.in-addr.arpa"})));
    updates = Of(EVENT_FLOW_DPI_UPDATE);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].flow.mdns_domain_name, names[0]);
    EXPECT_EQ(updates[1].flow.mdns_domain_name, names[1]);
    EXPECT_EQ(updates[1].flow.detected_protocol, PROTO_MDNS);
    for (size_t i = 2; i < names.size(); i += 4)
        Feed(UdpFrame(sender, mdns,
            MdnsQuestions(
                std::vector<std::string>(names.begin() + i, names.begin() + std::min(i + 4, names.size())))));
    EXPECT_EQ(Of(EVENT_FLOW_DPI_UPDATE).size(), 64u);
    EXPECT_EQ(tracker->Counters().mdns_names_dropped, 6u);
}

TEST_F(TrackerTest, ClientHelloSplitOutOfOrderGivesItsJa4)
{
    // The one ClientHello of a real capture, cut into three segments sent
    // last first, after a SYN.
    Bytes hello = Tls12Hello();
    ASSERT_GT(hello.size(), 300u);
    Host client {Mac(1), "10.1.1.1", 40000}, server {Mac(2), "10.2.2.2", 443};
    Feed(TcpFrame(client, server, TCP_SYN, 41));
    size_t cut1 = 100, cut2 = 250;
    Feed(TcpFrame(client, server, TCP_ACK, 42 + cut2, Bytes(hello.begin() + cut2, hello.end())));
    Feed(TcpFrame(client, server, TCP_ACK, 42 + cut1, Bytes(hello.begin() + cut1, hello.begin() + cut2)));
    EXPECT_TRUE(Of(EVENT_FLOW_DPI_UPDATE).empty());
    Feed(TcpFrame(client, server, TCP_ACK, 42, Bytes(hello.begin(), hello.begin() + cut1)));
    auto updates = Of(EVENT_FLOW_DPI_UPDATE);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].flow.tls_client_ja4, TLS12_JA4);
    EXPECT_EQ(updates[0].flow.detected_protocol, PROTO_TLS);
    ASSERT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), 1u);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE)[0].flow.tls_client_ja4, updates[0].flow.tls_client_ja4);
    // In 40 pieces: last first (held pieces that touch are one), then every
    // other one first (past 16 gaps a piece is given up and counted, until
    // the retransmission in order).
    size_t piece = (hello.size() + 39) / 40;
    auto send = [&](uint16_t port, size_t i) {
        size_t from = std::min(i * piece, hello.size()), to = std::min(from + piece, hello.size());
        Feed(TcpFrame(Host {client.mac, client.ip, port}, server, TCP_ACK, static_cast<uint32_t>(42 + from),
            Bytes(hello.begin() + static_cast<std::ptrdiff_t>(from),
                hello.begin() + static_cast<std::ptrdiff_t>(to))));
    };
    for (uint16_t port : {40001, 40002})
        Feed(TcpFrame(Host {client.mac, client.ip, port}, server, TCP_SYN, 41));
    for (size_t i = 40; i-- > 0;)
        send(40001, i);
    for (size_t i : {1, 0})
        for (size_t j = i; j < 40; j += 2)
            send(40002, j);
    EXPECT_EQ(tracker->Counters().stream_pieces_dropped, 4u);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_UPDATE).size(), 2u);
    for (size_t i = 0; i < 40; ++i)
        send(40002, i);
    updates = Of(EVENT_FLOW_DPI_UPDATE);
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[1].flow.tls_client_ja4, updates[0].flow.tls_client_ja4);
    EXPECT_EQ(updates[2].flow.tls_client_ja4, updates[0].flow.tls_client_ja4);
}

TEST_F(TrackerTest, TlsAndHttpAfterUpgradesAndProxyPreludes)
{
    const Bytes hello = Tls12Hello();
    ASSERT_GT(hello.size(), 300u);
    const Bytes get = Text("GET / HTTP/1.1\r\nUser-Agent: tunnelled/1\r\n\r\n");
    const std::string oid = "1.3.6.1.4.1.1466.20037";
    const Bytes ldap_start_tls = Cat({0x30, 0x1d, 0x02, 0x01, 0x01, 0x77, 0x18, 0x80, 0x16}, Text(oid));
    Bytes mysql {32, 0, 0, 1, 0x05, 0xae, 0xff, 0x01, 0, 0, 0, 1, 0x21};
    mysql.resize(36, 0);
    Bytes proxy_v2
        = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d, 0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a, 0x21, 0x11, 0, 12};
    proxy_v2.resize(28, 7);
    Bytes proxy_v2_far = proxy_v2;
    proxy_v2_far[14] = 0x40; // 16 KiB of addresses and TLVs: past the reach
    proxy_v2_far.resize(16 + 0x400c, 7);
    const Bytes xmpp = Text("<?xml version='1.0'?><stream:stream to='example.com' xmlns='jabber:client' "
                            "xmlns:stream='http://etherx.jabber.org/streams' version='1.0'>\n"
                            "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
    struct Case {
        const char *name;
        Bytes prelude; // sent in two segments
        Bytes then; // after the server's answer
        std::string ja4;
        std::string user_agent;
    };
    const Case cases[] = {
        {"smtp", Text("EHLO client.example\r\nSTARTTLS\r\n"), hello, TLS12_JA4, ""},
        {"imap", Text("a1 CAPABILITY\r\na2 starttls\r\n"), hello, TLS12_JA4, ""},
        {"pop3", Text("CAPA\r\nSTLS\r\n"), hello, TLS12_JA4, ""},
        {"ftp", Text("FEAT\r\nAUTH TLS\r\n"), hello, TLS12_JA4, ""},
        {"ftp ssl", Text("AUTH SSL\n"), hello, TLS12_JA4, ""},
        {"ldap", ldap_start_tls, hello, TLS12_JA4, ""},
        {"xmpp", xmpp, hello, TLS12_JA4, ""},
        {"xmpp, element closed apart",
            Text("<stream:stream to='a.example' version='1.0'><starttls "
                 "xmlns=\"urn:ietf:params:xml:ns:xmpp-tls\">\n</starttls>"),
            hello, TLS12_JA4, ""},
        {"postgresql", {0, 0, 0, 8, 0x04, 0xd2, 0x16, 0x2f}, hello, TLS12_JA4, ""},
        {"mysql", mysql, hello, TLS12_JA4, ""},
        {"connect",
            Text("CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\nUser-Agent: curl/8\r\n\r\n"),
            hello, TLS12_JA4, "curl/8"},
        {"socks4", Cat({4, 1, 1, 187, 10, 0, 0, 1}, Cat(Text("user"), {0})), hello, TLS12_JA4, ""},
        {"socks4a", Cat({4, 1, 0, 80, 0, 0, 0, 1, 0}, Cat(Text("example.com"), {0})), get, "", "tunnelled/1"},
        {"socks5 password",
            Cat({5, 2, 0, 2, 1, 4},
                Cat(Text("user"),
                    Cat({4}, Cat(Text("pass"), Cat({5, 1, 0, 3, 11}, Cat(Text("example.com"), {1, 187})))))),
            hello, TLS12_JA4, ""},
        {"socks5", {5, 1, 0, 5, 1, 0, 1, 10, 0, 0, 1, 0, 80}, get, "", "tunnelled/1"},
        {"proxy v1", Text("PROXY TCP4 192.0.2.1 192.0.2.2 40000 443\r\n"), hello, TLS12_JA4, ""},
        {"proxy v2 then socks5", Cat(proxy_v2, {5, 1, 0, 5, 1, 0, 1, 10, 0, 0, 1, 0, 80}), get, "",
            "tunnelled/1"},
        // What is no upgrade gives nothing, whatever follows.
        {"smtp without upgrade", Text("EHLO x\r\nMAIL FROM:<a@b>\r\nDATA\r\n"), hello, "", ""},
        {"starttls refused", Text("STARTTLS\r\n"), Text("QUIT\r\n"), "", ""},
        {"ldap bind", {0x30, 0x0c, 0x02, 0x01, 0x01, 0x60, 0x07, 0x02, 0x01, 0x03, 0x04, 0x00, 0x80, 0x00},
            hello, "", ""},
        {"socks5 gssapi", {5, 1, 1, 1, 0, 4, 0}, hello, "", ""},
        {"proxy v2 past the reach", proxy_v2_far, hello, "", ""},
    };
    uint16_t port = 40000;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        const Host client {CLIENT.mac, CLIENT.ip, port++};
        Feed(TcpFrame(client, SERVER, TCP_SYN, 0));
        Feed(TcpFrame(client, SERVER, TCP_ACK, 1, Bytes(c.prelude.begin(), c.prelude.begin() + 3)));
        Feed(TcpFrame(client, SERVER, TCP_ACK, 4, Bytes(c.prelude.begin() + 3, c.prelude.end())));
        Feed(TcpFrame(client, SERVER, TCP_ACK, static_cast<uint32_t>(1 + c.prelude.size()), c.then));
        Feed(TcpFrame(
            client, SERVER, TCP_FIN | TCP_ACK, static_cast<uint32_t>(1 + c.prelude.size() + c.then.size())));
        auto updates = Of(EVENT_FLOW_DPI_UPDATE);
        EXPECT_EQ(updates.size(), !c.ja4.empty() + !c.user_agent.empty());
        EXPECT_EQ(updates.empty() ? "" : updates.back().flow.tls_client_ja4, c.ja4);
        EXPECT_EQ(updates.empty() ? "" : updates.back().flow.user_agent, c.user_agent);
        EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), 1u);
    }
}

namespace {

// One OpenVPN control packet of a session: opcode and key id 0, session id,
// with tls-auth `hmac` bytes of HMAC and its packet id and time, the ack
// array (acks > 0 also names the peer's session), the message packet id
// (none in an ack) and the payload.
Bytes OpenVpnPacket(
    uint8_t opcode, uint8_t session, size_t hmac, uint32_t id, const Bytes &payload, uint8_t acks = 0)
{
    Bytes b {static_cast<uint8_t>(opcode << 3)};
    b.resize(1 + 8, session);
    if (hmac > 0) {
        b.resize(b.size() + hmac, 0xa5);
        Put32(b, id + 1);
        Put32(b, 1700000000);
    }
    b.push_back(acks);
    for (uint8_t i = 0; i < acks; ++i)
        Put32(b, i);
    if (acks > 0) b.resize(b.size() + 8, static_cast<uint8_t>(session ^ 0xff));
    if (opcode != 5) Put32(b, id);
    return Cat(b, payload);
}

} // namespace

// OpenVPN's control channel carries the client's ClientHello, over UDP on
// any port and over TCP with a length before each packet; its JA4 is the one
// the same hello gives as plain TLS over TCP. tls-crypt sessions give nothing.
TEST_F(TrackerTest, OpenVpnControlChannelGivesTheClientsJa4)
{
    const Bytes hello = Tls12Hello();
    ASSERT_GT(hello.size(), 300u);
    // The reference: the same hello as plain TLS over TCP.
    const Host tls_client {Mac(9), "10.9.9.9", 40000};
    Feed(TcpFrame(tls_client, Host {Mac(2), "10.2.2.2", 443}, TCP_SYN, 0));
    Feed(TcpFrame(tls_client, Host {Mac(2), "10.2.2.2", 443}, TCP_ACK, 1, hello));
    ASSERT_EQ(Of(EVENT_FLOW_DPI_UPDATE).size(), 1u);
    const std::string plain_ja4 = Of(EVENT_FLOW_DPI_UPDATE)[0].flow.tls_client_ja4;
    EXPECT_EQ(plain_ja4, TLS12_JA4);

    const size_t half = hello.size() / 2;
    const Bytes parts[]
        = {Bytes(hello.begin(), hello.begin() + half), Bytes(hello.begin() + half, hello.end())};
    std::mt19937 random(7);
    Bytes sealed(120); // what tls-crypt makes of a hard reset: ids and time, tag, ciphertext
    for (uint8_t &b : sealed)
        b = static_cast<uint8_t>(random());
    sealed[0] = sealed[1] = sealed[2] = 0;
    sealed[3] = 1;
    constexpr int ACK = 0, DATA = -1, SEALED = -2;
    struct Case {
        const char *name;
        bool tcp;
        size_t hmac;
        bool split; // the hello in two control packets, ids 1 and 2, else whole in id 1
        std::vector<int> sent; // after the hard reset: control packet ids, ACK, DATA or SEALED
        unsigned protocol;
        bool gives;
        size_t held_while_waiting; // at least this much counted before the hello is whole
        bool cut_in_reset = false; // TCP: the first segment ends inside the hard reset, else after it
    };
    const Case cases[] = {
        {"udp", false, 0, false, {1}, PROTO_OPENVPN, true, 0},
        {"udp tls-auth sha1", false, 20, false, {ACK, 1}, PROTO_OPENVPN, true, 0},
        {"udp tls-auth sha256", false, 32, false, {1}, PROTO_OPENVPN, true, 0},
        {"udp tls-auth sha512", false, 64, false, {1}, PROTO_OPENVPN, true, 0},
        {"udp split, out of order, retransmitted", false, 0, true, {2, 2, ACK, 1, 1}, PROTO_OPENVPN, true,
            parts[1].size()},
        {"udp tls-auth split, out of order", false, 32, true, {2, 1}, PROTO_OPENVPN, true, parts[1].size()},
        {"tcp", true, 0, false, {1}, PROTO_OPENVPN, true, 0},
        {"tcp tls-auth split", true, 20, true, {1, ACK, 2}, PROTO_OPENVPN, true, 0, true},
        {"data channel before the hello is whole", false, 0, true, {1, DATA, 2}, PROTO_OPENVPN, false, 0},
        {"tls-crypt", false, 0, false, {SEALED, SEALED}, PROTO_UNKNOWN, false, 0},
        {"tls-crypt over tcp", true, 0, false, {SEALED, SEALED}, PROTO_UNKNOWN, false, 0},
    };
    uint16_t port = 41000;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Make();
        events.clear();
        const Host client {Mac(1), "10.1.1.1", port++},
            server {Mac(2), "10.2.2.2", static_cast<uint16_t>(c.tcp ? 443 : 1194)};
        const bool crypt = !c.sent.empty() && c.sent[0] == SEALED;
        std::vector<Bytes> packets {
            crypt ? Cat(Bytes(9, 0x11), sealed) : OpenVpnPacket(7, 0x11, c.hmac, 0, {})};
        packets[0][0] = 7 << 3;
        for (int id : c.sent) {
            if (id == ACK)
                packets.push_back(OpenVpnPacket(5, 0x11, c.hmac, 0, {}, 2));
            else if (id == DATA)
                packets.push_back(Cat({9 << 3, 0, 0, 1}, Bytes(64, 0x77)));
            else if (id == SEALED)
                packets.push_back(Cat({4 << 3}, Cat(Bytes(8, 0x11), sealed)));
            else
                packets.push_back(OpenVpnPacket(4, 0x11, c.hmac, static_cast<uint32_t>(id),
                    c.split ? parts[id - 1] : hello, id == 1 ? 1 : 0));
        }
        const Bytes answer = OpenVpnPacket(8, 0x22, c.hmac, 0, {}, 1);
        size_t held = 0;
        if (c.tcp) {
            Bytes stream;
            for (const Bytes &p : packets) {
                Put16(stream, static_cast<uint16_t>(p.size()));
                stream = Cat(stream, p);
            }
            Bytes reply;
            Put16(reply, static_cast<uint16_t>(answer.size()));
            reply = Cat(reply, answer);
            const size_t cut = c.cut_in_reset ? 7 : 2 + packets[0].size() + 7;
            Feed(TcpFrame(client, server, TCP_SYN, 0));
            Feed(TcpFrame(server, client, TCP_SYN | TCP_ACK, 0));
            Feed(TcpFrame(server, client, TCP_ACK, 1, reply));
            Feed(TcpFrame(client, server, TCP_ACK, 1, Bytes(stream.begin(), stream.begin() + cut)));
            held = tracker->HeldBytes();
            Feed(TcpFrame(client, server, TCP_ACK, static_cast<uint32_t>(1 + cut),
                Bytes(stream.begin() + cut, stream.end())));
        } else {
            Feed(UdpFrame(client, server, packets[0]));
            Feed(UdpFrame(server, client, answer));
            for (size_t i = 1; i < packets.size(); ++i) {
                Feed(UdpFrame(client, server, packets[i]));
                if (Of(EVENT_FLOW_DPI_COMPLETE).empty()) held = std::max(held, tracker->HeldBytes());
            }
        }
        auto updates = Of(EVENT_FLOW_DPI_UPDATE);
        ASSERT_EQ(updates.size(), c.gives ? 1u : 0u);
        if (c.gives) {
            EXPECT_EQ(updates[0].flow.tls_client_ja4, plain_ja4);
            EXPECT_EQ(Origin(updates[0].flow).mac, client.mac);
        }
        // Done as soon as the hello is read or cannot be, and nothing is held after.
        auto complete = Of(EVENT_FLOW_DPI_COMPLETE);
        ASSERT_EQ(complete.size(), 1u);
        EXPECT_EQ(complete[0].flow.detected_protocol, c.protocol);
        EXPECT_EQ(tracker->HeldBytes(), 0u);
        EXPECT_GE(held, c.held_while_waiting);
    }
}

TEST_F(TrackerTest, AnyFramesAreCountedAndSkipped)
{
    TrackerOptions options;
    options.max_flows = 16;
    options.max_stream_bytes = 256;
    Make(options);
    std::vector<Bytes> seeds = {
        TcpFrame(CLIENT, SERVER, TCP_SYN, 1),
        TcpFrame(
            CLIENT, SERVER, TCP_ACK, 2, Text("GET / HTTP/1.1\r\nUser-Agent: u\r\nContent-Length: 3\r\n\r\n")),
        UdpFrame(Host {Mac(1), "0.0.0.0", 68}, Host {Mac(0xff), "255.255.255.255", 67}, DhcpRequest(1, "h")),
        UdpFrame(Host {Mac(1), "fe80::1", 5353}, Host {Mac(5), "ff02::fb", 5353},
            MdnsQuestions({"_x._tcp.local"})),
        UdpFrame(CLIENT, Host {Mac(2), "1.2.3.4", 443}, Bytes(1200, 0xc3)),
    };
    std::mt19937 random(11);
    for (int round = 0; round < 20000; ++round) {
        Bytes frame = seeds[random() % seeds.size()];
        int changes = static_cast<int>(random() % 6);
        for (int k = 0; k < changes; ++k)
            frame[random() % frame.size()] = static_cast<uint8_t>(random());
        frame.resize(random() % (frame.size() + 1));
        Feed(frame, round);
    }
    tracker->Flush(20000);
    const CaptureCounters &c = tracker->Counters();
    EXPECT_EQ(c.frames, 20000u);
    EXPECT_EQ(c.ip_packets + c.not_ip + c.truncated + c.malformed, c.frames);
    EXPECT_LE(c.peak_flows, 17u);
    uint64_t by_protocol = 0;
    for (const auto &[id, count] : c.flows_by_protocol)
        by_protocol += count;
    EXPECT_EQ(by_protocol, c.flows);
    EXPECT_EQ(Of(EVENT_FLOW_NEW).size(), c.flows);
    EXPECT_EQ(Of(EVENT_FLOW_DPI_COMPLETE).size(), c.flows);
}

// Each row of the protocol table routes to its own step, in table order
// (a port earlier in the table wins over a later one on the other side).
TEST(ProtocolTableTest, EachRowRoutesToItsStep)
{
    struct PortCase {
        uint16_t src, dst;
        unsigned protocol;
        UdpStep step;
    };
    for (const PortCase &c : {PortCase {68, 67, PROTO_DHCP, DhcpStep},
             PortCase {5353, 67, PROTO_DHCP, DhcpStep}, PortCase {1900, 50000, PROTO_SSDP, SsdpStep},
             PortCase {53, 5353, PROTO_MDNS, MdnsStep}, PortCase {50000, 53, PROTO_DNS, nullptr},
             PortCase {546, 547, PROTO_DHCPV6, nullptr}, PortCase {547, 50000, PROTO_DHCPV6, nullptr}}) {
        const UdpRow *row = UdpRowByPort(c.src, c.dst);
        ASSERT_NE(row, nullptr) << c.src << " " << c.dst;
        EXPECT_EQ(row->protocol, c.protocol) << c.src << " " << c.dst;
        EXPECT_EQ(row->step, c.step) << c.src << " " << c.dst;
    }
    EXPECT_EQ(UdpRowByPort(443, 50000), nullptr);
    const uint8_t initial[] = {0xc0, 0, 0, 0, 1, 8};
    const UdpRow *quic = UdpRowByStart(initial, sizeof initial);
    ASSERT_NE(quic, nullptr);
    EXPECT_EQ(quic->protocol, PROTO_QUIC);
    EXPECT_EQ(quic->step, QuicStep);
    EXPECT_EQ(UdpRowByStart(initial + 1, sizeof initial - 1), nullptr);
    // An OpenVPN client's hard reset, on any port; the server's is no start.
    const uint8_t reset[] = {0, 14, 7 << 3, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0};
    const UdpRow *openvpn = UdpRowByStart(reset + 2, sizeof reset - 2);
    ASSERT_NE(openvpn, nullptr);
    EXPECT_EQ(openvpn->protocol, PROTO_OPENVPN);
    EXPECT_EQ(openvpn->step, OpenVpnUdpStep);
    const uint8_t server_reset[] = {8 << 3, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0};
    EXPECT_EQ(UdpRowByStart(server_reset, sizeof server_reset), nullptr);
    const uint8_t hello[] = {0x16, 3, 1}, get[] = {'G', 'E', 'T', ' '};
    EXPECT_EQ(TcpRowStep(TcpRowByStart(hello, sizeof hello)), TlsStep);
    EXPECT_EQ(TcpRowStep(TcpRowByStart(reset, 3)), OpenVpnTcpStep);
    const uint8_t socks4[] = {4, 1, 7 << 3, 1, 10, 0, 0, 1, 0}; // to port 14337: a length no reset has
    EXPECT_EQ(TcpRowStep(TcpRowByStart(socks4, sizeof socks4)), HttpStep);
    EXPECT_EQ(TcpRowStep(TcpRowByStart(get, sizeof get)), HttpStep);
    EXPECT_EQ(TcpRowStep(TCP_UPGRADED_ROW), TlsStep);
    EXPECT_EQ(TCP_PRELUDE_STEP, PreludeStep);
}

TEST(PcapSourceTest, RefusesWhatItCannotRead)
{
    PcapSource source;
    EXPECT_FALSE(source.OpenFile("/nonexistent/file.pcap"));
    // Named once, with the reason.
    EXPECT_EQ(source.Error(), "/nonexistent/file.pcap: No such file or directory");
    EXPECT_FALSE(source.OpenLive("nosuch0", LiveOptions()));
    EXPECT_EQ(source.Error().find("nosuch0: "), 0u) << source.Error();
    EXPECT_EQ(source.Error().find("nosuch0: ", 1), std::string::npos) << source.Error();
    // A pcap file header with link type 119 (802.11 behind a Prism header).
    ostrel_test::TempDir dir;
    std::string path = dir.File("prism.pcap");
    {
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const uint32_t header[] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 119};
        std::fwrite(header, sizeof header, 1, f);
        std::fclose(f);
    }
    EXPECT_FALSE(source.OpenFile(path));
    EXPECT_NE(source.Error().find(path + ": link type 119"), std::string::npos) << source.Error();
    std::remove(path.c_str());

    ASSERT_TRUE(source.OpenFile(OSTREL_TESTDATA_DIR "/captures/http-vlan-0.pcap"));
    EXPECT_EQ(source.SelectableFd(), -1);
    EXPECT_FALSE(source.Live());
    EXPECT_FALSE(source.SetFilter("this is not a filter"));
    ASSERT_TRUE(source.SetFilter("vlan and tcp port 80 and tcp[tcpflags] & tcp-syn != 0"));
    CapturedFrame frame;
    int frames = 0;
    while (source.Next(frame) == PcapSource::FRAME)
        ++frames;
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, 14);
}
