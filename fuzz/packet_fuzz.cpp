// The whole packet path from any bytes: frames of one link type go through a
// tracker small enough that eviction and expiry happen, then everything is
// flushed and every event's texts are read.
//
// Input: one byte of settings, then either one frame (the rest) or a sequence
// of frames, each behind a 2-byte big-endian length whose top bit marks a
// frame cut short by the snap length.
//   settings bits 0-1: link type (0 Ethernet, 1 Linux SLL, 2 Linux SLL2, 3 802.11 behind radiotap)
//   settings bit 2:    a sequence of frames rather than one
//   settings bits 3-7: seconds between frames, times 4 (0 to 124)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "capture/protocols.h"
#include "capture/tracker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using namespace ostrel_capture;

constexpr size_t kMaxFlows = 4;
constexpr int64_t kSecond = 1000000;

void Require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "packet_fuzz: broken: %s\n", what);
        std::abort();
    }
}

// Reads every byte of every text, so that a string with a bad size or
// pointer is caught by the sanitizers here rather than later.
size_t Touch(const std::string &text)
{
    size_t sum = 0;
    for (char c : text)
        sum += static_cast<unsigned char>(c);
    return sum;
}

size_t TouchEndpoint(const Endpoint &endpoint)
{
    return Touch(MacText(endpoint.mac)) + Touch(endpoint.ip.Text()) + endpoint.port;
}

struct Consumer {
    size_t events = 0;
    size_t checksum = 0;

    void operator()(FlowEvent &&event)
    {
        ++events;
        Require(event.type == EVENT_FLOW_NEW || event.type == EVENT_FLOW_DPI_UPDATE
                || event.type == EVENT_FLOW_DPI_COMPLETE,
            "an event has a known type");
        const FlowRecord &flow = event.flow;
        Require(flow.ip_protocol == 6 || flow.ip_protocol == 17, "a flow is TCP or UDP");
        Require(flow.origin <= ORIGIN_UPPER, "the origin is one of the sides");
        checksum += TouchEndpoint(flow.lower) + TouchEndpoint(flow.upper);
        checksum += Touch(ProtocolName(flow.detected_protocol));
        checksum += Touch(flow.host_name) + Touch(flow.dhcp_class_ident) + Touch(flow.dhcp_fingerprint);
        checksum += Touch(flow.user_agent) + Touch(flow.tls_client_ja4) + Touch(flow.mdns_domain_name);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t settings = data[0];
    static const int kLinks[] = {LINK_ETHERNET, LINK_LINUX_SLL, LINK_LINUX_SLL2, LINK_IEEE802_11_RADIOTAP};
    const int link = kLinks[settings & 3];
    const bool sequence = (settings & 4) != 0;
    const int64_t step = static_cast<int64_t>(settings >> 3) * 4 * kSecond;

    TrackerOptions options;
    options.udp_timeout_usec = 30 * kSecond;
    options.tcp_timeout_usec = 90 * kSecond;
    options.max_flows = kMaxFlows;
    options.max_stream_bytes = 4096;
    options.memory_budget = 12 * 1024; // small enough that flows give way
    Consumer consumer;
    size_t events = 0;
    size_t checksum = 0;
    {
        Tracker tracker(options, [&consumer](FlowEvent &&event) { consumer(std::move(event)); });
        int64_t now = 1700000000 * kSecond;
        const uint8_t *pos = data + 1;
        const uint8_t *const end = data + size;
        if (!sequence) {
            tracker.Frame(link, pos, static_cast<size_t>(end - pos), static_cast<size_t>(end - pos), now);
        } else {
            while (end - pos >= 2) {
                const size_t prefix = static_cast<size_t>(pos[0] << 8 | pos[1]);
                pos += 2;
                const size_t available = static_cast<size_t>(end - pos);
                const size_t caplen = (prefix & 0x7fff) < available ? (prefix & 0x7fff) : available;
                const size_t wirelen = (prefix & 0x8000) != 0 ? caplen + 1000 : caplen;
                tracker.Frame(link, pos, caplen, wirelen, now);
                Require(
                    tracker.HeldBytes() <= options.memory_budget, "the flows hold no more than the budget");
                Require(tracker.HeldBytes() == tracker.RecountHeldBytes(),
                    "the running count is what the flows hold");
                pos += caplen;
                now += step;
                tracker.Expire(now);
            }
        }
        Require(tracker.Counters().peak_flows <= kMaxFlows + 1, "the flow table stays within its bound");
        tracker.Flush(now);
        Require(tracker.ActiveFlows() == 0, "a flush ends every flow");
        events = consumer.events;
        checksum = consumer.checksum;
    }
    // Keeps the reads above from being optimised away.
    volatile size_t sink = checksum + events;
    (void)sink;
    return 0;
}
