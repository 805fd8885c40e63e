// Test helper: the TCP and UDP payloads of an Ethernet capture file, read with
// libpcap and taken apart simply (802.1Q, IPv4, IPv6 without extension
// headers), so parser tests can run on real traffic without the tracker.
#pragma once

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel_capture_test {

struct CapturedPayload {
    int frame = 0; // 1-based, as tshark numbers them
    bool tcp = false;
    std::string flow; // source and destination address and port: one direction
    uint16_t dst_port = 0;
    uint32_t seq = 0; // TCP only
    std::vector<uint8_t> payload;
};

inline std::string AddressText(const uint8_t *address, size_t size, unsigned port)
{
    static const char HEX[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += HEX[address[i] >> 4];
        text += HEX[address[i] & 0x0f];
    }
    return text + "." + std::to_string(port);
}

inline bool TakePayload(const uint8_t *frame, size_t size, CapturedPayload &out)
{
    size_t pos = 12;
    if (size < pos + 2) return false;
    unsigned ether_type = frame[pos] << 8 | frame[pos + 1];
    pos += 2;
    while (ether_type == 0x8100 || ether_type == 0x88a8) {
        if (size < pos + 4) return false;
        ether_type = frame[pos + 2] << 8 | frame[pos + 3];
        pos += 4;
    }
    unsigned protocol = 0;
    const uint8_t *src = nullptr, *dst = nullptr;
    size_t address_size = 0, ip_end = size;
    if (ether_type == 0x0800) {
        if (size < pos + 20) return false;
        size_t header = (frame[pos] & 0x0f) * 4u;
        ip_end = std::min(size, pos + (frame[pos + 2] << 8 | frame[pos + 3]));
        protocol = frame[pos + 9];
        src = frame + pos + 12;
        dst = frame + pos + 16;
        address_size = 4;
        pos += header;
    } else if (ether_type == 0x86dd) {
        if (size < pos + 40) return false;
        ip_end = std::min(size, pos + 40 + (frame[pos + 4] << 8 | frame[pos + 5]));
        protocol = frame[pos + 6];
        src = frame + pos + 8;
        dst = frame + pos + 24;
        address_size = 16;
        pos += 40;
    } else {
        return false;
    }
    if (ip_end < pos + 8) return false;
    unsigned src_port = frame[pos] << 8 | frame[pos + 1];
    out.dst_port = static_cast<uint16_t>(frame[pos + 2] << 8 | frame[pos + 3]);
    if (protocol == 6) {
        if (ip_end < pos + 20) return false;
        out.tcp = true;
        out.seq = uint32_t {frame[pos + 4]} << 24 | uint32_t {frame[pos + 5]} << 16
            | uint32_t {frame[pos + 6]} << 8 | frame[pos + 7];
        pos += (frame[pos + 12] >> 4) * 4u;
    } else if (protocol == 17) {
        pos += 8;
    } else {
        return false;
    }
    if (pos > ip_end) return false;
    out.flow = AddressText(src, address_size, src_port) + ">" + AddressText(dst, address_size, out.dst_port);
    out.payload.assign(frame + pos, frame + ip_end);
    return true;
}

// Every frame's payload that is not empty, in capture order.
inline std::vector<CapturedPayload> ReadPayloads(const std::string &path)
{
    std::vector<CapturedPayload> payloads;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t *pcap = pcap_open_offline(path.c_str(), error);
    if (pcap == nullptr) return payloads;
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int frame = 0;
    while (pcap_next_ex(pcap, &header, &data) == 1) {
        ++frame;
        CapturedPayload payload;
        payload.frame = frame;
        if (TakePayload(data, header->caplen, payload) && !payload.payload.empty())
            payloads.push_back(std::move(payload));
    }
    pcap_close(pcap);
    return payloads;
}

} // namespace ostrel_capture_test
