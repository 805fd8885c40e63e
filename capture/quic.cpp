// Filled in by its owner.
#include "capture/quic.h"
namespace ostrel_capture {
bool LooksLikeQuicInitial(const uint8_t *, size_t) { return false; }
HelloStatus QuicClientHello::Datagram(const uint8_t *, size_t, std::string &) { return HelloStatus::NOT_HELLO; }
} // namespace ostrel_capture
