// One captured frame to one packet view: link layer, tunnels, IP, UDP or
// TCP, parsed in place. The view points into the frame; nothing is copied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/flow_record.h"

namespace ostrel_capture {

enum class FrameResult {
    PACKET, // a UDP or TCP packet: `packet` is filled
    NOT_IP, // ARP, LLDP, 802.3 frames, unknown link payloads, 802.11 frames without readable data
    OTHER_TRANSPORT, // IP but neither TCP nor UDP (ICMP, ESP, no next header)
    FRAGMENT, // an IP fragment: not reassembled
    TRUNCATED, // a header cut by the snap length
    MALFORMED, // headers that do not hold together
};

enum TcpFlags : uint8_t {
    TCP_FIN = 0x01,
    TCP_SYN = 0x02,
    TCP_RST = 0x04,
    TCP_PSH = 0x08,
    TCP_ACK = 0x10,
};

struct PacketView {
    MacAddress src_mac {};
    MacAddress dst_mac {};
    bool has_src_mac = false;
    bool has_dst_mac = false;
    uint16_t vlan = 0; // innermost non-zero VLAN id
    IpAddress src_ip;
    IpAddress dst_ip;
    uint8_t ip_protocol = 0; // 6 or 17 when PACKET
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    uint8_t tcp_flags = 0;
    uint32_t tcp_seq = 0;
    uint32_t tcp_ack = 0;
    // The transport payload as far as it was captured; `payload_wire_size`
    // is its length on the wire (larger when the snap length cut it).
    const uint8_t *payload = nullptr;
    size_t payload_size = 0;
    size_t payload_wire_size = 0;
};

// `link_type` is a DLT number (LINK_ETHERNET, LINK_LINUX_SLL, LINK_LINUX_SLL2,
// LINK_IEEE802_11, LINK_IEEE802_11_RADIOTAP). Tunnels are opened: the packet
// is the innermost one, with the MACs of the innermost link header (none
// when a tunnel carries bare IP).
FrameResult ParseFrame(int link_type, const uint8_t *data, size_t caplen, size_t wirelen, PacketView &packet);

} // namespace ostrel_capture
