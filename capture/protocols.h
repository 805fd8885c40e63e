// The one table of protocol ids the capture code gives flows. Only DHCP's id
// has a meaning for processors; the numbering follows the common DPI table
// in which DHCP is 18.
#pragma once

namespace ostrel_capture {

enum Protocol : unsigned {
    PROTO_UNKNOWN = 0,
    PROTO_DNS = 5,
    PROTO_HTTP = 7,
    PROTO_MDNS = 8,
    PROTO_SSDP = 12,
    PROTO_DHCP = 18,
    PROTO_TLS = 91,
    PROTO_DHCPV6 = 103,
    PROTO_QUIC = 188,
};

// "DHCP", "TLS", ...; "unknown" for ids not in the table.
const char *ProtocolName(unsigned id);

} // namespace ostrel_capture
