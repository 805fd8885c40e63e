#include "host/oz_flow.h"
#include "host/oz_log.h"

void ozFlow::Print(unsigned flags, const std::string &tag) const
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    const char *t = tag.c_str();
    if (flags & PRINT_ADDRESS) {
        oz_dprintf("%s: flow: origin %u: %s [%s] <-> %s [%s]\n", t, origin, lower_mac.GetString().c_str(),
            lower_addr.GetString().c_str(), upper_mac.GetString().c_str(), upper_addr.GetString().c_str());
    }
    if (flags & PRINT_PROTOCOL) oz_dprintf("%s: flow: detected protocol: %u\n", t, detected_protocol);
    if (flags & PRINT_DHCP) {
        oz_dprintf("%s: flow: dhcp: class ident: %s, fingerprint: %s, host name: %s\n", t,
            dhcp.class_ident.c_str(), dhcp.fingerprint.c_str(), host_name.c_str());
    }
    if (flags & PRINT_HTTP) {
        oz_dprintf("%s: flow: user agent%s%s: %s\n", t, (user_agent_source & UA_HTTP) ? " http" : "",
            (user_agent_source & UA_SSDP) ? " ssdp" : "", user_agent.c_str());
    }
    if (flags & PRINT_TLS) oz_dprintf("%s: flow: tls client ja4: %s\n", t, tls.client_ja4.c_str());
    if (flags & PRINT_MDNS) oz_dprintf("%s: flow: mdns domain name: %s\n", t, mdns.domain_name.c_str());
}
