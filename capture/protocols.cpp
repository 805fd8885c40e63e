#include "capture/protocols.h"

#include "capture/dhcp.h"
#include "capture/http.h"
#include "capture/mdns.h"
#include "capture/openvpn.h"
#include "capture/quic.h"
#include "capture/ssdp.h"
#include "capture/stream_upgrade.h"
#include "capture/tls_hello.h"

namespace ostrel_capture {

namespace {

// In order: the first row with a port on either side wins.
const UdpRow UDP_BY_PORT[] = {
    {67, nullptr, PROTO_DHCP, DhcpStep},
    {1900, nullptr, PROTO_SSDP, SsdpStep},
    {5353, nullptr, PROTO_MDNS, MdnsStep},
    {53, nullptr, PROTO_DNS, nullptr},
    {546, nullptr, PROTO_DHCPV6, nullptr},
    {547, nullptr, PROTO_DHCPV6, nullptr},
};

const UdpRow UDP_BY_START[] = {
    {0, LooksLikeQuicClientStart, PROTO_QUIC, QuicStep},
    {0, StartsOpenVpnDatagram, PROTO_OPENVPN, OpenVpnUdpStep},
};

struct TcpRow {
    bool (*starts)(const uint8_t *data, size_t size);
    TcpStep step;
};

bool AnyBytes(const uint8_t *, size_t)
{
    return true;
}

// In order: the first row whose test the stream's first bytes pass; the
// last passes any.
const TcpRow TCP_BY_START[] = {
    {StartsTlsRecord, TlsStep}, // TCP_UPGRADED_ROW
    {StartsOpenVpnStream, OpenVpnTcpStep},
    {AnyBytes, HttpStep}, // HTTP, or a prelude (HttpStep says NOT_MINE)
};

} // namespace

const uint8_t TCP_UPGRADED_ROW = 1;
const TcpStep TCP_PRELUDE_STEP = PreludeStep;

const char *ProtocolName(unsigned id)
{
    switch (id) {
    case PROTO_UNKNOWN:
        return "unknown";
    case PROTO_DNS:
        return "DNS";
    case PROTO_HTTP:
        return "HTTP";
    case PROTO_MDNS:
        return "MDNS";
    case PROTO_SSDP:
        return "SSDP";
    case PROTO_DHCP:
        return "DHCP";
    case PROTO_TLS:
        return "TLS";
    case PROTO_DHCPV6:
        return "DHCPV6";
    case PROTO_OPENVPN:
        return "OpenVPN";
    case PROTO_QUIC:
        return "QUIC";
    }
    return "unknown";
}

const UdpRow *UdpRowByPort(uint16_t src_port, uint16_t dst_port)
{
    for (const UdpRow &row : UDP_BY_PORT)
        if (row.port == src_port || row.port == dst_port) return &row;
    return nullptr;
}

const UdpRow *UdpRowByStart(const uint8_t *data, size_t size)
{
    for (const UdpRow &row : UDP_BY_START)
        if (row.starts(data, size)) return &row;
    return nullptr;
}

uint8_t TcpRowByStart(const uint8_t *data, size_t size)
{
    uint8_t row = 0;
    while (!TCP_BY_START[row].starts(data, size))
        ++row;
    return row + 1;
}

TcpStep TcpRowStep(uint8_t row)
{
    return TCP_BY_START[row - 1].step;
}

} // namespace ostrel_capture
