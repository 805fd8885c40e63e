// Filled in by its owner.
#include "capture/tls_hello.h"
namespace ostrel_capture {
HelloStatus Ja4FromTlsStream(const uint8_t *, size_t, std::string &) { return HelloStatus::NOT_HELLO; }
HelloStatus Ja4FromHandshake(const uint8_t *, size_t, char, std::string &) { return HelloStatus::NOT_HELLO; }
} // namespace ostrel_capture
