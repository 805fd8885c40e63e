// Test helpers for the payload parsers: hex to bytes, and the UDP payloads of
// a shared capture read with libpcap and a minimal frame walk of the test's
// own (Ethernet, 802.1Q, IPv4, IPv6 without extension headers), so that the
// parsers are checked against real traffic apart from the tracker.
#pragma once

#include <nlohmann/json.hpp>
#include <pcap/pcap.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace ostrel_capture_test {

inline std::vector<uint8_t> FromHex(const std::string &hex)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue; // spaces and line breaks for readability
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return bytes;
}

inline std::string CaptureFile(const std::string &name)
{
    return std::string(OSTREL_TESTDATA_DIR) + "/captures/" + name;
}

struct UdpPayload {
    std::string eth_source; // "aa:bb:cc:dd:ee:ff"
    uint16_t source_port = 0;
    uint16_t destination_port = 0;
    std::vector<uint8_t> bytes;
};

inline std::string MacString(const uint8_t *mac)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) text.push_back(':');
        text.push_back(digits[mac[i] >> 4]);
        text.push_back(digits[mac[i] & 15]);
    }
    return text;
}

// Payloads of unfragmented UDP datagrams with `port` on either side.
inline std::vector<UdpPayload> ReadUdpPayloads(const std::string &file, uint16_t port)
{
    std::vector<UdpPayload> out;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t *pcap = pcap_open_offline(file.c_str(), error);
    if (pcap == nullptr) return out;
    pcap_pkthdr *header;
    const u_char *data;
    while (pcap_next_ex(pcap, &header, &data) == 1) {
        const size_t size = header->caplen;
        if (size < 14) continue;
        size_t pos = 12;
        uint16_t ether_type = static_cast<uint16_t>(data[pos] << 8 | data[pos + 1]);
        pos += 2;
        while ((ether_type == 0x8100 || ether_type == 0x88a8) && size >= pos + 4) {
            ether_type = static_cast<uint16_t>(data[pos + 2] << 8 | data[pos + 3]);
            pos += 4;
        }
        size_t udp = 0;
        if (ether_type == 0x0800 && size >= pos + 20 && data[pos + 9] == 17 && (data[pos + 6] & 0x3f) == 0
            && data[pos + 7] == 0) {
            udp = pos + static_cast<size_t>(data[pos] & 15) * 4;
        } else if (ether_type == 0x86dd && size >= pos + 40 && data[pos + 6] == 17) {
            udp = pos + 40;
        } else {
            continue;
        }
        if (size < udp + 8) continue;
        const uint16_t sport = static_cast<uint16_t>(data[udp] << 8 | data[udp + 1]);
        const uint16_t dport = static_cast<uint16_t>(data[udp + 2] << 8 | data[udp + 3]);
        const size_t length = static_cast<size_t>(data[udp + 4] << 8 | data[udp + 5]);
        if (sport != port && dport != port) continue;
        if (length < 8 || size < udp + length) continue;
        UdpPayload payload;
        payload.eth_source = MacString(data + 6);
        payload.source_port = sport;
        payload.destination_port = dport;
        payload.bytes.assign(data + udp + 8, data + udp + length);
        out.push_back(std::move(payload));
    }
    pcap_close(pcap);
    return out;
}

// The expected answers: one object per capture file, with "file" and "devices".
inline nlohmann::json LoadAnswers()
{
    std::ifstream in(std::string(OSTREL_TESTDATA_DIR) + "/captures/ANSWERS.json");
    return nlohmann::json::parse(in, nullptr, false);
}

// The answers read DHCP texts as Latin-1: back to the packet's bytes.
inline std::string Latin1FromUtf8(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xe0) == 0xc0 && i + 1 < text.size()) {
            out.push_back(static_cast<char>((c & 0x1f) << 6 | (text[i + 1] & 0x3f)));
            ++i;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

// Control characters removed, as the parsers give texts.
inline std::string Printable(const std::string &text)
{
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) out.push_back(c);
    }
    return out;
}

} // namespace ostrel_capture_test
