// What the tracker keeps of each flow, shared by the flow table
// (tracker.cpp) and the payload inspection (payload_steps.cpp). Internal to the
// capture library.
#pragma once

#include <array>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/flow_memory.h"
#include "capture/frame.h"
#include "capture/step.h"
#include "capture/tcp_stream.h"
#include "capture/tracker.h"

namespace ostrel_capture {
namespace tracking {

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

    // Frees the texts' heap blocks: assigning an empty text would keep them.
    void Release()
    {
        for (std::string *text : {&host_name, &class_ident, &fingerprint, &user_agent, &ja4, &mdns_name})
            std::string().swap(*text);
        user_agent_source = UA_NONE;
    }
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
    uint8_t row = 0; // the TCP row whose step reads the stream; 0: none picked yet
    bool done = false;
    TcpStream stream;
    size_t skipped = 0; // bytes before TLS or HTTP: preludes and CONNECT heads
};

// The state of the two TCP directions while the flow is inspected.
struct TcpInspection {
    explicit TcpInspection(size_t limit)
        : direction {Direction {0, false, TcpStream(limit)}, Direction {0, false, TcpStream(limit)}}
    {
    }
    Direction direction[2];
};

struct Flow {
    FlowKey key;
    FlowRecord record; // addresses, origin and protocol; the values live in `carried`
    Carried carried[2];
    bool sent[2] = {false, false};
    int64_t last = 0;
    bool done = false; // inspection over, complete event given
    bool closed = false; // FIN or RST seen: counted as ended, lingering
    bool start_checked = false; // the first datagram's bytes were matched against the table
    UdpStep udp = nullptr; // the step that reads the flow's datagrams
    std::unique_ptr<TcpInspection> tcp;
    std::unique_ptr<StepState> step_state;
    Given given[2];
    TcpStart tcp_start[2];
    size_t charged = 0; // what the budget counts for this flow
    size_t side_charged[2] = {0, 0}; // of it, what each side's values and stream hold
};

using FlowList = std::list<Flow>;

inline Endpoint &EndpointOf(FlowRecord &record, int side)
{
    return side == LOWER ? record.lower : record.upper;
}

} // namespace tracking

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
    tracking::FlowList udp_flows;
    tracking::FlowList tcp_flows;
    tracking::FlowList closed_flows; // TCP after FIN or RST, for a short linger
    std::unordered_map<tracking::FlowKey, tracking::FlowList::iterator, tracking::FlowKeyHash> table;
    size_t held = 0; // the sum of the flows' `charged`

    enum class End { CLOSED, EXPIRED, EVICTED, FLUSHED, SPLIT };

    // The flow table (tracker.cpp): flows made, found, ended, and their events.
    void Frame(int link_type, const uint8_t *data, size_t caplen, size_t wirelen, int64_t time);
    void Packet(const PacketView &packet, int64_t time);
    tracking::FlowList::iterator Create(
        const tracking::FlowKey &key, const PacketView &packet, int sender, int64_t time);
    void EndFlow(tracking::FlowList::iterator it, End how, int64_t time);
    void Close(tracking::FlowList::iterator it, int64_t time);
    void Count(const tracking::Flow &flow, End how);
    tracking::FlowList &ListOf(const tracking::Flow &flow)
    {
        if (flow.closed) return closed_flows;
        return flow.record.ip_protocol == 6 ? tcp_flows : udp_flows;
    }
    void Expire(int64_t now);
    void EvictOldest(tracking::FlowList::iterator keep, int64_t time);
    void Emit(EventType type, tracking::Flow &flow, int side, int64_t time);
    void Complete(tracking::Flow &flow, int64_t time);
    void Charge(tracking::Flow &flow);
    void ChargeSide(tracking::Flow &flow, int side);
    void Settle(tracking::Flow &flow);
    // Over the budget: the least recently active flows give way.
    void GiveWay(int64_t time);

    // The payload inspection (payload_steps.cpp): datagrams and streams handed
    // to the protocols' steps, and the values they find given to the flow.
    class Values;
    void Udp(tracking::Flow &flow, const PacketView &packet, int sender, int64_t time);
    void Tcp(tracking::Flow &flow, const PacketView &packet, int sender, int64_t time);
    void Inspect(tracking::Flow &flow, int side, int64_t time);
};

} // namespace ostrel_capture
