// OpenVPN's control channel up to the client's ClientHello: the client's
// hard reset names the session and the packets' layout, its P_CONTROL_V1
// payloads are joined in packet-id order and read as the TLS stream they
// carry. Over UDP each datagram is one packet; over TCP each packet has a
// 2-byte length before it. With tls-crypt the control channel is encrypted:
// such a session is not recognised and gives nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture/step.h"
#include "capture/tls_hello.h"

namespace ostrel_capture {

// The client's half of one session's control channel.
class OpenVpnControl
{
public:
    // The client's first packet: a P_CONTROL_HARD_RESET_CLIENT_V2 whose fields
    // parse, without or with a tls-auth HMAC (SHA-1, SHA-256 or SHA-512).
    // False: not the start of a session this reads.
    bool Start(const uint8_t *packet, size_t size);
    // A later packet from the client; what is not part of the session's
    // control channel is passed over.
    void Packet(const uint8_t *packet, size_t size);
    // The joined bytes read as a TLS stream. FOUND sets `ja4`; NOT_HELLO:
    // the session gives none (not TLS, over the bound, its data channel began).
    HelloStatus Hello(std::string &ja4);
    // Heap bytes held, roughly.
    size_t Memory() const;

private:
    void Append(const std::vector<uint8_t> &bytes);
    void Append(const uint8_t *data, size_t size);
    void Look(); // reads the joined bytes again once they grew
    void End(HelloStatus status);

    size_t hmac = 0; // tls-auth HMAC bytes after the session id; 0 without
    uint8_t session[8] = {};
    uint32_t next_id = 1; // the message packet id the joined bytes wait for
    std::vector<uint8_t> joined; // payloads in packet-id order, from id 1
    std::map<uint32_t, std::vector<uint8_t>> ahead; // payloads past a gap, by id
    size_t ahead_bytes = 0;
    size_t packets = 0; // client packets read since the hard reset
    bool grew = false; // joined grew since the last look at the hello
    HelloStatus state = HelloStatus::NEED_MORE;
    std::string found; // the JA4, once FOUND
};

// The tests of the protocol table: a UDP flow's first datagram, a TCP
// stream's first bytes (one length-prefixed packet) start a session.
bool StartsOpenVpnDatagram(const uint8_t *data, size_t size);
bool StartsOpenVpnStream(const uint8_t *data, size_t size);

// The steps of the protocol table: the client's packets up to the JA4 of its
// ClientHello; DONE once it is found or cannot be.
DatagramVerdict OpenVpnUdpStep(const Datagram &in, Attributes &out);
StreamVerdict OpenVpnTcpStep(const StreamBytes &in, Attributes &out);

} // namespace ostrel_capture
