// Builds frames for the capture tests: Ethernet (with VLAN tags), Linux
// cooked headers, IPv4, IPv6 and the two transports, with correct lengths
// unless a test overrides them.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "capture/flow_record.h"
#include "capture/tracker.h"

namespace ostrel_capture_test {

using Bytes = std::vector<uint8_t>;
using ostrel_capture::MacAddress;

inline void Put16(Bytes &b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

inline void Put32(Bytes &b, uint32_t v)
{
    Put16(b, static_cast<uint16_t>(v >> 16));
    Put16(b, static_cast<uint16_t>(v));
}

inline Bytes Text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

inline Bytes Cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline MacAddress Mac(uint8_t last)
{
    return MacAddress {0x02, 0, 0, 0, 0, last};
}

inline ostrel_capture::IpAddress Ip(const std::string &text)
{
    ostrel_capture::IpAddress ip;
    if (text.find(':') != std::string::npos) {
        ip.family = 6;
        inet_pton(AF_INET6, text.c_str(), ip.bytes.data());
    } else {
        ip.family = 4;
        inet_pton(AF_INET, text.c_str(), ip.bytes.data());
    }
    return ip;
}

inline Bytes Udp(uint16_t sport, uint16_t dport, const Bytes &payload)
{
    Bytes b;
    Put16(b, sport);
    Put16(b, dport);
    Put16(b, static_cast<uint16_t>(8 + payload.size()));
    Put16(b, 0);
    return Cat(b, payload);
}

inline Bytes Tcp(uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack, uint8_t flags,
    const Bytes &payload, size_t option_bytes = 0)
{
    Bytes b;
    Put16(b, sport);
    Put16(b, dport);
    Put32(b, seq);
    Put32(b, ack);
    b.push_back(static_cast<uint8_t>(((20 + option_bytes) / 4) << 4));
    b.push_back(flags);
    Put16(b, 65535);
    Put16(b, 0);
    Put16(b, 0);
    b.insert(b.end(), option_bytes, 1); // NOPs
    return Cat(b, payload);
}

// `fragment` is the flags-and-offset field.
inline Bytes Ipv4(const std::string &src, const std::string &dst, uint8_t protocol, const Bytes &payload,
    uint16_t fragment = 0)
{
    Bytes b;
    b.push_back(0x45);
    b.push_back(0);
    Put16(b, static_cast<uint16_t>(20 + payload.size()));
    Put16(b, 1);
    Put16(b, fragment);
    b.push_back(64);
    b.push_back(protocol);
    Put16(b, 0);
    auto s = Ip(src), d = Ip(dst);
    b.insert(b.end(), s.bytes.begin(), s.bytes.begin() + 4);
    b.insert(b.end(), d.bytes.begin(), d.bytes.begin() + 4);
    return Cat(b, payload);
}

// `rest` is the extension headers (if any) and the transport; `next` the
// first next-header value.
inline Bytes Ipv6(const std::string &src, const std::string &dst, uint8_t next, const Bytes &rest)
{
    Bytes b {0x60, 0, 0, 0};
    Put16(b, static_cast<uint16_t>(rest.size()));
    b.push_back(next);
    b.push_back(64);
    auto s = Ip(src), d = Ip(dst);
    b.insert(b.end(), s.bytes.begin(), s.bytes.end());
    b.insert(b.end(), d.bytes.begin(), d.bytes.end());
    return Cat(b, rest);
}

// VLAN tags outermost first, each {tpid, tci}.
inline Bytes Ethernet(const MacAddress &src, const MacAddress &dst, uint16_t type, const Bytes &payload,
    const std::vector<std::pair<uint16_t, uint16_t>> &tags = {})
{
    Bytes b(dst.begin(), dst.end());
    b.insert(b.end(), src.begin(), src.end());
    for (const auto &tag : tags) {
        Put16(b, tag.first);
        Put16(b, tag.second);
    }
    Put16(b, type);
    return Cat(b, payload);
}

inline Bytes Sll(const MacAddress &src, uint16_t address_length, uint16_t type, const Bytes &payload)
{
    Bytes b;
    Put16(b, 0); // to us
    Put16(b, 1); // ARPHRD_ETHER
    Put16(b, address_length);
    b.insert(b.end(), src.begin(), src.end());
    Put16(b, 0);
    Put16(b, type);
    return Cat(b, payload);
}

inline Bytes Sll2(const MacAddress &src, uint8_t address_length, uint16_t type, const Bytes &payload)
{
    Bytes b;
    Put16(b, type);
    Put16(b, 0);
    Put32(b, 2); // interface index
    Put16(b, 1);
    b.push_back(0);
    b.push_back(address_length);
    b.insert(b.end(), src.begin(), src.end());
    Put16(b, 0);
    return Cat(b, payload);
}

// A host on the test LAN: MAC, IP and port.
struct Host {
    MacAddress mac;
    std::string ip;
    uint16_t port;
};

inline Bytes UdpFrame(const Host &from, const Host &to, const Bytes &payload)
{
    bool v6 = from.ip.find(':') != std::string::npos;
    Bytes udp = Udp(from.port, to.port, payload);
    return v6 ? Ethernet(from.mac, to.mac, 0x86dd, Ipv6(from.ip, to.ip, 17, udp))
              : Ethernet(from.mac, to.mac, 0x0800, Ipv4(from.ip, to.ip, 17, udp));
}

inline Bytes TcpFrame(const Host &from, const Host &to, uint8_t flags, uint32_t seq,
    const Bytes &payload = {}, uint32_t ack = 0)
{
    bool v6 = from.ip.find(':') != std::string::npos;
    Bytes tcp = Tcp(from.port, to.port, seq, ack, flags, payload);
    return v6 ? Ethernet(from.mac, to.mac, 0x86dd, Ipv6(from.ip, to.ip, 6, tcp))
              : Ethernet(from.mac, to.mac, 0x0800, Ipv4(from.ip, to.ip, 6, tcp));
}

} // namespace ostrel_capture_test
