// The HTTP side of the local classification service: the two API paths over
// cpp-httplib, with the limits that keep one client from starving the others.
// The service's threads call Service (classifier.h); Listen() runs on the
// caller's thread until Stop().
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "classifier/classifier.h"

namespace ostrel_classifier {

constexpr const char *INDEX_PATH = "/v1/discovery/index";
constexpr const char *UPLOAD_PATH = "/v1/discovery/upload";
// A request body above this is refused, however it is framed.
constexpr size_t MAX_BODY_BYTES = 8 * 1024 * 1024;

struct ServerLimits {
    size_t max_body_bytes = MAX_BODY_BYTES;
    // The whole request (line, headers and body) must arrive within this.
    std::chrono::milliseconds read_timeout {5000};
    // The whole answer must be taken within this.
    std::chrono::milliseconds write_timeout {5000};
    // Connections served at once, one thread each.
    size_t max_connections = 8;
    // Accepted connections that wait for a turn; more are answered 503 and
    // closed at once.
    size_t max_waiting = 32;
    // Connections from one client address, served or waiting; more are
    // answered 503 and closed at once.
    size_t max_per_client = 4;
    // Header lines, and bytes of the request line and headers together; a
    // request over either is answered 431 before anything of it is stored.
    size_t max_header_lines = 100;
    size_t max_head_bytes = 32 * 1024;
};

class HttpServer
{
public:
    // `service` must outlive the server.
    HttpServer(Service &service, const ServerLimits &limits, bool quiet);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // The port now bound (the chosen one for port 0), or -1 with errno set.
    int Bind(const std::string &address, int port);
    // Serves until Stop(); false when the server ended on its own.
    bool Listen();
    // Stops a running Listen(); does nothing before it runs.
    void Stop();
    bool IsRunning() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace ostrel_classifier
