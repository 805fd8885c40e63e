// HTTP/1.x request heads in a client's TCP stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include "capture/step.h"

namespace ostrel_capture {

struct HttpRequestHead {
    size_t head_size = 0; // request line and headers, with the empty line
    bool body_known = false; // Content-Length given (0 without a body header)
    uint64_t body_size = 0;
    std::string user_agent; // empty without the header
    bool request_line = false; // a whole HTTP/1.x request line was read
};

enum class HeadStatus { NEED_MORE, COMPLETE, NOT_HTTP };

// `data` starts at the first byte of a request. NEED_MORE: it still looks like
// a request but its head has not ended (the caller bounds how long it waits);
// once the request line is whole, `head` then holds what the header lines
// read so far gave, with `head_size` 0.
HeadStatus ParseHttpRequestHead(const uint8_t *data, size_t size, HttpRequestHead &head);

// The step of the protocol table: the User-Agent of each request head of a
// keep-alive stream, bodies of known length skipped; after a CONNECT head,
// whatever the client tunnels. NOT_MINE when the stream is no HTTP request.
StreamVerdict HttpStep(const StreamBytes &in, Attributes &out);

} // namespace ostrel_capture
