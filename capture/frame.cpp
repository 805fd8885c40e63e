#include "capture/frame.h"

#include <algorithm>
#include <cstring>

#include "capture/byte_reader.h"
#include "capture/frame_layers.h"
#include "capture/tracker.h"

namespace ostrel_capture {

namespace {

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_IPV6 = 0x86dd;
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr uint16_t ETHERTYPE_QINQ = 0x88a8;
constexpr uint16_t ETHERTYPE_QINQ_OLD = 0x9100;
constexpr uint16_t ETHERTYPE_PPPOE_SESSION = 0x8864;
constexpr uint16_t ETHERTYPE_MPLS = 0x8847;
constexpr uint16_t ETHERTYPE_MPLS_MULTICAST = 0x8848;
constexpr int MAX_VLAN_TAGS = 8;
constexpr int MAX_IPV6_EXTENSIONS = 8;

FrameResult Transport(uint8_t protocol, const Span &span, Layers &layers)
{
    PacketView &packet = layers.packet;
    packet.ip_protocol = protocol;
    if (protocol == 17) {
        if (FrameResult r = span.Lacks(8); r != FrameResult::PACKET) return r;
        const uint8_t *h = span.data;
        size_t length = Read16(h + 4);
        if (length < 8 || length > span.wire) return FrameResult::MALFORMED;
        packet.src_port = Read16(h);
        packet.dst_port = Read16(h + 2);
        Span payload = span.Take(length).From(8);
        if (std::optional<FrameResult> inner = UdpTunnel(packet.src_port, packet.dst_port, payload, layers))
            return *inner;
        packet.payload = payload.data;
        packet.payload_size = payload.captured;
        packet.payload_wire_size = payload.wire;
        return FrameResult::PACKET;
    }
    if (protocol == 6) {
        if (FrameResult r = span.Lacks(20); r != FrameResult::PACKET) return r;
        const uint8_t *h = span.data;
        size_t header = static_cast<size_t>(h[12] >> 4) * 4;
        if (header < 20 || header > span.wire) return FrameResult::MALFORMED;
        if (FrameResult r = span.Lacks(header); r != FrameResult::PACKET) return r;
        packet.src_port = Read16(h);
        packet.dst_port = Read16(h + 2);
        packet.tcp_seq = Read32(h + 4);
        packet.tcp_ack = Read32(h + 8);
        packet.tcp_flags = h[13];
        Span payload = span.From(header);
        packet.payload = payload.data;
        packet.payload_size = payload.captured;
        packet.payload_wire_size = payload.wire;
        return FrameResult::PACKET;
    }
    if (protocol == 4 || protocol == 41) { // IP in IP: 4in4, 6in4, 4in6, 6in6
        if (!layers.Enter()) return FrameResult::MALFORMED;
        return BareIp(span, layers, protocol == 4 ? 4 : 6);
    }
    if (protocol == 47) return Gre(span, layers);
    return FrameResult::OTHER_TRANSPORT;
}

} // namespace

FrameResult Ipv4(const Span &span, Layers &layers)
{
    PacketView &packet = layers.packet;
    if (FrameResult r = span.Lacks(20); r != FrameResult::PACKET) return r;
    const uint8_t *h = span.data;
    if ((h[0] >> 4) != 4) return FrameResult::MALFORMED;
    size_t header = static_cast<size_t>(h[0] & 0x0f) * 4;
    size_t total = Read16(h + 2);
    if (header < 20 || total < header || total > span.wire) return FrameResult::MALFORMED;
    Span datagram = span.Take(total);
    if (FrameResult r = datagram.Lacks(header); r != FrameResult::PACKET) return r;
    // Clears what an outer IPv6 header of a tunnel left in the address.
    packet.src_ip = IpAddress();
    packet.dst_ip = IpAddress();
    packet.src_ip.family = 4;
    packet.dst_ip.family = 4;
    std::memcpy(packet.src_ip.bytes.data(), h + 12, 4);
    std::memcpy(packet.dst_ip.bytes.data(), h + 16, 4);
    uint16_t fragment = Read16(h + 6);
    if ((fragment & 0x2000) != 0 || (fragment & 0x1fff) != 0) return FrameResult::FRAGMENT;
    return Transport(h[9], datagram.From(header), layers);
}

FrameResult Ipv6(const Span &span, Layers &layers)
{
    PacketView &packet = layers.packet;
    if (FrameResult r = span.Lacks(40); r != FrameResult::PACKET) return r;
    const uint8_t *h = span.data;
    if ((h[0] >> 4) != 6) return FrameResult::MALFORMED;
    size_t length = Read16(h + 4);
    if (40 + length > span.wire) return FrameResult::MALFORMED;
    packet.src_ip.family = 6;
    packet.dst_ip.family = 6;
    std::memcpy(packet.src_ip.bytes.data(), h + 8, 16);
    std::memcpy(packet.dst_ip.bytes.data(), h + 24, 16);
    Span rest = span.Take(40 + length).From(40);
    uint8_t next = h[6];
    for (int i = 0; i <= MAX_IPV6_EXTENSIONS; ++i) {
        switch (next) {
        case 0: // hop-by-hop options
        case 43: // routing
        case 60: // destination options
        case 51: // authentication header
        {
            if (FrameResult r = rest.Lacks(2); r != FrameResult::PACKET) return r;
            size_t size = next == 51 ? (static_cast<size_t>(rest.data[1]) + 2) * 4
                                     : (static_cast<size_t>(rest.data[1]) + 1) * 8;
            if (size > rest.wire) return FrameResult::MALFORMED;
            next = rest.data[0];
            rest = rest.From(size);
            break;
        }
        case 44:
            return FrameResult::FRAGMENT;
        default:
            return Transport(next, rest, layers);
        }
    }
    return FrameResult::MALFORMED;
}

FrameResult BareIp(const Span &span, Layers &layers, int version)
{
    PacketView &packet = layers.packet;
    packet.src_mac = MacAddress {};
    packet.dst_mac = MacAddress {};
    packet.has_src_mac = false;
    packet.has_dst_mac = false;
    if (FrameResult r = span.Lacks(1); r != FrameResult::PACKET) return r;
    if (version == 0) version = span.data[0] >> 4;
    if (version == 4) return Ipv4(span, layers);
    if (version == 6) return Ipv6(span, layers);
    return FrameResult::NOT_IP;
}

// From the EtherType on: VLAN tags, then IP (also in a PPPoE session or
// under MPLS labels).
FrameResult EtherPayload(uint16_t type, Span span, Layers &layers)
{
    PacketView &packet = layers.packet;
    for (int tags = 0; type == ETHERTYPE_VLAN || type == ETHERTYPE_QINQ || type == ETHERTYPE_QINQ_OLD;
         ++tags) {
        if (tags == MAX_VLAN_TAGS) return FrameResult::MALFORMED;
        if (FrameResult r = span.Lacks(4); r != FrameResult::PACKET) return r;
        // Id 0 only carries a priority: the frame belongs to the outer VLAN.
        uint16_t id = Read16(span.data) & 0x0fff;
        if (id != 0) packet.vlan = id;
        type = Read16(span.data + 2);
        span = span.From(4);
    }
    switch (type) {
    case ETHERTYPE_IPV4:
        return Ipv4(span, layers);
    case ETHERTYPE_IPV6:
        return Ipv6(span, layers);
    case ETHERTYPE_PPPOE_SESSION:
        return PppoeSession(span, layers);
    case ETHERTYPE_MPLS:
    case ETHERTYPE_MPLS_MULTICAST:
        return Mpls(span, layers);
    default:
        return FrameResult::NOT_IP;
    }
}

// A whole Ethernet frame: its MACs, then its payload. A frame inside a
// tunnel is a link of its own, so an outer VLAN does not apply to it.
FrameResult EthernetFrame(const Span &span, Layers &layers)
{
    PacketView &packet = layers.packet;
    if (FrameResult r = span.Lacks(14); r != FrameResult::PACKET) return r;
    std::memcpy(packet.dst_mac.data(), span.data, 6);
    std::memcpy(packet.src_mac.data(), span.data + 6, 6);
    packet.has_dst_mac = true;
    packet.has_src_mac = true;
    packet.vlan = 0;
    uint16_t type = Read16(span.data + 12);
    if (type < 0x0600) // an 802.3 length: LLC, not IP
        return FrameResult::NOT_IP;
    return EtherPayload(type, span.From(14), layers);
}

FrameResult ParseFrame(int link_type, const uint8_t *data, size_t caplen, size_t wirelen, PacketView &packet)
{
    packet = PacketView();
    Layers layers {packet};
    Span frame {data, data == nullptr ? 0 : caplen, std::max(caplen, wirelen)};
    switch (link_type) {
    case LINK_ETHERNET:
        return EthernetFrame(frame, layers);
    case LINK_LINUX_SLL:
        if (FrameResult r = frame.Lacks(16); r != FrameResult::PACKET) return r;
        if (Read16(data + 4) == 6) {
            std::memcpy(packet.src_mac.data(), data + 6, 6);
            packet.has_src_mac = true;
        }
        return EtherPayload(Read16(data + 14), frame.From(16), layers);
    case LINK_LINUX_SLL2:
        if (FrameResult r = frame.Lacks(20); r != FrameResult::PACKET) return r;
        if (data[11] == 6) {
            std::memcpy(packet.src_mac.data(), data + 12, 6);
            packet.has_src_mac = true;
        }
        return EtherPayload(Read16(data), frame.From(20), layers);
    case LINK_IEEE802_11:
        return Ieee80211(frame, layers);
    case LINK_IEEE802_11_RADIOTAP:
        return Radiotap(frame, layers);
    default:
        return FrameResult::NOT_IP;
    }
}

} // namespace ostrel_capture
