// Filled in by its owner.
#include "capture/mdns.h"
namespace ostrel_capture {
bool ParseMdnsPtrNames(const uint8_t *, size_t, std::vector<std::string> &) { return false; }
} // namespace ostrel_capture
