// mDNS messages (UDP 5353): the service names a device asks for or announces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel_capture {

// Appends to `names` the names of PTR questions and of PTR records in the
// answer section, in message order, each once, reverse-mapping names
// (".in-addr.arpa", ".ip6.arpa") left out; labels joined by "." without a
// final dot. False when the payload is not a DNS message; names read before
// a fault are kept.
bool ParseMdnsPtrNames(const uint8_t *data, size_t size, std::vector<std::string> &names);

} // namespace ostrel_capture
