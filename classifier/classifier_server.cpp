#include "classifier/classifier_server.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel_classifier {

namespace {

// A sanitizer's allocator keeps its own heap, so glibc has nothing to give
// back there; under ThreadSanitizer a trim even breaks glibc's accounting of
// the thread's arena, which aborts the thread at its exit.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSTREL_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSTREL_SANITIZED_HEAP 1
#endif
#endif

void GiveBackFreedMemory()
{
#ifndef OSTREL_SANITIZED_HEAP
    malloc_trim(0);
#endif
}

using Clock = std::chrono::steady_clock;

// How long a refused client may still be sending before its connection is
// closed; closing with its bytes unread would reset the connection and could
// lose the answer it was just sent.
constexpr std::chrono::milliseconds LINGER {1000};

// httplib hands the pool tasks that only call process_and_close_socket()
// with the accepted socket; the pool says through this what the call is for.
enum class TaskMode { SERVE, ADMIT, TURN_AWAY };
thread_local TaskMode task_mode = TaskMode::SERVE;
// Set by a task run to ADMIT: the connection may wait for a thread.
thread_local bool task_admitted = false;

// The numeric address and port of a socket's end (getpeername) or its own
// (getsockname); false when the socket has none.
bool SocketName(int (*get)(int, sockaddr *, socklen_t *), int fd, std::string &ip, int &port)
{
    sockaddr_storage addr {};
    socklen_t length = sizeof(addr);
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (get(fd, reinterpret_cast<sockaddr *>(&addr), &length) != 0
        || getnameinfo(reinterpret_cast<sockaddr *>(&addr), length, host, sizeof(host), service,
               sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV)
            != 0)
        return false;
    ip = host;
    port = std::atoi(service);
    return true;
}

std::string PeerAddress(int fd)
{
    std::string ip;
    int port = 0;
    SocketName(getpeername, fd, ip, port);
    return ip;
}

void Send(httplib::Response &response, const Reply &reply)
{
    response.status = reply.http_status;
    response.set_content(
        reply.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

int MillisecondsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

// False when `events` did not come by the deadline.
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p {fd, events, 0};
        int ready = poll(&p, 1, MillisecondsUntil(deadline));
        if (ready > 0) return true;
        if (ready == 0) {
            if (Clock::now() >= deadline) return false;
            continue; // poll waits at most a minute at a time
        }
        if (errno != EINTR) return false;
    }
}

// One accepted connection, read and written against deadlines for the
// whole request and the whole answer rather than for each byte, so that a
// client sending or taking one byte at a time still ends in time. Closes the
// socket when destroyed.
class ConnectionStream : public httplib::Stream
{
public:
    ConnectionStream(int fd, const ServerLimits &limits)
        : fd(fd)
        , read_deadline(Clock::now() + limits.read_timeout)
        , write_timeout(limits.write_timeout)
        , linger(std::min(LINGER, limits.read_timeout))
        // Chunk framing adds to the body; far more than the body is abuse
        // (httplib grows its line buffers without bound).
        , read_left(2 * limits.max_body_bytes + 64 * 1024)
        , buffer(std::max<size_t>(16384, limits.max_head_bytes))
    {
    }
    ~ConnectionStream() override { close(fd); }
    ConnectionStream(const ConnectionStream &) = delete;
    ConnectionStream &operator=(const ConnectionStream &) = delete;

    bool is_readable() const override { return start < end || WaitFor(fd, POLLIN, read_deadline); }

    bool is_writable() const override { return WaitFor(fd, POLLOUT, WriteDeadline()); }

    ssize_t read(char *ptr, size_t size) override
    {
        if (start == end) {
            ssize_t got = Fill();
            if (got <= 0) return got;
        }
        size_t n = std::min(size, end - start);
        std::copy(buffer.data() + start, buffer.data() + start + n, ptr);
        start += n;
        return static_cast<ssize_t>(n);
    }

    // Writes all of it or fails: httplib does not retry short writes.
    ssize_t write(const char *ptr, size_t size) override
    {
        wrote = true;
        size_t done = 0;
        while (done < size) {
            if (!WaitFor(fd, POLLOUT, WriteDeadline())) return -1;
            ssize_t sent = send(fd, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            if (sent <= 0) return -1;
            done += static_cast<size_t>(sent);
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        SocketName(getpeername, fd, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        SocketName(getsockname, fd, ip, port);
    }
    socket_t socket() const override { return fd; }

    // A short answer that must not keep the accepting thread: sent only as
    // far as the socket takes it at once.
    void SendNow(const std::string &text)
    {
        (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    enum class Head { WHOLE, OVER_BOUNDS, CUT_SHORT };

    // Reads until the empty line that ends the headers, counting lines and
    // bytes as they arrive: httplib stores every header line it reads, so it
    // must only ever see a head within the bounds. What came after the head
    // stays buffered for httplib to read.
    Head ReadHead(size_t max_lines, size_t max_bytes)
    {
        size_t lines = 0; // whole lines so far, the request line included
        size_t line_start = 0;
        for (size_t at = start;; at++) {
            if (at == end) {
                if (end >= max_bytes) return Head::OVER_BOUNDS;
                if (Append() <= 0) return Head::CUT_SHORT;
            }
            if (buffer[at] != '\n') continue;
            // httplib ends the headers only at a line of just CRLF.
            const bool blank = lines > 0 && at == line_start + 1 && buffer[line_start] == '\r';
            lines++;
            line_start = at + 1;
            if (blank) return line_start <= max_bytes ? Head::WHOLE : Head::OVER_BOUNDS;
            if (lines > max_lines + 1) return Head::OVER_BOUNDS;
        }
    }

    // Ends the answer; when one was sent, takes what the client still sends
    // for a moment so that the answer is read rather than reset.
    void Finish()
    {
        if (!wrote) return;
        shutdown(fd, SHUT_WR);
        const Clock::time_point deadline = Clock::now() + linger;
        char sink[16384];
        while (WaitFor(fd, POLLIN, deadline)) {
            ssize_t got = recv(fd, sink, sizeof(sink), MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
        }
    }

private:
    ssize_t Fill()
    {
        start = 0;
        end = 0;
        return Append();
    }

    // Reads what fits after the buffered bytes.
    ssize_t Append()
    {
        const size_t room = std::min(buffer.size() - end, read_left);
        if (room == 0 || !WaitFor(fd, POLLIN, read_deadline)) return -1;
        for (;;) {
            ssize_t got = recv(fd, buffer.data() + end, room, MSG_DONTWAIT);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!WaitFor(fd, POLLIN, read_deadline)) return -1;
                continue;
            }
            if (got > 0) {
                end += static_cast<size_t>(got);
                read_left -= static_cast<size_t>(got);
            }
            return got;
        }
    }

    Clock::time_point WriteDeadline() const
    {
        // The answer's time starts with its first byte.
        if (!write_started) {
            write_deadline = Clock::now() + write_timeout;
            write_started = true;
        }
        return write_deadline;
    }

    const int fd;
    const Clock::time_point read_deadline;
    const std::chrono::milliseconds write_timeout;
    const std::chrono::milliseconds linger;
    mutable Clock::time_point write_deadline;
    mutable bool write_started = false;
    size_t read_left;
    bool wrote = false;
    // Of a fixed size, so that a connection leaves nothing grown behind.
    std::vector<char> buffer;
    size_t start = 0;
    size_t end = 0;
};

// Connections by client address, served or waiting, so that one address
// cannot take every thread and waiting place.
class ClientTable
{
public:
    explicit ClientTable(size_t per_client)
        : per_client(per_client)
    {
    }

    // False when the address already has its share.
    bool Enter(int fd, const std::string &address)
    {
        std::lock_guard<std::mutex> guard(lock);
        size_t &count = counts[address];
        if (count >= per_client) return false;
        count++;
        addresses[fd] = address;
        return true;
    }

    // Nothing for a connection that never entered.
    void Leave(int fd)
    {
        std::lock_guard<std::mutex> guard(lock);
        auto found = addresses.find(fd);
        if (found == addresses.end()) return;
        auto count = counts.find(found->second);
        if (--count->second == 0) counts.erase(count);
        addresses.erase(found);
    }

private:
    const size_t per_client;
    std::mutex lock;
    std::map<int, std::string> addresses;
    std::map<std::string, size_t> counts;
};

// Holds a connection's share of its address's until destroyed.
struct ClientShare {
    ClientTable &table;
    const int fd;
    ~ClientShare() { table.Leave(fd); }
};

// A fixed set of threads, each serving one connection at a time, and a
// bounded line of connections waiting for one. A connection that finds the
// line full, or its address at its share, is turned away at once on the
// accepting thread.
class WorkerPool : public httplib::TaskQueue
{
public:
    WorkerPool(size_t workers, size_t max_waiting)
        : max_waiting(max_waiting)
    {
        for (size_t i = 0; i < workers; i++)
            threads.emplace_back([this] { Work(); });
    }

    void enqueue(std::function<void()> task) override
    {
        if (!HasRoom()) return Run(task, TaskMode::TURN_AWAY);
        Run(task, TaskMode::ADMIT); // one turned away is answered and closed
        if (!task_admitted) return;
        {
            std::lock_guard<std::mutex> guard(lock);
            // Only this thread adds to the line: the room is still there.
            if (!stopping) {
                waiting.push_back(std::move(task));
                ready.notify_one();
                return;
            }
        }
        Run(task, TaskMode::TURN_AWAY);
    }

    void shutdown() override
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        ready.notify_all();
        for (std::thread &thread : threads)
            thread.join();
    }

private:
    static void Run(const std::function<void()> &task, TaskMode mode)
    {
        task_mode = mode;
        task_admitted = false;
        task();
        task_mode = TaskMode::SERVE;
    }

    bool HasRoom()
    {
        std::lock_guard<std::mutex> guard(lock);
        return !stopping && waiting.size() < max_waiting;
    }

    bool Idle()
    {
        std::lock_guard<std::mutex> guard(lock);
        return waiting.empty();
    }

    void Work()
    {
        for (;;) {
            std::function<void()> task;
            bool stopped = false;
            {
                std::unique_lock<std::mutex> guard(lock);
                ready.wait(guard, [this] { return stopping || !waiting.empty(); });
                if (waiting.empty()) return;
                task = std::move(waiting.front());
                waiting.pop_front();
                stopped = stopping;
            }
            // Those still waiting at shutdown are turned away, not served.
            Run(task, stopped ? TaskMode::TURN_AWAY : TaskMode::SERVE);
            // What a request freed goes back to the system once nothing
            // waits, rather than staying with the thread's heap.
            if (Idle()) GiveBackFreedMemory();
        }
    }

    const size_t max_waiting;
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::function<void()>> waiting;
    bool stopping = false;
    std::vector<std::thread> threads;
};

// A whole answer written without httplib, for connections it never sees.
std::string RawAnswer(const std::string &status, const std::string &message, const std::string &extra)
{
    Reply reply = Service::Error(std::atoi(status.c_str()), message);
    std::string body = reply.body.dump();
    return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n" + body;
}

std::string BusyAnswer(const std::string &why)
{
    return RawAnswer("503 Service Unavailable", "busy: " + why + "; try again later", "Retry-After: 1\r\n");
}

AgentId AgentOf(const httplib::Request &request)
{
    return AgentId {request.get_header_value("X-UUID"), request.get_header_value("X-UUID-Serial")};
}

} // namespace

// httplib's own connection handling reads a request's body before any
// handler can refuse it, has no cap for chunked bodies, and lets a client
// hold a thread as long as it sends a byte now and then. This server serves
// one request per connection through its own stream, and decides from the
// headers alone whether a request is wanted.
class HttpServer::Impl : public httplib::Server
{
public:
    Impl(Service &service, const ServerLimits &limits, bool quiet);

private:
    bool process_and_close_socket(socket_t sock) override;
    // True when the connection's address has room for it; else answers 503
    // and closes it.
    bool Admit(socket_t sock);
    // Fills `response` and returns true when the request is refused.
    bool Refuse(const httplib::Request &request, httplib::Response &response) const;
    Reply TooLarge() const;

    Service &service;
    const ServerLimits limits;
    const bool quiet;
    ClientTable clients {limits.max_per_client};
    const std::string busy_answer = BusyAnswer("too many connections");
    const std::string crowded_answer = BusyAnswer("too many connections from your address");
    const std::string head_too_large = "over " + std::to_string(limits.max_header_lines) + " header lines or "
        + std::to_string(limits.max_head_bytes) + " bytes of request line and headers";
    const std::string head_answer
        = RawAnswer("431 Request Header Fields Too Large", "request " + head_too_large, "");
};

HttpServer::Impl::Impl(Service &service, const ServerLimits &limits, bool quiet)
    : service(service)
    , limits(limits)
    , quiet(quiet)
{
    new_task_queue
        = [this] { return new WorkerPool(this->limits.max_connections, this->limits.max_waiting); };
    set_payload_max_length(limits.max_body_bytes);
    set_keep_alive_max_count(1);

    // Refusals happen before httplib reads a body: at "Expect: 100-continue"
    // for a client that waits for it, before routing for the others.
    set_expect_100_continue_handler([this](const httplib::Request &request, httplib::Response &response) {
        return Refuse(request, response) ? response.status : 100;
    });
    set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
        return Refuse(request, response) ? HandlerResponse::Handled : HandlerResponse::Unhandled;
    });
    Get(INDEX_PATH, [this](const httplib::Request &request, httplib::Response &response) {
        Send(response, this->service.Index(request.get_header_value("Authorization"), AgentOf(request)));
    });
    Post(UPLOAD_PATH,
        [this](const httplib::Request &request, httplib::Response &response,
            const httplib::ContentReader &content) {
            std::string body;
            bool too_large = false;
            bool read = content([&](const char *data, size_t length) {
                // Counted after decoding: a compressed body meets the same cap.
                if (length > this->limits.max_body_bytes - body.size()) {
                    too_large = true;
                    return false;
                }
                body.append(data, length);
                return true;
            });
            if (too_large) return Send(response, TooLarge());
            if (!read)
                return Send(response,
                    Service::Error(
                        response.status >= 400 ? response.status : 400, "request body could not be read"));
            Send(response,
                this->service.Upload(request.get_header_value("Authorization"), body, AgentOf(request)));
        });
    set_error_handler([](const httplib::Request &, httplib::Response &response) {
        // Unknown paths and methods, and what httplib refuses itself.
        if (response.body.empty()) {
            Send(response,
                Service::Error(response.status,
                    "request refused with HTTP " + std::to_string(response.status) + " (paths: " + INDEX_PATH
                        + " GET, " + UPLOAD_PATH + " POST)"));
        }
    });
    set_logger([quiet](const httplib::Request &request, const httplib::Response &response) {
        if (quiet) return;
        size_t devices = 0;
        try {
            nlohmann::json body = nlohmann::json::parse(response.body);
            if (body.contains("data") && body["data"].is_array()) devices = body["data"].size();
        } catch (const std::exception &) {
        }
        std::cerr << "ostrel-classifier: " << request.method << " " << request.path << ": " << response.status
                  << ", " << devices << " devices\n";
    });
}

bool HttpServer::Impl::Refuse(const httplib::Request &request, httplib::Response &response) const
{
    const bool index = request.path == INDEX_PATH && (request.method == "GET" || request.method == "HEAD");
    const bool upload = request.path == UPLOAD_PATH && request.method == "POST";
    if (!index && !upload) {
        response.status = 404; // the error handler writes the body
        return true;
    }
    if (!service.Authorized(request.get_header_value("Authorization"))) {
        Send(response, Service::Unauthorized());
        return true;
    }
    if (upload && request.has_header("Content-Length")
        && request.get_header_value<uint64_t>("Content-Length") > limits.max_body_bytes) {
        Send(response, TooLarge());
        return true;
    }
    return false;
}

Reply HttpServer::Impl::TooLarge() const
{
    return Service::Error(
        413, "request body larger than " + std::to_string(limits.max_body_bytes) + " bytes");
}

bool HttpServer::Impl::Admit(socket_t sock)
{
    const std::string address = PeerAddress(sock);
    if (clients.Enter(sock, address)) return true;
    ConnectionStream stream(sock, limits);
    stream.SendNow(crowded_answer);
    if (!quiet)
        std::cerr << "ostrel-classifier: busy: a connection from " << address << " was turned away with 503 ("
                  << limits.max_per_client << " from that address already)\n";
    return false;
}

bool HttpServer::Impl::process_and_close_socket(socket_t sock)
{
    if (task_mode == TaskMode::ADMIT) return task_admitted = Admit(sock);
    ConnectionStream stream(sock, limits);
    // Ends before the stream closes the socket, whose number may then be
    // reused by the next connection.
    ClientShare share {clients, sock};
    if (task_mode == TaskMode::TURN_AWAY) {
        stream.SendNow(busy_answer);
        if (!quiet) std::cerr << "ostrel-classifier: busy: a connection was turned away with 503\n";
        return false;
    }
    if (stream.ReadHead(limits.max_header_lines, limits.max_head_bytes)
        == ConnectionStream::Head::OVER_BOUNDS) {
        stream.write(head_answer.data(), head_answer.size());
        if (!quiet)
            std::cerr << "ostrel-classifier: a request from " << PeerAddress(sock)
                      << " was refused with 431: " << head_too_large << "\n";
        stream.Finish();
        return false;
    }
    bool connection_closed = false;
    bool served = process_request(stream, true, connection_closed, nullptr);
    stream.Finish();
    return served;
}

HttpServer::HttpServer(Service &service, const ServerLimits &limits, bool quiet)
    : impl(new Impl(service, limits, quiet))
{
}

HttpServer::~HttpServer() = default;

int HttpServer::Bind(const std::string &address, int port)
{
    if (port == 0) return impl->bind_to_any_port(address.c_str());
    return impl->bind_to_port(address.c_str(), port) ? port : -1;
}

bool HttpServer::Listen()
{
    return impl->listen_after_bind();
}

void HttpServer::Stop()
{
    impl->stop();
}

bool HttpServer::IsRunning() const
{
    return impl->is_running();
}

} // namespace ostrel_classifier
