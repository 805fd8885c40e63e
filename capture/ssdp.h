// SSDP messages (UDP 1900): the header that names the sender's software.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include "capture/step.h"

namespace ostrel_capture {

struct SsdpMessage {
    enum Kind { NOTIFY, M_SEARCH, RESPONSE };
    Kind kind = NOTIFY;
    // SERVER of NOTIFY and responses, USER-AGENT of M-SEARCH; empty without.
    std::string user_agent;
};

// False when the payload is none of the three messages.
bool ParseSsdp(const uint8_t *data, size_t size, SsdpMessage &message);

// The step of the protocol table: the sender's agent text.
DatagramVerdict SsdpStep(const Datagram &in, Attributes &out);

} // namespace ostrel_capture
