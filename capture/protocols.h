// The table of protocols: the ids the capture code gives flows, and which
// protocol's step reads a flow, by port or by its first bytes. A new protocol
// is its file (parser and step), a row here and its test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/step.h"

namespace ostrel_capture {

// Only DHCP's id has a meaning for processors; the numbering follows the
// common DPI table in which DHCP is 18.
enum Protocol : unsigned {
    PROTO_UNKNOWN = 0,
    PROTO_DNS = 5,
    PROTO_HTTP = 7,
    PROTO_MDNS = 8,
    PROTO_SSDP = 12,
    PROTO_DHCP = 18,
    PROTO_TLS = 91,
    PROTO_DHCPV6 = 103,
    PROTO_OPENVPN = 159,
    PROTO_QUIC = 188,
};

// "DHCP", "TLS", ...; "unknown" for ids not in the table.
const char *ProtocolName(unsigned id);

struct UdpRow {
    uint16_t port; // on either side; 0 for a row matched by `starts`
    bool (*starts)(const uint8_t *data, size_t size); // the first datagram's test
    unsigned protocol;
    UdpStep step; // null: the protocol is named, nothing is read
};

// The first row whose port is on either side, in table order; null for none.
const UdpRow *UdpRowByPort(uint16_t src_port, uint16_t dst_port);
// For a flow no port names: the row whose test the first datagram passes.
const UdpRow *UdpRowByStart(const uint8_t *data, size_t size);

// The row whose test a TCP direction's first bytes pass (`size` > 0): TLS
// for a handshake record, OpenVPN for a client's hard reset, else HTTP. Rows are numbered from 1 so that a
// direction keeps the one reading it in a byte (0: none picked yet).
uint8_t TcpRowByStart(const uint8_t *data, size_t size);
TcpStep TcpRowStep(uint8_t row);
// The row that alone may follow an upgrade (STARTTLS and the like): TLS.
extern const uint8_t TCP_UPGRADED_ROW;
// What reads a stream when its step says NOT_MINE: the preludes a client may
// send before its own protocol.
extern const TcpStep TCP_PRELUDE_STEP;

} // namespace ostrel_capture
