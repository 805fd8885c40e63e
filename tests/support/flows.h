// Flows as the host builds them, and MAC texts made from numbers, for tests,
// fuzz targets and benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/ozhost.h"

namespace ostrel_test {

// A flow as the host would build it. `origin` 1: `mac`/`ip` is the first
// endpoint; the other endpoint is `other_mac`/`other_ip`.
struct FlowFields {
    std::string mac = "00:11:22:33:44:55";
    std::string ip = "192.168.1.10";
    std::string other_mac = "66:77:88:99:aa:bb";
    std::string other_ip = "192.168.1.1";
    uint8_t origin = ozFlow::ORIGIN_LOWER;
    unsigned protocol = 0;
    std::string dhcp_class_ident;
    std::string dhcp_fingerprint;
    std::string host_name;
    std::string user_agent;
    uint8_t user_agent_source = ozFlow::UA_NONE;
    std::string ja4;
    std::string mdns;
    bool excluded = false;
};

std::shared_ptr<ozFlow> MakeFlow(const FlowFields &fields);

// The low 48 bits of `value` as a MAC text, "02:00:00:00:01:2c" for
// 0x02000000012c: numbered devices that sort and read back in order.
std::string MacText(uint64_t value);

} // namespace ostrel_test
