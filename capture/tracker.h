// Frames to packets, packets to flows, flows to attributes: the whole packet
// path. Feed it captured frames in time order; it calls the sink with the
// flow events a daemon gives its processors. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "capture/flow_record.h"

namespace ostrel_capture {

// Link types (libpcap's DLT numbers) the tracker reads.
constexpr int LINK_ETHERNET = 1;
constexpr int LINK_LINUX_SLL = 113;
constexpr int LINK_LINUX_SLL2 = 276;
constexpr int LINK_IEEE802_11 = 105;
constexpr int LINK_IEEE802_11_RADIOTAP = 127;
bool LinkTypeSupported(int link_type);

struct TrackerOptions {
    int64_t udp_timeout_usec = 60LL * 1000000; // idle time that ends a UDP flow
    int64_t tcp_timeout_usec = 300LL * 1000000; // idle time that ends a TCP flow
    size_t max_flows = 65536; // oldest (least recently active) evicted beyond
    size_t max_stream_bytes = 16384; // bytes of each TCP direction kept for inspection
    // Bytes all flows may hold between packets (stream bytes, remembered
    // values, texts); past it the least recently active flows end their
    // inspection and free what they hold.
    size_t memory_budget = 64ULL << 20;
};

struct CaptureCounters {
    uint64_t frames = 0;
    uint64_t bytes = 0; // captured bytes
    uint64_t ip_packets = 0;
    uint64_t malformed = 0; // headers that do not hold together
    uint64_t truncated = 0; // cut short by the snap length
    uint64_t fragments = 0; // IP fragments, skipped
    uint64_t not_ip = 0; // ARP, LLDP, ...
    uint64_t other_transport = 0; // ICMP and the like: neither TCP nor UDP
    uint64_t flows = 0; // flows started
    uint64_t flows_ended = 0; // TCP FIN or RST; a new device or connection on the same ports
    uint64_t flows_expired = 0; // idle
    uint64_t flows_evicted = 0; // table full
    uint64_t events = 0;
    uint64_t mdns_names_dropped = 0; // mDNS names past the number remembered per flow
    uint64_t user_agents_dropped = 0; // user agents past the number remembered per flow
    uint64_t stream_pieces_dropped = 0; // TCP segments ahead of too many gaps, not held
    uint64_t flows_given_way = 0; // inspections ended early by the memory budget
    uint64_t bytes_given_way = 0; // what those flows held then
    size_t peak_held_bytes = 0;
    size_t peak_flows = 0;
    std::map<unsigned, uint64_t> flows_by_protocol; // by detected protocol, counted when a flow ends
};

class Tracker
{
public:
    using Sink = std::function<void(FlowEvent &&event)>;

    Tracker(const TrackerOptions &options, Sink sink);
    ~Tracker();
    Tracker(const Tracker &) = delete;
    Tracker &operator=(const Tracker &) = delete;

    // One captured frame: `caplen` bytes at `data` of a frame `wirelen` long.
    // Bad frames are counted and skipped; nothing here throws on input.
    void Frame(int link_type, const uint8_t *data, size_t caplen, size_t wirelen, int64_t time_usec);
    // Ends the flows idle for longer than their timeout at `now_usec`.
    void Expire(int64_t now_usec);
    // Ends every flow (the input is done).
    void Flush(int64_t now_usec);

    const CaptureCounters &Counters() const;
    // Flows open now; closed ones waiting for the last packets of their close
    // are not counted.
    size_t ActiveFlows() const;
    // Bytes the flows hold now, within the memory budget after each frame.
    size_t HeldBytes() const;
    // The same counted afresh over every flow, for checks: the running count
    // is only recounted where a packet can change it.
    size_t RecountHeldBytes() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace ostrel_capture
