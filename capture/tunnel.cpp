// Tunnels and encapsulations that monitoring ports and cloud mirrors deliver:
// GRE (with transparent Ethernet bridging and ERSPAN), MPLS, PPPoE sessions,
// and the UDP tunnels VXLAN, Geneve, GTP-U, CAPWAP data and AYIYA. Each opens
// its header and hands the packet inside back to the frame decoder.
#include <cstdint>
#include <optional>

#include "capture/byte_reader.h"
#include "capture/frame_layers.h"

namespace ostrel_capture {

namespace {

constexpr uint16_t PROTO_TRANSPARENT_ETHERNET = 0x6558;
constexpr uint16_t PROTO_IPV4 = 0x0800;
constexpr uint16_t PROTO_IPV6 = 0x86dd;
constexpr uint16_t PROTO_MPLS = 0x8847;
constexpr uint16_t PROTO_MPLS_MULTICAST = 0x8848;
constexpr uint16_t PROTO_ERSPAN_II = 0x88be;
constexpr uint16_t PROTO_ERSPAN_III = 0x22eb;

constexpr uint16_t PORT_VXLAN = 4789;
constexpr uint16_t PORT_GENEVE = 6081;
constexpr uint16_t PORT_GTP_U = 2152;
constexpr uint16_t PORT_CAPWAP_DATA = 5247;
constexpr uint16_t PORT_AYIYA = 5072;

constexpr int MAX_MPLS_LABELS = 16;
constexpr int MAX_GTP_EXTENSIONS = 8;

// The payload named by an EtherType-like protocol field (GRE, Geneve).
FrameResult ByProtocolType(uint16_t type, const Span &span, Layers &layers)
{
    switch (type) {
    case PROTO_TRANSPARENT_ETHERNET:
        return EthernetFrame(span, layers);
    case PROTO_IPV4:
        return BareIp(span, layers, 4);
    case PROTO_IPV6:
        return BareIp(span, layers, 6);
    case PROTO_MPLS:
    case PROTO_MPLS_MULTICAST:
        return Mpls(span, layers);
    default:
        return FrameResult::NOT_IP;
    }
}

// ERSPAN type II (8 bytes) and III (12, plus an 8-byte platform header when
// its O bit is set), then the mirrored Ethernet frame.
FrameResult Erspan(bool type3, const Span &span, Layers &layers)
{
    size_t header = type3 ? 12 : 8;
    if (FrameResult r = span.Lacks(header); r != FrameResult::PACKET) return r;
    const uint8_t *h = span.data;
    if ((h[0] >> 4) != (type3 ? 2 : 1)) return FrameResult::MALFORMED;
    if (type3) {
        if (((h[10] >> 2) & 0x1f) != 0) return FrameResult::NOT_IP; // not an Ethernet frame
        if ((h[11] & 0x01) != 0) header += 8;
    }
    if (header > span.wire) return FrameResult::MALFORMED;
    return EthernetFrame(span.From(header), layers);
}

// VXLAN: flags with the VNI bit, then an Ethernet frame.
std::optional<FrameResult> Vxlan(const Span &span, Layers &layers)
{
    if (span.captured < 8 || (span.data[0] & 0x08) == 0) return std::nullopt;
    return EthernetFrame(span.From(8), layers);
}

// Geneve: version 0, options in 4-byte words, a protocol type.
std::optional<FrameResult> Geneve(const Span &span, Layers &layers)
{
    if (span.captured < 8 || (span.data[0] >> 6) != 0) return std::nullopt;
    size_t header = 8 + static_cast<size_t>(span.data[0] & 0x3f) * 4;
    if (header > span.wire) return FrameResult::MALFORMED;
    return ByProtocolType(Read16(span.data + 2), span.From(header), layers);
}

// GTP-U: version 1 and a G-PDU (a user's packet), optional fields and a
// chain of extension headers, then bare IP. Echoes and error indications
// carry no packet.
std::optional<FrameResult> GtpU(const Span &span, Layers &layers)
{
    if (span.captured < 8) return std::nullopt;
    const uint8_t *h = span.data;
    if ((h[0] >> 5) != 1 || (h[0] & 0x10) == 0 || h[1] != 0xff) return std::nullopt;
    size_t length = Read16(h + 2);
    if (8 + length > span.wire) return FrameResult::MALFORMED;
    Span message = span.Take(8 + length);
    size_t pos = 8;
    if ((h[0] & 0x07) != 0) {
        if (FrameResult r = message.Lacks(12); r != FrameResult::PACKET) return r;
        uint8_t next = h[11];
        pos = 12;
        for (int i = 0; next != 0; ++i) {
            if (i == MAX_GTP_EXTENSIONS) return FrameResult::MALFORMED;
            if (FrameResult r = message.Lacks(pos + 1); r != FrameResult::PACKET) return r;
            size_t size = static_cast<size_t>(message.data[pos]) * 4;
            if (size == 0) return FrameResult::MALFORMED;
            if (FrameResult r = message.Lacks(pos + size); r != FrameResult::PACKET) return r;
            next = message.data[pos + size - 1];
            pos += size;
        }
    }
    return BareIp(message.From(pos), layers);
}

// CAPWAP data: a plain (not DTLS) header of HLEN 4-byte words; the T bit
// says whether the frame inside is 802.11 or 802.3. Keep-alives carry none.
std::optional<FrameResult> CapwapData(const Span &span, Layers &layers)
{
    if (span.captured < 8 || span.data[0] != 0) return std::nullopt;
    uint32_t bits = uint32_t {span.data[1]} << 16 | uint32_t {span.data[2]} << 8 | span.data[3];
    size_t header = static_cast<size_t>(bits >> 19) * 4;
    bool native = (bits & 0x100) != 0;
    bool fragment = (bits & 0x80) != 0;
    bool keep_alive = (bits & 0x08) != 0;
    if (keep_alive) return std::nullopt;
    if (header < 8 || header > span.wire) return FrameResult::MALFORMED;
    if (fragment) return FrameResult::FRAGMENT;
    if (!native) return EthernetFrame(span.From(header), layers);
    if (((bits >> 9) & 0x1f) != 1) return FrameResult::NOT_IP; // a wireless binding other than 802.11
    return Ieee80211(span.From(header), layers);
}

// AYIYA: an 8-byte header, the identity (2^n bytes) and the signature (n
// 4-byte words), then the forwarded packet.
std::optional<FrameResult> Ayiya(const Span &span, Layers &layers)
{
    if (span.captured < 8) return std::nullopt;
    const uint8_t *h = span.data;
    bool forward = (h[2] & 0x0f) == 1;
    if (!forward || (h[3] != 4 && h[3] != 41)) return std::nullopt;
    size_t header = 8 + (size_t {1} << (h[0] >> 4)) + static_cast<size_t>(h[1] >> 4) * 4;
    if (header > span.wire) return FrameResult::MALFORMED;
    return BareIp(span.From(header), layers, h[3] == 4 ? 4 : 6);
}

// Whether an Ethernet frame starting at `offset` would name a payload this
// decoder knows: tells a pseudowire's control word from a MAC starting 0x0.
bool KnownEtherTypeAt(const Span &span, size_t offset)
{
    if (span.captured < offset + 14) return false;
    switch (Read16(span.data + offset + 12)) {
    case PROTO_IPV4:
    case PROTO_IPV6:
    case PROTO_MPLS:
    case PROTO_MPLS_MULTICAST:
    case 0x0806: // ARP
    case 0x8100:
    case 0x88a8:
    case 0x9100:
    case 0x8864:
        return true;
    default:
        return false;
    }
}

} // namespace

FrameResult Gre(const Span &span, Layers &layers)
{
    if (!layers.Enter()) return FrameResult::MALFORMED;
    if (FrameResult r = span.Lacks(4); r != FrameResult::PACKET) return r;
    uint16_t flags = Read16(span.data);
    bool checksum = (flags & 0x8000) != 0;
    bool routing = (flags & 0x4000) != 0;
    bool key = (flags & 0x2000) != 0;
    bool sequence = (flags & 0x1000) != 0;
    // Version 1 is PPTP's enhanced GRE; source routing is long obsolete.
    if ((flags & 0x0007) != 0 || routing) return FrameResult::OTHER_TRANSPORT;
    size_t header = 4 + (checksum ? 4 : 0) + (key ? 4 : 0) + (sequence ? 4 : 0);
    if (header > span.wire) return FrameResult::MALFORMED;
    Span inner = span.From(header);
    uint16_t type = Read16(span.data + 2);
    if (type == PROTO_ERSPAN_II) // without a sequence number it is type I: no ERSPAN header
        return sequence ? Erspan(false, inner, layers) : EthernetFrame(inner, layers);
    if (type == PROTO_ERSPAN_III) return Erspan(true, inner, layers);
    return ByProtocolType(type, inner, layers);
}

// Labels down to the bottom of the stack; what follows has no type field, so
// it is guessed by its first nibble as routers do: 4 and 6 are IP, 1 an
// associated channel (OAM), 0 a pseudowire control word before an Ethernet
// frame (unless only the frame without it names a known EtherType: a
// destination MAC may start with 0x0 too), anything else an Ethernet
// pseudowire without control word.
FrameResult Mpls(Span span, Layers &layers)
{
    if (!layers.Enter()) return FrameResult::MALFORMED;
    for (int labels = 0;; ++labels) {
        if (labels == MAX_MPLS_LABELS) return FrameResult::MALFORMED;
        if (FrameResult r = span.Lacks(4); r != FrameResult::PACKET) return r;
        bool bottom = (span.data[2] & 0x01) != 0;
        span = span.From(4);
        if (bottom) break;
    }
    if (FrameResult r = span.Lacks(1); r != FrameResult::PACKET) return r;
    switch (span.data[0] >> 4) {
    case 4:
        return BareIp(span, layers, 4);
    case 6:
        return BareIp(span, layers, 6);
    case 0:
        if (!KnownEtherTypeAt(span, 4) && KnownEtherTypeAt(span, 0)) return EthernetFrame(span, layers);
        if (span.wire < 4) return FrameResult::MALFORMED;
        return EthernetFrame(span.From(4), layers);
    case 1:
        return FrameResult::NOT_IP;
    default:
        return EthernetFrame(span, layers);
    }
}

// A PPPoE session frame: its 6-byte header, the PPP protocol, IP. The frame's
// MACs stay: the PPPoE client is on this Ethernet and sends its own packets.
FrameResult PppoeSession(const Span &span, Layers &layers)
{
    if (!layers.Enter()) return FrameResult::MALFORMED;
    if (FrameResult r = span.Lacks(8); r != FrameResult::PACKET) return r;
    const uint8_t *h = span.data;
    if (h[0] != 0x11 || h[1] != 0x00) return FrameResult::NOT_IP; // version 1, type 1, session data
    size_t length = Read16(h + 4);
    if (length < 2 || 6 + length > span.wire) return FrameResult::MALFORMED;
    Span ppp = span.Take(6 + length);
    uint16_t protocol = Read16(h + 6);
    if (protocol == 0x0021) return Ipv4(ppp.From(8), layers);
    if (protocol == 0x0057) return Ipv6(ppp.From(8), layers);
    return FrameResult::NOT_IP; // LCP, IPCP, CHAP, ...
}

std::optional<FrameResult> UdpTunnel(
    uint16_t src_port, uint16_t dst_port, const Span &payload, Layers &layers)
{
    // VXLAN and Geneve senders pick the source port from a hash of the
    // inner flow, so only the destination names the tunnel; the others use
    // their port on both sides or answer from it.
    auto either = [&](uint16_t port) { return src_port == port || dst_port == port; };
    std::optional<FrameResult> (*open)(const Span &, Layers &) = nullptr;
    if (dst_port == PORT_VXLAN)
        open = Vxlan;
    else if (dst_port == PORT_GENEVE)
        open = Geneve;
    else if (either(PORT_GTP_U))
        open = GtpU;
    else if (either(PORT_CAPWAP_DATA))
        open = CapwapData;
    else if (either(PORT_AYIYA))
        open = Ayiya;
    if (open == nullptr) return std::nullopt;
    int depth = layers.depth;
    if (!layers.Enter()) return FrameResult::MALFORMED;
    std::optional<FrameResult> result = open(payload, layers);
    if (!result) layers.depth = depth;
    return result;
}

} // namespace ostrel_capture
