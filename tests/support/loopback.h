// A TCP socket listening on 127.0.0.1 at a port the system picks, for the
// servers of the tests.
#pragma once

#include <cstdint>

namespace ostrel_test {

struct LoopbackListener {
    int fd = -1; // -1 when no socket could listen
    uint16_t port = 0;
};

// `flags` are added to the socket's type (SOCK_NONBLOCK, for one).
LoopbackListener ListenOnLoopback(int backlog, int flags = 0);

} // namespace ostrel_test
