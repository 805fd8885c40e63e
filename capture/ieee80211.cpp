// 802.11 data frames, bare or behind a radiotap header: the source and
// destination addresses as an Ethernet frame between the same hosts would
// carry them, then the LLC/SNAP payload. Management and control frames,
// frames without data and protected (encrypted) frames give no packet.
#include <cstdint>
#include <cstring>

#include "capture/byte_reader.h"
#include "capture/frame_layers.h"

namespace ostrel_capture {

namespace {

constexpr int MAX_RADIOTAP_PRESENT_WORDS = 8;
constexpr uint8_t RADIOTAP_FCS = 0x10; // the frame ends in its 4-byte FCS
constexpr uint8_t RADIOTAP_PADDED = 0x20; // padding between header and payload
constexpr uint8_t RADIOTAP_BAD_FCS = 0x40;

uint16_t ReadLe16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t ReadLe32(const uint8_t *p)
{
    return uint32_t {p[0]} | uint32_t {p[1]} << 8 | uint32_t {p[2]} << 16 | uint32_t {p[3]} << 24;
}

void SetMacs(PacketView &packet, const uint8_t *src, const uint8_t *dst)
{
    std::memcpy(packet.src_mac.data(), src, 6);
    std::memcpy(packet.dst_mac.data(), dst, 6);
    packet.has_src_mac = true;
    packet.has_dst_mac = true;
}

// LLC/SNAP with an EtherType (RFC 1042, or 802.1H bridge tunnelling).
FrameResult Snap(const Span &span, Layers &layers)
{
    if (FrameResult r = span.Lacks(8); r != FrameResult::PACKET) return r;
    const uint8_t *h = span.data;
    bool snap = h[0] == 0xaa && h[1] == 0xaa && h[2] == 0x03 && h[3] == 0 && h[4] == 0
        && (h[5] == 0 || h[5] == 0xf8);
    if (!snap) return FrameResult::NOT_IP;
    return EtherPayload(Read16(h + 6), span.From(8), layers);
}

} // namespace

FrameResult Ieee80211(const Span &span, Layers &layers, bool padded)
{
    if (!layers.Enter()) return FrameResult::MALFORMED;
    if (FrameResult r = span.Lacks(2); r != FrameResult::PACKET) return r;
    const uint8_t *h = span.data;
    uint8_t version = h[0] & 0x03, type = (h[0] >> 2) & 0x03, subtype = h[0] >> 4;
    if (version != 0) return FrameResult::MALFORMED;
    if (type != 2) return FrameResult::NOT_IP; // management, control, extension
    if ((subtype & 0x04) != 0) return FrameResult::NOT_IP; // null function and CF frames: no data
    if ((h[1] & 0x40) != 0) return FrameResult::NOT_IP; // protected: the payload is encrypted
    bool to_ds = (h[1] & 0x01) != 0, from_ds = (h[1] & 0x02) != 0;
    bool qos = (subtype & 0x08) != 0;
    size_t header = 24 + (to_ds && from_ds ? 6 : 0);
    size_t qos_at = header;
    if (qos) header += 2 + ((h[1] & 0x80) != 0 ? 4 : 0); // QoS control, HT control when ordered
    if (FrameResult r = span.Lacks(header); r != FrameResult::PACKET) return r;
    if (padded) header = (header + 3) & ~size_t {3};
    if (header > span.wire) return FrameResult::MALFORMED;

    // Addresses 1 to 4 at 4, 10, 16, 24. The source is the station that sent
    // the frame to the distribution system (address 2), the one the access
    // point forwards from it (address 3), or, between access points, the
    // frame's original source (address 4); the destination likewise.
    const uint8_t *a1 = h + 4, *a2 = h + 10, *a3 = h + 16, *a4 = h + 24;
    PacketView &packet = layers.packet;
    packet.vlan = 0;
    if (!to_ds && !from_ds)
        SetMacs(packet, a2, a1);
    else if (to_ds && !from_ds)
        SetMacs(packet, a2, a3);
    else if (!to_ds && from_ds)
        SetMacs(packet, a3, a1);
    else
        SetMacs(packet, a4, a3);

    Span body = span.From(header);
    if (qos && (h[qos_at] & 0x80) != 0) {
        // An A-MSDU: subframes of destination, source, length and an LLC
        // payload. The first one is read.
        if (FrameResult r = body.Lacks(14); r != FrameResult::PACKET) return r;
        size_t length = Read16(body.data + 12);
        if (14 + length > body.wire) return FrameResult::MALFORMED;
        SetMacs(packet, body.data + 6, body.data);
        return Snap(body.Take(14 + length).From(14), layers);
    }
    return Snap(body, layers);
}

// Radiotap: little-endian length at offset 2. Its flags field (the second,
// after an 8-byte-aligned TSFT when present) says whether the frame ends in
// an FCS, is padded after its header, or failed its FCS check.
FrameResult Radiotap(const Span &span, Layers &layers)
{
    if (FrameResult r = span.Lacks(8); r != FrameResult::PACKET) return r;
    const uint8_t *h = span.data;
    size_t length = ReadLe16(h + 2);
    if (h[0] != 0 || length < 8 || length > span.wire) return FrameResult::MALFORMED;
    if (FrameResult r = span.Lacks(length); r != FrameResult::PACKET) return r;
    uint32_t present = ReadLe32(h + 4);
    size_t fields = 8;
    for (uint32_t word = present; (word & 0x80000000u) != 0; fields += 4) {
        if (fields / 4 - 1 == MAX_RADIOTAP_PRESENT_WORDS || fields + 4 > length)
            return FrameResult::MALFORMED;
        word = ReadLe32(h + fields);
    }
    uint8_t flags = 0;
    if ((present & 0x02) != 0) {
        size_t at = (present & 0x01) != 0 ? ((fields + 7) & ~size_t {7}) + 8 : fields;
        if (at >= length) return FrameResult::MALFORMED;
        flags = h[at];
    }
    if ((flags & RADIOTAP_BAD_FCS) != 0) return FrameResult::MALFORMED;
    Span frame = span.From(length);
    if ((flags & RADIOTAP_FCS) != 0) {
        if (frame.wire < 4) return FrameResult::MALFORMED;
        frame = frame.Take(frame.wire - 4);
    }
    return Ieee80211(frame, layers, (flags & RADIOTAP_PADDED) != 0);
}

} // namespace ostrel_capture
