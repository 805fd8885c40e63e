// A scripted HTTP server on 127.0.0.1 for the request tests: it answers every
// request with the scripted reply, records what it received, and can hold a
// request unanswered until released.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel_test {

struct ReceivedRequest {
    std::string method;
    std::string path;
    httplib::Params params;
    httplib::Headers headers;
    std::string body;

    std::string Header(const std::string &name) const
    {
        auto found = headers.find(name);
        return found == headers.end() ? "<absent>" : found->second;
    }
};

class LoopbackServer
{
public:
    LoopbackServer()
    {
        auto handler = [this](const httplib::Request &req, httplib::Response &res) { Handle(req, res); };
        server.Get(".*", handler);
        server.Post(".*", handler);
        server.Put(".*", handler);
        port = server.bind_to_any_port("127.0.0.1");
        listener = std::thread([this] { server.listen_after_bind(); });
        // stop() only takes effect once the server runs.
        while (!server.is_running())
            std::this_thread::yield();
    }

    ~LoopbackServer()
    {
        Release();
        server.stop();
        listener.join();
    }

    std::string Url(const std::string &path = "/") const
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    // The reply to every request; an empty content type sends none.
    void Answer(int status, const std::string &content_type, const std::string &body)
    {
        std::lock_guard<std::mutex> guard(lock);
        reply_status = status;
        reply_type = content_type;
        reply_body = body;
    }

    // Requests wait unanswered until Release().
    void Hold()
    {
        std::lock_guard<std::mutex> guard(lock);
        hold = true;
    }

    void Release()
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            hold = false;
        }
        changed.notify_all();
    }

    void WaitForRequest()
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [this] { return !received.empty(); });
    }

    std::vector<ReceivedRequest> Requests() const
    {
        std::lock_guard<std::mutex> guard(lock);
        return received;
    }

private:
    void Handle(const httplib::Request &req, httplib::Response &res)
    {
        std::unique_lock<std::mutex> guard(lock);
        received.push_back(ReceivedRequest {req.method, req.path, req.params, req.headers, req.body});
        changed.notify_all();
        changed.wait(guard, [this] { return !hold; });
        res.status = reply_status;
        if (!reply_type.empty()) res.set_header("Content-Type", reply_type);
        res.body = reply_body;
    }

    httplib::Server server;
    int port = 0;
    std::thread listener;

    mutable std::mutex lock;
    std::condition_variable changed;
    bool hold = false;
    int reply_status = 200;
    std::string reply_type = "application/json";
    std::string reply_body = R"({"status_code":0,"status_message":"ok","data":[]})";
    std::vector<ReceivedRequest> received;
};

} // namespace ostrel_test
