// DHCP client messages (BOOTP op 1 with the DHCP cookie) to the texts the
// host's flow record carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/flow_record.h"
#include "capture/step.h"

namespace ostrel_capture {

struct DhcpClientMessage {
    uint8_t message_type = 0; // option 53; 0 when absent
    MacAddress chaddr {}; // first six bytes of chaddr
    // Empty when the option is absent or holds nothing once cleaned.
    std::string fingerprint; // option 55: decimal codes joined by ",", in packet order, repeats kept
    std::string class_ident; // option 60
    std::string host_name; // option 12
};

// False when the payload is not a client's DHCP message. Options in the
// `file` and `sname` areas (option 52) are read too. Texts lose their
// control characters (trailing NULs included); other bytes pass unchanged.
bool ParseDhcpClient(const uint8_t *data, size_t size, DhcpClientMessage &message);

// A client's message forwarded by a relay agent (giaddr set, an Ethernet
// chaddr) arrives from the relay: its client is `client`, at `client_ip`
// (ciaddr, 0.0.0.0 while it has none).
bool ParseDhcpRelayed(const uint8_t *data, size_t size, MacAddress &client, IpAddress &client_ip);

// The step of the protocol table: a client's message to port 67 gives its
// texts, all three in one update.
DatagramVerdict DhcpStep(const Datagram &in, Attributes &out);

} // namespace ostrel_capture
