#include "capture/tracker.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/dhcp.h"
#include "capture/flow_memory.h"
#include "capture/frame.h"
#include "capture/http.h"
#include "capture/mdns.h"
#include "capture/protocols.h"
#include "capture/quic.h"
#include "capture/ssdp.h"
#include "capture/stream_upgrade.h"
#include "capture/tcp_stream.h"
#include "capture/tls_hello.h"

// Attribution. Every attribute value is carried by one endpoint of a flow:
// the sender of the packets it came from. The record a processor reads names
// the device by `origin`, so the snapshot of an update event has `origin` set
// to the endpoint that carried the new value (normally the flow's origin; the
// other endpoint for, say, a TCP capture that begins mid-stream with a server
// packet) and holds only that endpoint's values. The complete event's
// snapshot has the flow's own origin and only the values its origin carried.

namespace ostrel_capture {

bool LinkTypeSupported(int link_type)
{
    return link_type == LINK_ETHERNET || link_type == LINK_LINUX_SLL || link_type == LINK_LINUX_SLL2
        || link_type == LINK_IEEE802_11 || link_type == LINK_IEEE802_11_RADIOTAP;
}

namespace {

constexpr size_t MAX_MDNS_NAMES = 64; // names remembered per flow
constexpr size_t MAX_USER_AGENTS = 16; // user agents remembered per flow
constexpr uint64_t MAX_HTTP_BODY = 1ULL << 30;
// How long a TCP flow that saw FIN or RST keeps taking the last packets of
// its close (the peer's FIN, the final ACK, retransmissions), so that they do
// not start a flow of their own with the server as its origin.
constexpr int64_t CLOSED_LINGER_USEC = 10LL * 1000000;

enum Side : uint8_t { LOWER = 0, UPPER = 1 };

struct FlowKey {
    std::array<uint8_t, 16> lower_ip {};
    std::array<uint8_t, 16> upper_ip {};
    uint16_t lower_port = 0;
    uint16_t upper_port = 0;
    uint16_t vlan = 0;
    uint8_t protocol = 0;
    uint8_t family = 0;

    bool operator==(const FlowKey &o) const
    {
        return lower_port == o.lower_port && upper_port == o.upper_port && vlan == o.vlan
            && protocol == o.protocol && family == o.family && lower_ip == o.lower_ip
            && upper_ip == o.upper_ip;
    }
};

struct FlowKeyHash {
    static uint64_t Word(const uint8_t *p)
    {
        uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }
    static uint64_t Mix(uint64_t h, uint64_t w)
    {
        h ^= w + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h * 0xff51afd7ed558ccdULL;
    }
    size_t operator()(const FlowKey &k) const
    {
        uint64_t h = (static_cast<uint64_t>(k.lower_port) << 32) | (static_cast<uint64_t>(k.upper_port) << 16)
            | (static_cast<uint64_t>(k.vlan) << 4) | (k.protocol ^ k.family);
        h = Mix(h, Word(k.lower_ip.data()));
        h = Mix(h, Word(k.lower_ip.data() + 8));
        h = Mix(h, Word(k.upper_ip.data()));
        h = Mix(h, Word(k.upper_ip.data() + 8));
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

// The values one endpoint carried.
struct Carried {
    std::string host_name;
    std::string class_ident;
    std::string fingerprint;
    std::string user_agent;
    uint8_t user_agent_source = UA_NONE;
    std::string ja4;
    std::string mdns_name;

    size_t Memory() const
    {
        return TextBytes(host_name) + TextBytes(class_ident) + TextBytes(fingerprint) + TextBytes(user_agent)
            + TextBytes(ja4) + TextBytes(mdns_name);
    }
};

// The values one endpoint gave, so that none is given again by the flow.
struct Given {
    SeenValues user_agents;
    SeenValues mdns_names;
};

// Where one side's TCP stream began: after its SYN, or at the first byte
// seen (a capture that starts mid-stream).
struct TcpStart {
    enum Kind : uint8_t { NONE, SYN, DATA };
    Kind kind = NONE;
    uint32_t seq = 0;

    void Note(uint8_t flags, uint32_t packet_seq, size_t payload)
    {
        if (kind != NONE) return;
        if ((flags & TCP_SYN) != 0)
            *this = {SYN, packet_seq + 1};
        else if (payload > 0)
            *this = {DATA, packet_seq};
    }
    // A SYN of another connection on the same ports: another initial
    // sequence number, or one too far before the bytes seen mid-stream to be
    // their own SYN arriving late.
    bool OtherConnection(uint32_t syn_seq) const
    {
        if (kind == SYN) return seq != syn_seq + 1;
        return kind == DATA && seq - (syn_seq + 1) > (1U << 20);
    }
};

struct Direction {
    enum Mode : uint8_t { UNDECIDED, TLS, HTTP, DONE };
    Mode mode = UNDECIDED;
    TcpStream stream;
    size_t skipped = 0; // bytes before TLS or HTTP: preludes and CONNECT heads
};

// The state of the two TCP directions while the flow is inspected.
struct TcpInspection {
    explicit TcpInspection(size_t limit)
        : direction {Direction {Direction::UNDECIDED, TcpStream(limit)},
            Direction {Direction::UNDECIDED, TcpStream(limit)}}
    {
    }
    Direction direction[2];
};

enum class UdpKind : uint8_t { NONE, DHCP, SSDP, MDNS, QUIC };

struct Flow {
    FlowKey key;
    FlowRecord record; // addresses, origin and protocol; the values live in `carried`
    Carried carried[2];
    bool sent[2] = {false, false};
    int64_t last = 0;
    bool done = false; // inspection over, complete event given
    bool closed = false; // FIN or RST seen: counted as ended, lingering
    bool quic_checked = false;
    UdpKind udp = UdpKind::NONE;
    std::unique_ptr<TcpInspection> tcp;
    std::unique_ptr<QuicClientHello> quic;
    Given given[2];
    TcpStart tcp_start[2];
    size_t charged = 0; // what the budget counts for this flow
};

using FlowList = std::list<Flow>;

Endpoint &EndpointOf(FlowRecord &record, int side)
{
    return side == LOWER ? record.lower : record.upper;
}

} // namespace

struct Tracker::State {
    State(const TrackerOptions &o, Sink s)
        : options(o)
        , sink(std::move(s))
    {
        if (options.max_flows == 0) options.max_flows = 1;
        if (options.max_stream_bytes == 0) options.max_stream_bytes = 1;
        if (options.memory_budget == 0) options.memory_budget = 1;
    }

    TrackerOptions options;
    Sink sink;
    CaptureCounters counters;
    // Flows in order of last activity, oldest first, one list per timeout.
    FlowList udp_flows;
    FlowList tcp_flows;
    FlowList closed_flows; // TCP after FIN or RST, for CLOSED_LINGER_USEC
    std::unordered_map<FlowKey, FlowList::iterator, FlowKeyHash> table;
    std::vector<std::string> names; // reused for mDNS parses
    size_t held = 0; // the sum of the flows' `charged`

    enum class End { CLOSED, EXPIRED, EVICTED, FLUSHED, SPLIT };

    void Frame(int link_type, const uint8_t *data, size_t caplen, size_t wirelen, int64_t time);
    void Packet(const PacketView &packet, int64_t time);
    FlowList::iterator Create(const FlowKey &key, const PacketView &packet, int sender, int64_t time);
    void EndFlow(FlowList::iterator it, End how, int64_t time);
    void Close(FlowList::iterator it, int64_t time);
    void Count(const Flow &flow, End how);
    FlowList &ListOf(const Flow &flow)
    {
        if (flow.closed) return closed_flows;
        return flow.record.ip_protocol == 6 ? tcp_flows : udp_flows;
    }
    void Expire(int64_t now);
    void EvictOldest(FlowList::iterator keep, int64_t time);

    void Emit(EventType type, Flow &flow, int side, int64_t time);
    void Complete(Flow &flow, int64_t time);
    void Udp(Flow &flow, const PacketView &packet, int sender, int64_t time);
    void Tcp(Flow &flow, const PacketView &packet, int sender, int64_t time);
    void Inspect(Flow &flow, int side, int64_t time);
    void UserAgent(Flow &flow, int side, const std::string &agent, uint8_t source, int64_t time);
    void Ja4(Flow &flow, int side, const std::string &ja4, int64_t time);
    void Charge(Flow &flow);
    void GiveWay(int64_t time);
};

void Tracker::State::Emit(EventType type, Flow &flow, int side, int64_t time)
{
    FlowEvent event;
    event.type = type;
    event.time_usec = time;
    event.flow = flow.record;
    if (type != EVENT_FLOW_NEW) {
        const Carried &c = flow.carried[side];
        event.flow.origin = side == LOWER ? ORIGIN_LOWER : ORIGIN_UPPER;
        event.flow.host_name = c.host_name;
        event.flow.dhcp_class_ident = c.class_ident;
        event.flow.dhcp_fingerprint = c.fingerprint;
        event.flow.user_agent = c.user_agent;
        event.flow.user_agent_source = c.user_agent_source;
        event.flow.tls_client_ja4 = c.ja4;
        event.flow.mdns_domain_name = c.mdns_name;
    }
    ++counters.events;
    sink(std::move(event));
}

void Tracker::State::Complete(Flow &flow, int64_t time)
{
    if (flow.done) return;
    flow.done = true;
    Emit(EVENT_FLOW_DPI_COMPLETE, flow, flow.record.origin == ORIGIN_UPPER ? UPPER : LOWER, time);
    // Nothing more is inspected or given: what the flow holds goes now.
    flow.tcp.reset();
    flow.quic.reset();
    for (int side = 0; side < 2; ++side) {
        flow.carried[side] = Carried();
        flow.given[side].user_agents.Release();
        flow.given[side].mdns_names.Release();
    }
    Charge(flow);
}

// Counts what the flow holds now against the budget.
void Tracker::State::Charge(Flow &flow)
{
    size_t now = 0;
    for (int side = 0; side < 2; ++side) {
        now += flow.carried[side].Memory() + flow.given[side].user_agents.Memory()
            + flow.given[side].mdns_names.Memory();
        if (flow.tcp) now += flow.tcp->direction[side].stream.Memory();
    }
    if (flow.tcp) now += sizeof(TcpInspection);
    if (flow.quic) now += sizeof(QuicClientHello) + flow.quic->Memory();
    held = held - flow.charged + now;
    flow.charged = now;
}

// Over the budget, the least recently active flows that hold anything end
// their inspection, down to three quarters of it so that this walk is rare.
void Tracker::State::GiveWay(int64_t time)
{
    if (held <= options.memory_budget) return;
    size_t target = options.memory_budget - options.memory_budget / 4;
    auto tcp = tcp_flows.begin();
    auto udp = udp_flows.begin();
    while (held > target && (tcp != tcp_flows.end() || udp != udp_flows.end())) {
        bool take_tcp = udp == udp_flows.end() || (tcp != tcp_flows.end() && tcp->last <= udp->last);
        Flow &flow = take_tcp ? *tcp++ : *udp++;
        if (flow.charged == 0) continue;
        ++counters.flows_given_way;
        counters.bytes_given_way += flow.charged;
        Complete(flow, time);
    }
}

void Tracker::State::Frame(int link_type, const uint8_t *data, size_t caplen, size_t wirelen, int64_t time)
{
    ++counters.frames;
    counters.bytes += caplen;
    Expire(time);
    PacketView packet;
    switch (ParseFrame(link_type, data, caplen, wirelen, packet)) {
    case FrameResult::PACKET:
        ++counters.ip_packets;
        Packet(packet, time);
        return;
    case FrameResult::NOT_IP:
        ++counters.not_ip;
        return;
    case FrameResult::OTHER_TRANSPORT:
        ++counters.ip_packets;
        ++counters.other_transport;
        return;
    case FrameResult::FRAGMENT:
        ++counters.ip_packets;
        ++counters.fragments;
        return;
    case FrameResult::TRUNCATED:
        ++counters.truncated;
        return;
    case FrameResult::MALFORMED:
        ++counters.malformed;
        return;
    }
}

namespace {

// A DHCP request forwarded by a relay agent is sent by the relay, but it is
// its client's: the relay's MAC and address must get none of its values.
bool FromDhcpClientBehindRelay(const PacketView &packet, PacketView &client)
{
    if (packet.ip_protocol != 17 || packet.dst_port != 67 || packet.src_ip.family != 4) return false;
    MacAddress mac {};
    IpAddress ip;
    if (!ParseDhcpRelayed(packet.payload, packet.payload_size, mac, ip)) return false;
    client = packet;
    client.src_mac = mac;
    client.has_src_mac = true;
    client.src_ip = ip;
    return true;
}

} // namespace

void Tracker::State::Packet(const PacketView &arrived, int64_t time)
{
    PacketView relayed;
    const PacketView &packet = FromDhcpClientBehindRelay(arrived, relayed) ? relayed : arrived;
    bool src_lower
        = packet.src_ip != packet.dst_ip ? packet.src_ip < packet.dst_ip : packet.src_port <= packet.dst_port;
    int sender = src_lower ? LOWER : UPPER;
    FlowKey key;
    key.lower_ip = src_lower ? packet.src_ip.bytes : packet.dst_ip.bytes;
    key.upper_ip = src_lower ? packet.dst_ip.bytes : packet.src_ip.bytes;
    key.lower_port = src_lower ? packet.src_port : packet.dst_port;
    key.upper_port = src_lower ? packet.dst_port : packet.src_port;
    key.vlan = packet.vlan;
    key.protocol = packet.ip_protocol;
    key.family = packet.src_ip.family;

    auto found = table.find(key);
    FlowList::iterator it;
    bool created = false;
    if (found == table.end()) {
        it = Create(key, packet, sender, time);
        created = true;
    } else {
        it = found->second;
        Flow &flow = *it;
        // A new source MAC behind an endpoint that has sent before: another
        // device (several DHCP clients share 0.0.0.0:68), so another flow.
        Endpoint &from = EndpointOf(flow.record, sender);
        // A SYN on a closed flow, or with another initial sequence number, is
        // a new connection that reuses the ports.
        bool reopened = packet.ip_protocol == 6 && (packet.tcp_flags & (TCP_SYN | TCP_ACK)) == TCP_SYN
            && (flow.closed || flow.tcp_start[sender].OtherConnection(packet.tcp_seq));
        if (reopened
            || (flow.sent[sender] && packet.has_src_mac && from.has_mac && from.mac != packet.src_mac)) {
            EndFlow(it, End::SPLIT, time);
            it = Create(key, packet, sender, time);
            created = true;
        } else {
            FlowList &list = ListOf(flow);
            list.splice(list.end(), list, it);
        }
    }
    Flow &flow = *it;
    flow.last = time;
    Endpoint &from = EndpointOf(flow.record, sender);
    Endpoint &to = EndpointOf(flow.record, 1 - sender);
    // A cooked capture may give a sender's address on some frames only.
    if (!flow.sent[sender] || (!from.has_mac && packet.has_src_mac)) {
        flow.sent[sender] = true;
        from.has_mac = packet.has_src_mac;
        from.mac = packet.src_mac;
    }
    if (!flow.sent[1 - sender] && packet.has_dst_mac) {
        to.has_mac = true;
        to.mac = packet.dst_mac;
    }
    if (created) {
        Emit(EVENT_FLOW_NEW, flow, sender, time);
        if (table.size() > options.max_flows) EvictOldest(it, time);
    }
    if (packet.ip_protocol == 6)
        Tcp(flow, packet, sender, time);
    else
        Udp(flow, packet, sender, time);
    Charge(flow);
    GiveWay(time);
    counters.peak_held_bytes = std::max(counters.peak_held_bytes, held);
}

FlowList::iterator Tracker::State::Create(
    const FlowKey &key, const PacketView &packet, int sender, int64_t time)
{
    FlowList &list = packet.ip_protocol == 6 ? tcp_flows : udp_flows;
    list.emplace_back();
    auto it = std::prev(list.end());
    table.emplace(key, it);
    Flow &flow = *it;
    flow.key = key;
    flow.last = time;
    FlowRecord &r = flow.record;
    r.ip_protocol = packet.ip_protocol;
    r.vlan = packet.vlan;
    Endpoint &from = EndpointOf(r, sender);
    Endpoint &to = EndpointOf(r, 1 - sender);
    from.ip = packet.src_ip;
    from.port = packet.src_port;
    to.ip = packet.dst_ip;
    to.port = packet.dst_port;
    int origin = sender;
    if (packet.ip_protocol == 6) {
        // A SYN names the client; a SYN+ACK seen first names its receiver.
        bool syn = (packet.tcp_flags & TCP_SYN) != 0;
        bool ack = (packet.tcp_flags & TCP_ACK) != 0;
        if (syn && ack) origin = 1 - sender;
        // Mid-stream, the well-known port is the server's: a capture that
        // starts with a server's packet must not make the server the device.
        if (!syn && packet.src_port < 1024 && packet.dst_port >= 1024) origin = 1 - sender;
        flow.tcp = std::make_unique<TcpInspection>(options.max_stream_bytes);
        // With the client known only its stream is read; without, both are,
        // so that a capture starting mid-stream still gives its values.
        if (syn) flow.tcp->direction[1 - origin].mode = Direction::DONE;
    } else {
        auto port = [&](uint16_t p) { return packet.src_port == p || packet.dst_port == p; };
        if (port(67)) {
            r.detected_protocol = PROTO_DHCP;
            flow.udp = UdpKind::DHCP;
        } else if (port(1900)) {
            r.detected_protocol = PROTO_SSDP;
            flow.udp = UdpKind::SSDP;
        } else if (port(5353)) {
            r.detected_protocol = PROTO_MDNS;
            flow.udp = UdpKind::MDNS;
        } else if (port(53)) {
            r.detected_protocol = PROTO_DNS;
        } else if (port(546) || port(547)) {
            r.detected_protocol = PROTO_DHCPV6;
        }
    }
    r.origin = origin == LOWER ? ORIGIN_LOWER : ORIGIN_UPPER;
    ++counters.flows;
    if (table.size() > counters.peak_flows) counters.peak_flows = table.size();
    return it;
}

// The least recently active flow other than `keep` (the one just made).
void Tracker::State::EvictOldest(FlowList::iterator keep, int64_t time)
{
    const Flow *kept = &*keep;
    auto candidate = [kept](FlowList &list) {
        auto it = list.begin();
        if (it != list.end() && &*it == kept) ++it;
        return it;
    };
    // A closed flow only waits for the last packets of its close.
    auto closed = candidate(closed_flows);
    if (closed != closed_flows.end()) {
        EndFlow(closed, End::EVICTED, time);
        return;
    }
    auto udp = candidate(udp_flows);
    auto tcp = candidate(tcp_flows);
    bool have_udp = udp != udp_flows.end();
    bool have_tcp = tcp != tcp_flows.end();
    if (have_udp && (!have_tcp || udp->last <= tcp->last))
        EndFlow(udp, End::EVICTED, time);
    else if (have_tcp)
        EndFlow(tcp, End::EVICTED, time);
}

void Tracker::State::EndFlow(FlowList::iterator it, End how, int64_t time)
{
    Flow &flow = *it;
    Complete(flow, time);
    // A closed flow was counted when it closed.
    if (!flow.closed) Count(flow, how);
    held -= flow.charged;
    table.erase(flow.key);
    ListOf(flow).erase(it);
}

void Tracker::State::Close(FlowList::iterator it, int64_t time)
{
    Flow &flow = *it;
    Complete(flow, time);
    Count(flow, End::CLOSED);
    flow.closed = true;
    closed_flows.splice(closed_flows.end(), tcp_flows, it);
}

void Tracker::State::Count(const Flow &flow, End how)
{
    ++counters.flows_by_protocol[flow.record.detected_protocol];
    switch (how) {
    case End::CLOSED:
    case End::SPLIT:
        ++counters.flows_ended;
        break;
    case End::EXPIRED:
        ++counters.flows_expired;
        break;
    case End::EVICTED:
        ++counters.flows_evicted;
        break;
    case End::FLUSHED:
        break;
    }
}

void Tracker::State::Expire(int64_t now)
{
    while (!udp_flows.empty() && now - udp_flows.front().last > options.udp_timeout_usec)
        EndFlow(udp_flows.begin(), End::EXPIRED, now);
    while (!tcp_flows.empty() && now - tcp_flows.front().last > options.tcp_timeout_usec)
        EndFlow(tcp_flows.begin(), End::EXPIRED, now);
    while (!closed_flows.empty() && now - closed_flows.front().last > CLOSED_LINGER_USEC)
        EndFlow(closed_flows.begin(), End::EXPIRED, now);
}

void Tracker::State::UserAgent(Flow &flow, int side, const std::string &agent, uint8_t source, int64_t time)
{
    if (agent.empty()) return;
    switch (flow.given[side].user_agents.Add(agent, MAX_USER_AGENTS)) {
    case SeenValues::SEEN:
        return;
    case SeenValues::FULL:
        ++counters.user_agents_dropped;
        return;
    case SeenValues::NEW:
        break;
    }
    Carried &c = flow.carried[side];
    c.user_agent = agent;
    c.user_agent_source = source;
    Emit(EVENT_FLOW_DPI_UPDATE, flow, side, time);
}

void Tracker::State::Ja4(Flow &flow, int side, const std::string &ja4, int64_t time)
{
    if (ja4.empty() || flow.carried[side].ja4 == ja4) return;
    flow.carried[side].ja4 = ja4;
    Emit(EVENT_FLOW_DPI_UPDATE, flow, side, time);
}

void Tracker::State::Udp(Flow &flow, const PacketView &packet, int sender, int64_t time)
{
    if (flow.done) return;
    const uint8_t *data = packet.payload;
    size_t size = packet.payload_size;
    switch (flow.udp) {
    case UdpKind::DHCP: {
        DhcpClientMessage message;
        if (packet.dst_port != 67 || !ParseDhcpClient(data, size, message)) return;
        Carried &c = flow.carried[sender];
        bool changed = false;
        auto take = [&changed](std::string &have, std::string &value) {
            if (!value.empty() && value != have) {
                have.swap(value);
                changed = true;
            }
        };
        take(c.fingerprint, message.fingerprint);
        take(c.class_ident, message.class_ident);
        take(c.host_name, message.host_name);
        if (changed) Emit(EVENT_FLOW_DPI_UPDATE, flow, sender, time);
        return;
    }
    case UdpKind::SSDP: {
        SsdpMessage message;
        if (ParseSsdp(data, size, message)) UserAgent(flow, sender, message.user_agent, UA_SSDP, time);
        return;
    }
    case UdpKind::MDNS: {
        names.clear();
        ParseMdnsNames(data, size, names);
        for (std::string &name : names) {
            SeenValues::Result seen = flow.given[sender].mdns_names.Add(name, MAX_MDNS_NAMES);
            if (seen == SeenValues::SEEN) continue;
            if (seen == SeenValues::FULL) {
                ++counters.mdns_names_dropped;
                continue;
            }
            flow.carried[sender].mdns_name = name;
            Emit(EVENT_FLOW_DPI_UPDATE, flow, sender, time);
        }
        return;
    }
    case UdpKind::QUIC: {
        int client = flow.record.origin == ORIGIN_UPPER ? UPPER : LOWER;
        if (sender != client || !flow.quic) return;
        std::string ja4;
        HelloStatus status = flow.quic->Datagram(data, size, ja4);
        if (status == HelloStatus::FOUND) Ja4(flow, client, ja4, time);
        if (status != HelloStatus::NEED_MORE) Complete(flow, time);
        return;
    }
    case UdpKind::NONE:
        break;
    }
    // Nothing to read by port: QUIC when the client's first datagram is a
    // version 1 Initial, else nothing at all.
    if (flow.record.detected_protocol == PROTO_UNKNOWN && !flow.quic_checked) {
        if (size == 0) return;
        flow.quic_checked = true;
        if (LooksLikeQuicClientStart(data, size)) {
            flow.record.detected_protocol = PROTO_QUIC;
            flow.udp = UdpKind::QUIC;
            flow.quic = std::make_unique<QuicClientHello>();
            Udp(flow, packet, sender, time);
            return;
        }
    }
    Complete(flow, time);
}

void Tracker::State::Tcp(Flow &flow, const PacketView &packet, int sender, int64_t time)
{
    if (flow.closed) return;
    uint8_t flags = packet.tcp_flags;
    flow.tcp_start[sender].Note(flags, packet.tcp_seq, packet.payload_size);
    if (!flow.done && flow.tcp) {
        Direction &d = flow.tcp->direction[sender];
        if ((flags & TCP_SYN) != 0) d.stream.Syn(packet.tcp_seq);
        if (d.mode != Direction::DONE && packet.payload_size > 0) {
            uint32_t seq = packet.tcp_seq + ((flags & TCP_SYN) != 0 ? 1 : 0);
            uint64_t dropped = d.stream.GivenUp();
            bool grew = d.stream.Add(seq, packet.payload, packet.payload_size);
            counters.stream_pieces_dropped += d.stream.GivenUp() - dropped;
            if (grew) Inspect(flow, sender, time);
        }
        if (flow.tcp && flow.tcp->direction[0].mode == Direction::DONE
            && flow.tcp->direction[1].mode == Direction::DONE)
            Complete(flow, time);
    }
    if ((flags & (TCP_FIN | TCP_RST)) != 0) Close(table.find(flow.key)->second, time);
}

void Tracker::State::Inspect(Flow &flow, int side, int64_t time)
{
    Direction &d = flow.tcp->direction[side];
    TcpStream &stream = d.stream;
    while (d.mode != Direction::DONE && stream.Size() > 0) {
        const uint8_t *data = stream.Data();
        size_t size = stream.Size();
        if (d.mode == Direction::UNDECIDED) d.mode = data[0] == 0x16 ? Direction::TLS : Direction::HTTP;
        if (d.mode == Direction::TLS) {
            std::string ja4;
            HelloStatus status = Ja4FromTlsStream(data, size, ja4);
            if (status == HelloStatus::NEED_MORE && !stream.Full()) return;
            if (flow.record.detected_protocol == PROTO_UNKNOWN && status != HelloStatus::NOT_HELLO)
                flow.record.detected_protocol = PROTO_TLS;
            d.mode = Direction::DONE;
            if (status == HelloStatus::FOUND) Ja4(flow, side, ja4, time);
            break;
        }
        HttpRequestHead head;
        HeadStatus status = ParseHttpRequestHead(data, size, head);
        if (status == HeadStatus::NOT_HTTP) {
            // It may be what a client sends before TLS or HTTP starts.
            Prelude prelude;
            PreludeStatus found = FindPrelude(data, size, prelude);
            if (found == PreludeStatus::NEED_MORE && !stream.Full() && d.skipped + size < MAX_PRELUDE_REACH)
                return;
            if (found != PreludeStatus::FOUND || d.skipped + prelude.size > MAX_PRELUDE_REACH) {
                d.mode = Direction::DONE;
                break;
            }
            d.skipped += prelude.size;
            stream.Discard(prelude.size);
            d.mode = prelude.tls_follows ? Direction::TLS : Direction::UNDECIDED;
            continue;
        }
        if (status == HeadStatus::NEED_MORE && !stream.Full()) break;
        // A method's first letters alone do not make a flow HTTP: a whole
        // request line does.
        if (!head.request_line) {
            d.mode = Direction::DONE;
            break;
        }
        if (flow.record.detected_protocol == PROTO_UNKNOWN) flow.record.detected_protocol = PROTO_HTTP;
        // A head longer than what is kept still gives the User-Agent it had.
        UserAgent(flow, side, head.user_agent, UA_HTTP, time);
        // Through a proxy's tunnel comes the client's own protocol.
        if (status == HeadStatus::COMPLETE && IsConnectRequest(data, size)) {
            d.skipped += head.head_size;
            stream.Discard(head.head_size);
            d.mode = Direction::UNDECIDED;
            continue;
        }
        // A keep-alive stream: the next request follows the body, which is
        // skipped unread; without a known length there is no next request.
        if (status == HeadStatus::NEED_MORE || !head.body_known || head.body_size > MAX_HTTP_BODY
            || head.head_size == 0) {
            d.mode = Direction::DONE;
            break;
        }
        stream.Discard(head.head_size + head.body_size);
    }
    if (d.mode == Direction::DONE) stream.Release();
}

Tracker::Tracker(const TrackerOptions &options, Sink sink)
    : state(std::make_unique<State>(options, std::move(sink)))
{
}

Tracker::~Tracker() = default;

void Tracker::Frame(int link_type, const uint8_t *data, size_t caplen, size_t wirelen, int64_t time_usec)
{
    state->Frame(link_type, data, caplen, wirelen, time_usec);
}

void Tracker::Expire(int64_t now_usec)
{
    state->Expire(now_usec);
}

void Tracker::Flush(int64_t now_usec)
{
    while (!state->udp_flows.empty())
        state->EndFlow(state->udp_flows.begin(), State::End::FLUSHED, now_usec);
    while (!state->tcp_flows.empty())
        state->EndFlow(state->tcp_flows.begin(), State::End::FLUSHED, now_usec);
    while (!state->closed_flows.empty())
        state->EndFlow(state->closed_flows.begin(), State::End::FLUSHED, now_usec);
}

const CaptureCounters &Tracker::Counters() const
{
    return state->counters;
}

size_t Tracker::ActiveFlows() const
{
    return state->table.size() - state->closed_flows.size();
}

size_t Tracker::HeldBytes() const
{
    return state->held;
}

} // namespace ostrel_capture
