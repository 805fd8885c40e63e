#include "capture/tracker.h"

#include <algorithm>

#include "capture/dhcp.h"
#include "capture/protocols.h"
#include "capture/tracker_state.h"

// The flow table: packets to flows, their timeouts, eviction and events; the
// payloads go to payload_steps.cpp.
//
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

// How long a TCP flow that saw FIN or RST keeps taking the last packets of
// its close (the peer's FIN, the final ACK, retransmissions), so that they do
// not start a flow of their own with the server as its origin.
constexpr int64_t CLOSED_LINGER_USEC = 10LL * 1000000;

} // namespace

using namespace tracking;

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
    flow.step_state.reset();
    for (int side = 0; side < 2; ++side) {
        flow.carried[side].Release();
        flow.given[side].user_agents.Release();
        flow.given[side].mdns_names.Release();
    }
    Charge(flow);
}

namespace {

size_t SideMemory(const Flow &flow, int side)
{
    size_t now = flow.carried[side].Memory() + flow.given[side].user_agents.Memory()
        + flow.given[side].mdns_names.Memory();
    if (flow.tcp) now += flow.tcp->direction[side].stream.Memory();
    return now;
}

size_t SharedMemory(const Flow &flow)
{
    return (flow.tcp ? sizeof(TcpInspection) : 0) + (flow.step_state ? flow.step_state->Memory() : 0);
}

} // namespace

// Counts what the flow holds now against the budget.
void Tracker::State::Charge(Flow &flow)
{
    flow.side_charged[0] = SideMemory(flow, 0);
    flow.side_charged[1] = SideMemory(flow, 1);
    Settle(flow);
}

// A packet changes what its sender's side holds and what both share, never
// the other side's: only those are counted again.
void Tracker::State::ChargeSide(Flow &flow, int side)
{
    flow.side_charged[side] = SideMemory(flow, side);
    Settle(flow);
}

void Tracker::State::Settle(Flow &flow)
{
    size_t now = flow.side_charged[0] + flow.side_charged[1] + SharedMemory(flow);
    held = held - flow.charged + now;
    flow.charged = now;
}

// Over the budget, the least recently active flows that hold anything end
// their inspection, down to three quarters of it so that this walk is rare.
void Tracker::State::GiveWay(int64_t time)
{
    size_t target = options.memory_budget - options.memory_budget / 4;
    auto tcp = tcp_flows.begin();
    auto udp = udp_flows.begin();
    while (held > target && (tcp != tcp_flows.end() || udp != udp_flows.end())) {
        bool take_tcp = udp == udp_flows.end() || (tcp != tcp_flows.end() && tcp->last <= udp->last);
        Flow &flow = take_tcp ? *tcp++ : *udp++;
        // A flow that has given way already holds nothing it could free.
        if (flow.charged == 0 || flow.done) continue;
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
    // A flow whose inspection is over holds nothing more (Complete counted
    // it at 0), and most packets belong to such flows. A TCP segment without
    // payload changes nothing a flow holds but at its creation (a close
    // completes the flow, which counts it), and such segments are many.
    bool may_hold_more = created || packet.ip_protocol != 6 || packet.payload_size > 0;
    if (!flow.done && may_hold_more) ChargeSide(flow, sender);
    if (held > options.memory_budget) GiveWay(time);
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
        if (syn) flow.tcp->direction[1 - origin].done = true;
    } else if (const UdpRow *row = UdpRowByPort(packet.src_port, packet.dst_port)) {
        r.detected_protocol = row->protocol;
        flow.udp = row->step;
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

size_t Tracker::RecountHeldBytes() const
{
    size_t total = 0;
    for (const FlowList *list : {&state->tcp_flows, &state->udp_flows, &state->closed_flows})
        for (const Flow &flow : *list)
            total += SideMemory(flow, 0) + SideMemory(flow, 1) + SharedMemory(flow);
    return total;
}

} // namespace ostrel_capture
