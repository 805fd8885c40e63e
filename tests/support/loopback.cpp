#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ostrel_test {

LoopbackListener ListenOnLoopback(int backlog, int flags)
{
    LoopbackListener listener;
    int fd = socket(AF_INET, SOCK_STREAM | flags, 0);
    if (fd < 0) return listener;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), length) != 0 || listen(fd, backlog) != 0
        || getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length) != 0) {
        close(fd);
        return listener;
    }
    listener.fd = fd;
    listener.port = ntohs(addr.sin_port);
    return listener;
}

} // namespace ostrel_test
