// mDNS messages (UDP 5353): the service names a device asks for or offers, and
// the instance and host names it announces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include "capture/step.h"

namespace ostrel_capture {

// Appends to `names`, in message order, each once: the service types of PTR
// questions and of PTR records in the answer section (what a device asks for
// or offers), and the instance and host names the sender announces about
// itself (PTR and SRV targets, and the owners of its other records, in a
// response or in a probe's proposed records), with or without a PTR record.
// Reverse-mapping names (".in-addr.arpa", ".ip6.arpa") are left out; labels
// are joined by "." without a final dot. False when the payload is not a DNS
// message; names read before a fault are kept.
bool ParseMdnsNames(const uint8_t *data, size_t size, std::vector<std::string> &names);

// The step of the protocol table: each name, in message order.
DatagramVerdict MdnsStep(const Datagram &in, Attributes &out);

} // namespace ostrel_capture
