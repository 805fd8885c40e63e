// Host flow record: what the host's inspection learnt about one flow. The
// host writes it under `lock`; readers hold `lock` while they read.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "host/oz_addr.h"
#include "host/oz_export.h"

class OZ_HOST_API ozFlow
{
public:
    enum Origin : uint8_t { ORIGIN_UNKNOWN = 0, ORIGIN_LOWER = 1, ORIGIN_UPPER = 2 };

    // Where `user_agent` was seen; both bits may be set.
    enum UserAgentSource : uint8_t { UA_NONE = 0, UA_HTTP = 0x1, UA_SSDP = 0x2 };

    enum PrintFlags : unsigned {
        PRINT_ADDRESS = 0x01,
        PRINT_PROTOCOL = 0x02,
        PRINT_DHCP = 0x04,
        PRINT_HTTP = 0x08,
        PRINT_TLS = 0x10,
        PRINT_MDNS = 0x20,
        PRINT_ALL = 0x3f,
    };

    static constexpr unsigned PROTO_DHCP = 18;

    bool HasDhcpFingerprint() const { return !dhcp.fingerprint.empty(); }
    bool HasDhcpClassIdent() const { return !dhcp.class_ident.empty(); }
    bool HasMDNSDomainName() const { return !mdns.domain_name.empty(); }
    bool HasSSDPUserAgent() const { return (user_agent_source & UA_SSDP) && !user_agent.empty(); }
    bool HasHttpUserAgent() const { return (user_agent_source & UA_HTTP) && !user_agent.empty(); }
    bool HasTLSClientJA4() const { return !tls.client_ja4.empty(); }

    // Writes the flow to the debug log, one line per selected group.
    void Print(unsigned flags, const std::string &tag) const;

    mutable std::recursive_mutex lock;

    uint8_t origin = ORIGIN_UNKNOWN;
    ozAddr lower_mac;
    ozAddr upper_mac;
    ozAddr lower_addr;
    ozAddr upper_addr;

    unsigned detected_protocol = 0;
    std::string host_name;

    struct {
        std::string class_ident;
        std::string fingerprint;
    } dhcp;

    std::string user_agent;
    uint8_t user_agent_source = UA_NONE;

    struct {
        std::string client_ja4;
    } tls;

    struct {
        std::string domain_name;
    } mdns;

    // Set by the host for flows that processors must not see.
    bool excluded = false;
};
