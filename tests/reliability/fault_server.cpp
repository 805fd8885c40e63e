#include "tests/reliability/fault_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "tests/support/loopback.h"

namespace ostrel_test {

namespace {

const char *Reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 401:
        return "Unauthorized";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

std::string Head(const FaultReply &reply, bool with_length)
{
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
    if (!reply.content_type.empty()) head += "Content-Type: " + reply.content_type + "\r\n";
    if (with_length) head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    return head + "Connection: close\r\n\r\n";
}

size_t ContentLength(const std::string &head)
{
    std::string lower = head;
    std::transform(
        lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

} // namespace

FaultServer::FaultServer()
{
    handler = [](const FaultRequest &) { return FaultReply(); };
    if (pipe2(stop_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const ostrel_test::LoopbackListener loopback = ostrel_test::ListenOnLoopback(16, SOCK_CLOEXEC);
    if (loopback.fd < 0) throw std::runtime_error("cannot listen on 127.0.0.1");
    listener = loopback.fd;
    port = loopback.port;
    acceptor = std::thread([this] { Accept(); });
}

FaultServer::~FaultServer()
{
    char stop = 1;
    ssize_t wrote = write(stop_pipe[1], &stop, 1);
    (void)wrote;
    acceptor.join();
    std::vector<std::thread> running;
    {
        std::lock_guard<std::mutex> guard(lock);
        running.swap(workers);
    }
    for (std::thread &worker : running)
        worker.join();
    close(listener);
    close(stop_pipe[0]);
    close(stop_pipe[1]);
}

std::string FaultServer::Url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

void FaultServer::Script(const FaultReply &reply)
{
    SetHandler([reply](const FaultRequest &) { return reply; });
}

void FaultServer::SetHandler(Handler next)
{
    std::lock_guard<std::mutex> guard(lock);
    handler = std::move(next);
}

std::vector<FaultRequest> FaultServer::Requests() const
{
    std::lock_guard<std::mutex> guard(lock);
    return requests;
}

bool FaultServer::WaitForMoreThan(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock);
    return arrived.wait_for(guard, timeout, [&] { return requests.size() > count; });
}

void FaultServer::Accept()
{
    for (;;) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        std::lock_guard<std::mutex> guard(lock);
        workers.emplace_back([this, connection] { Serve(connection); });
    }
}

bool FaultServer::ReadRequest(int connection, FaultRequest &request)
{
    std::string data;
    size_t head_end = std::string::npos;
    size_t wanted = 0;
    char buffer[65536];
    while (head_end == std::string::npos || data.size() < wanted) {
        pollfd fds[2] = {{connection, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[1].revents != 0) return false;
        ssize_t got = recv(connection, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data.append(buffer, static_cast<size_t>(got));
        if (head_end == std::string::npos) {
            head_end = data.find("\r\n\r\n");
            if (head_end != std::string::npos)
                wanted = head_end + 4 + ContentLength(data.substr(0, head_end + 2));
        }
    }
    std::string line = data.substr(0, data.find("\r\n"));
    size_t space = line.find(' ');
    request.method = line.substr(0, space);
    request.path = line.substr(space + 1, line.find(' ', space + 1) - space - 1);
    request.body = data.substr(head_end + 4);
    return true;
}

bool FaultServer::Send(int connection, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t wrote = send(connection, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

bool FaultServer::StopOrClose(int connection, std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{connection, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
    int ready = poll(fds, 2, static_cast<int>(timeout.count()));
    if (ready <= 0) return false;
    if (fds[1].revents != 0) return true;
    // Readable: the end of the stream, or bytes nobody asked for (dropped).
    char buffer[4096];
    return recv(connection, buffer, sizeof(buffer), MSG_DONTWAIT) <= 0;
}

void FaultServer::Serve(int connection)
{
    FaultRequest request;
    if (!ReadRequest(connection, request)) {
        close(connection);
        return;
    }
    Handler current;
    {
        std::lock_guard<std::mutex> guard(lock);
        requests.push_back(request);
        current = handler;
    }
    arrived.notify_all();
    FaultReply reply = current(request);

    switch (reply.kind) {
    case FaultReply::ANSWER:
        Send(connection, Head(reply, true) + reply.body);
        break;
    case FaultReply::HANG:
        while (!StopOrClose(connection, std::chrono::milliseconds(-1))) { }
        break;
    case FaultReply::RESET: {
        // A zero linger time turns the close into a reset.
        linger option {1, 0};
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
        break;
    }
    case FaultReply::TRUNCATE:
        Send(connection, Head(reply, true) + reply.body.substr(0, reply.body.size() / 2));
        break;
    case FaultReply::OVERSIZE: {
        if (!Send(connection, Head(reply, false))) break;
        const std::string chunk(65536, ' ');
        for (size_t sent = 0; sent < reply.bytes; sent += chunk.size())
            if (!Send(connection, chunk)) break;
        break;
    }
    case FaultReply::DRIP: {
        const std::string answer = Head(reply, true) + reply.body;
        for (char byte : answer) {
            if (!Send(connection, std::string(1, byte)) || StopOrClose(connection, reply.drip_every)) break;
        }
        break;
    }
    }
    close(connection);
}

} // namespace ostrel_test
