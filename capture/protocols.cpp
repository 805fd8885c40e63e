#include "capture/protocols.h"

namespace ostrel_capture {

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
    case PROTO_QUIC:
        return "QUIC";
    }
    return "unknown";
}

} // namespace ostrel_capture
