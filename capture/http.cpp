// Filled in by its owner.
#include "capture/http.h"
namespace ostrel_capture {
HeadStatus ParseHttpRequestHead(const uint8_t *, size_t, HttpRequestHead &) { return HeadStatus::NOT_HTTP; }
} // namespace ostrel_capture
