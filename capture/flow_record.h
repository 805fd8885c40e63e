// What the packet path learns about one flow, in the shape the host's flow
// record has, but free of host types so that the capture code stands alone.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ostrel_capture {

using MacAddress = std::array<uint8_t, 6>;

struct IpAddress {
    uint8_t family = 0; // 0: none, 4 or 6
    // IPv4 in the first four bytes, the rest zero.
    std::array<uint8_t, 16> bytes {};

    // 0.0.0.0 and ::
    bool IsUnspecified() const;
    std::string Text() const;
    bool operator==(const IpAddress &other) const { return family == other.family && bytes == other.bytes; }
    bool operator!=(const IpAddress &other) const { return !(*this == other); }
    bool operator<(const IpAddress &other) const
    {
        return family != other.family ? family < other.family : bytes < other.bytes;
    }
};

std::string MacText(const MacAddress &mac);

struct Endpoint {
    MacAddress mac {};
    bool has_mac = false; // false on links without a source address for this side
    IpAddress ip;
    uint16_t port = 0;
};

// Same values as the host's flow record.
enum Origin : uint8_t { ORIGIN_UNKNOWN = 0, ORIGIN_LOWER = 1, ORIGIN_UPPER = 2 };
enum UserAgentSource : uint8_t { UA_NONE = 0, UA_HTTP = 0x1, UA_SSDP = 0x2 };

struct FlowRecord {
    uint8_t ip_protocol = 0; // 6 TCP, 17 UDP
    uint16_t vlan = 0; // innermost VLAN id, 0 without a tag
    // Ordered by address, then port; `origin` names the one that sent the
    // first packet seen.
    Endpoint lower;
    Endpoint upper;
    uint8_t origin = ORIGIN_UNKNOWN;

    unsigned detected_protocol = 0; // see protocols.h
    std::string host_name; // DHCP option 12
    std::string dhcp_class_ident; // DHCP option 60
    std::string dhcp_fingerprint; // DHCP option 55, "1,3,6"
    std::string user_agent;
    uint8_t user_agent_source = UA_NONE;
    std::string tls_client_ja4;
    std::string mdns_domain_name;
};

// Numbered as the host's processor events.
enum EventType : uint8_t { EVENT_FLOW_NEW = 2, EVENT_FLOW_DPI_UPDATE = 6, EVENT_FLOW_DPI_COMPLETE = 8 };

// One event with its own copy of the record as it stood then.
struct FlowEvent {
    EventType type = EVENT_FLOW_NEW;
    int64_t time_usec = 0; // capture time of the packet (or expiry) that caused it
    FlowRecord flow;
};

} // namespace ostrel_capture
