// Filled in by its owner.
#include "capture/dhcp.h"
namespace ostrel_capture {
bool ParseDhcpClient(const uint8_t *, size_t, DhcpClientMessage &) { return false; }
} // namespace ostrel_capture
