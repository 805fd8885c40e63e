// Filled in by its owner.
#include "capture/ssdp.h"
namespace ostrel_capture {
bool ParseSsdp(const uint8_t *, size_t, SsdpMessage &) { return false; }
} // namespace ostrel_capture
