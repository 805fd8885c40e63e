// The layers of a frame as the decoders in frame.cpp, tunnel.cpp and
// ieee80211.cpp see them: a span of bytes and the packet being filled.
// Internal to the frame parser.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "capture/frame.h"

namespace ostrel_capture {

// Bytes [0, captured) of a layer are in the buffer, [0, wire) were on the
// wire. A header that needs more than was captured is cut by the snap length
// when the wire had it, and malformed when not even the wire had it.
struct Span {
    const uint8_t *data;
    size_t captured;
    size_t wire;

    FrameResult Lacks(size_t need) const
    {
        if (need <= captured) return FrameResult::PACKET;
        return need <= wire ? FrameResult::TRUNCATED : FrameResult::MALFORMED;
    }
    Span From(size_t offset) const
    {
        return Span {data + offset, captured - std::min(offset, captured), wire - offset};
    }
    // The first `length` bytes: trims link padding after an IP datagram.
    Span Take(size_t length) const { return Span {data, std::min(captured, length), length}; }
};

// Real captures nest a few encapsulations (ERSPAN in GRE in IP, MPLS in a
// pseudowire in VXLAN); more than this is a crafted loop.
constexpr int MAX_ENCAPSULATIONS = 8;

struct Layers {
    explicit Layers(PacketView &packet)
        : packet(packet)
    {
    }

    PacketView &packet;
    int depth = 0;

    // False past the nesting bound.
    bool Enter() { return ++depth <= MAX_ENCAPSULATIONS; }
};

// frame.cpp
FrameResult EthernetFrame(const Span &span, Layers &layers);
FrameResult EtherPayload(uint16_t type, Span span, Layers &layers);
FrameResult Ipv4(const Span &span, Layers &layers);
FrameResult Ipv6(const Span &span, Layers &layers);
// An IP packet carried without a link header of its own (`version` 4 or 6,
// 0 to take it from the first nibble): the packet has no MACs, since the
// frame's MACs are the tunnel endpoints', not those of the hosts inside.
FrameResult BareIp(const Span &span, Layers &layers, int version = 0);

// tunnel.cpp
FrameResult Gre(const Span &span, Layers &layers);
FrameResult Mpls(Span span, Layers &layers);
FrameResult PppoeSession(const Span &span, Layers &layers);
// A UDP payload on a tunnel's port that carries a packet of that tunnel;
// nothing when the datagram is not such a packet, which leaves it plain UDP.
std::optional<FrameResult> UdpTunnel(
    uint16_t src_port, uint16_t dst_port, const Span &payload, Layers &layers);

// ieee80211.cpp
FrameResult Ieee80211(const Span &span, Layers &layers, bool padded = false);
FrameResult Radiotap(const Span &span, Layers &layers);

} // namespace ostrel_capture
