// Payload inspection: each UDP datagram, and each TCP direction's bytes in
// stream order, handed to the step the protocol table picks for it; the
// values the steps find are given to the endpoint that sent them, each new
// one as an update event.
#include "capture/protocols.h"
#include "capture/tracker_state.h"

namespace ostrel_capture {

namespace {

constexpr size_t MAX_MDNS_NAMES = 64; // names remembered per flow
constexpr size_t MAX_USER_AGENTS = 16; // user agents remembered per flow

// A text a message gave replaces the one the endpoint carried.
bool Take(std::string &have, std::string &value)
{
    if (value.empty() || value == have) return false;
    have.swap(value);
    return true;
}

} // namespace

using namespace tracking;

// What the steps find in the bytes one endpoint sent.
class Tracker::State::Values : public Attributes
{
public:
    Values(State &state, Flow &flow, int side, int64_t time)
        : state(state)
        , flow(flow)
        , side(side)
        , time(time)
    {
    }

    void Detected(unsigned protocol) override
    {
        if (flow.record.detected_protocol == PROTO_UNKNOWN) flow.record.detected_protocol = protocol;
    }

    void DhcpTexts(std::string &fingerprint, std::string &class_ident, std::string &host_name) override
    {
        Carried &c = flow.carried[side];
        bool changed = Take(c.fingerprint, fingerprint);
        changed = Take(c.class_ident, class_ident) || changed;
        changed = Take(c.host_name, host_name) || changed;
        if (changed) Update();
    }

    void UserAgent(const std::string &agent, uint8_t source) override
    {
        if (agent.empty()
            || !New(flow.given[side].user_agents, agent, MAX_USER_AGENTS, state.counters.user_agents_dropped))
            return;
        Carried &c = flow.carried[side];
        c.user_agent = agent;
        c.user_agent_source = source;
        Update();
    }

    void MdnsName(const std::string &name) override
    {
        if (!New(flow.given[side].mdns_names, name, MAX_MDNS_NAMES, state.counters.mdns_names_dropped))
            return;
        flow.carried[side].mdns_name = name;
        Update();
    }

    void Ja4(const std::string &ja4) override
    {
        if (ja4.empty() || flow.carried[side].ja4 == ja4) return;
        flow.carried[side].ja4 = ja4;
        Update();
    }

private:
    void Update() { state.Emit(EVENT_FLOW_DPI_UPDATE, flow, side, time); }

    // Not given before by this endpoint; past its bound, counted as dropped.
    static bool New(SeenValues &given, const std::string &value, size_t bound, uint64_t &dropped)
    {
        SeenValues::Result seen = given.Add(value, bound);
        if (seen == SeenValues::FULL) ++dropped;
        return seen == SeenValues::NEW;
    }

    State &state;
    Flow &flow;
    int side;
    int64_t time;
};

void Tracker::State::Udp(Flow &flow, const PacketView &packet, int sender, int64_t time)
{
    if (flow.done) return;
    // No port names the protocol: the first datagram's bytes may.
    if (!flow.udp && flow.record.detected_protocol == PROTO_UNKNOWN && !flow.start_checked) {
        if (packet.payload_size == 0) return;
        flow.start_checked = true;
        if (const UdpRow *row = UdpRowByStart(packet.payload, packet.payload_size)) {
            flow.record.detected_protocol = row->protocol;
            flow.udp = row->step;
        }
    }
    if (!flow.udp) {
        Complete(flow, time);
        return;
    }
    Datagram in;
    in.data = packet.payload;
    in.size = packet.payload_size;
    in.dst_port = packet.dst_port;
    in.from_client = sender == (flow.record.origin == ORIGIN_UPPER ? UPPER : LOWER);
    in.state = &flow.step_state;
    Values out(*this, flow, sender, time);
    if (flow.udp(in, out) == DatagramVerdict::DONE) Complete(flow, time);
}

void Tracker::State::Tcp(Flow &flow, const PacketView &packet, int sender, int64_t time)
{
    if (flow.closed) return;
    uint8_t flags = packet.tcp_flags;
    flow.tcp_start[sender].Note(flags, packet.tcp_seq, packet.payload_size);
    if (!flow.done && flow.tcp) {
        Direction &d = flow.tcp->direction[sender];
        if ((flags & TCP_SYN) != 0) d.stream.Syn(packet.tcp_seq);
        if (!d.done && packet.payload_size > 0) {
            uint32_t seq = packet.tcp_seq + ((flags & TCP_SYN) != 0 ? 1 : 0);
            uint64_t dropped = d.stream.GivenUp();
            bool grew = d.stream.Add(seq, packet.payload, packet.payload_size);
            counters.stream_pieces_dropped += d.stream.GivenUp() - dropped;
            if (grew) Inspect(flow, sender, time);
        }
        if (flow.tcp && flow.tcp->direction[0].done && flow.tcp->direction[1].done) Complete(flow, time);
    }
    if ((flags & (TCP_FIN | TCP_RST)) != 0) Close(table.find(flow.key)->second, time);
}

void Tracker::State::Inspect(Flow &flow, int side, int64_t time)
{
    Direction &d = flow.tcp->direction[side];
    TcpStream &stream = d.stream;
    Values out(*this, flow, side, time);
    while (!d.done && stream.Size() > 0) {
        StreamBytes in;
        in.data = stream.Data();
        in.size = stream.Size();
        in.full = stream.Full();
        in.skipped = d.skipped;
        if (d.row == 0) d.row = TcpRowByStart(in.data, in.size);
        StreamVerdict verdict = TcpRowStep(d.row)(in, out);
        // It may be what a client sends before TLS or HTTP starts.
        if (verdict.kind == StreamVerdict::NOT_MINE) verdict = TCP_PRELUDE_STEP(in, out);
        switch (verdict.kind) {
        case StreamVerdict::WAIT:
            return;
        case StreamVerdict::NOT_MINE:
        case StreamVerdict::DONE:
            d.done = true;
            break;
        case StreamVerdict::SAME:
            stream.Discard(verdict.consume);
            break;
        case StreamVerdict::ANY:
        case StreamVerdict::TLS:
            d.skipped += verdict.consume;
            stream.Discard(verdict.consume);
            d.row = verdict.kind == StreamVerdict::TLS ? TCP_UPGRADED_ROW : 0;
            break;
        }
    }
    if (d.done) stream.Release();
}

} // namespace ostrel_capture
