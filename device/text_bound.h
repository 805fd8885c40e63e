// The length bound of texts that reach a device from outside (flows, cloud
// answers): one host sending megabyte-long names must not grow every device,
// payload and cache save with them.
#pragma once

#include <cstddef>
#include <string>

// Longest text kept, in bytes. A DHCP fingerprint of all 255 options is
// about 1 KB; real user agents rarely come near it.
constexpr size_t OZP_MAX_TEXT_BYTES = 1024;

// `text` cut to at most `max_bytes` bytes, never inside a UTF-8 sequence: a
// split sequence would turn into a replacement character when saved and so
// differ from the value in memory.
std::string ozpBoundText(const std::string &text, size_t max_bytes = OZP_MAX_TEXT_BYTES);
