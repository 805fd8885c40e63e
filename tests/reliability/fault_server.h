// A scripted HTTP server on 127.0.0.1 that misbehaves on request: it can
// answer, hang, reset the connection, cut the body short, send far more than
// any cap, or drip the answer a byte at a time. Each connection is served on
// a thread of its own; the destructor ends them all.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel_test {

struct FaultRequest {
    std::string method;
    std::string path;
    std::string body;
};

struct FaultReply {
    enum Kind {
        ANSWER, // status, content type and body, then close
        HANG, // read the request, then say nothing until the client leaves
        RESET, // read the request, then reset the connection
        TRUNCATE, // promise the body's length, send half of it, close
        OVERSIZE, // stream `bytes` bytes of body without a length
        DRIP, // the whole answer, one byte every `drip_every`
    };

    Kind kind = ANSWER;
    int status = 200;
    std::string content_type = "application/json";
    std::string body = R"({"status_code":0,"status_message":"ok","data":[]})";
    size_t bytes = 0;
    std::chrono::milliseconds drip_every {50};
};

class FaultServer
{
public:
    using Handler = std::function<FaultReply(const FaultRequest &)>;

    FaultServer();
    ~FaultServer();
    FaultServer(const FaultServer &) = delete;
    FaultServer &operator=(const FaultServer &) = delete;

    std::string Url(const std::string &path) const;

    // Every request from now on gets `reply` (or what `handler` makes).
    void Script(const FaultReply &reply);
    void SetHandler(Handler handler);

    // Requests received so far (their headers and bodies read whole).
    std::vector<FaultRequest> Requests() const;
    // True once more than `count` requests came, false at the deadline.
    bool WaitForMoreThan(size_t count, std::chrono::milliseconds timeout);

private:
    void Accept();
    void Serve(int connection);
    bool ReadRequest(int connection, FaultRequest &request);
    bool Send(int connection, const std::string &data);
    // Waits up to `timeout` for the server to stop or the peer to close;
    // true when either happened.
    bool StopOrClose(int connection, std::chrono::milliseconds timeout);

    int listener = -1;
    int stop_pipe[2] = {-1, -1};
    int port = 0;
    std::thread acceptor;

    mutable std::mutex lock;
    std::condition_variable arrived;
    Handler handler;
    std::vector<FaultRequest> requests;
    std::vector<std::thread> workers;
};

} // namespace ostrel_test
