#include "tests/support/flows.h"

#include <cstdio>

namespace ostrel_test {

std::shared_ptr<ozFlow> MakeFlow(const FlowFields &fields)
{
    auto flow = std::make_shared<ozFlow>();
    ozAddr mac(fields.mac), ip(fields.ip), other_mac(fields.other_mac), other_ip(fields.other_ip);
    flow->origin = fields.origin;
    if (fields.origin == ozFlow::ORIGIN_UPPER) {
        flow->upper_mac = mac;
        flow->upper_addr = ip;
        flow->lower_mac = other_mac;
        flow->lower_addr = other_ip;
    } else {
        flow->lower_mac = mac;
        flow->lower_addr = ip;
        flow->upper_mac = other_mac;
        flow->upper_addr = other_ip;
    }
    flow->detected_protocol = fields.protocol;
    flow->dhcp.class_ident = fields.dhcp_class_ident;
    flow->dhcp.fingerprint = fields.dhcp_fingerprint;
    flow->host_name = fields.host_name;
    flow->user_agent = fields.user_agent;
    flow->user_agent_source = fields.user_agent_source;
    flow->tls.client_ja4 = fields.ja4;
    flow->mdns.domain_name = fields.mdns;
    flow->excluded = fields.excluded;
    return flow;
}

std::string MacText(uint64_t value)
{
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x",
        static_cast<unsigned>(value >> 40) & 0xff, static_cast<unsigned>(value >> 32) & 0xff,
        static_cast<unsigned>(value >> 24) & 0xff, static_cast<unsigned>(value >> 16) & 0xff,
        static_cast<unsigned>(value >> 8) & 0xff, static_cast<unsigned>(value) & 0xff);
    return text;
}

} // namespace ostrel_test
