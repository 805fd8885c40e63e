// ostrel-classifier: a local stand-in for the vendor's device-discovery API.
// Classifies uploaded devices with the rules of a JSON file (docs/HOST.md).
#include <httplib.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "tools/classifier.h"

#ifndef OSTREL_DEFAULT_RULES
#define OSTREL_DEFAULT_RULES "examples/classifier-rules.json"
#endif

namespace {

constexpr const char *INDEX_PATH = "/v1/discovery/index";
constexpr const char *UPLOAD_PATH = "/v1/discovery/upload";
// A request body above this is refused before it is read.
constexpr size_t MAX_BODY_BYTES = 8 * 1024 * 1024;

struct Options {
    std::string bind = "127.0.0.1";
    int port = 0;
    std::string rules = OSTREL_DEFAULT_RULES;
    std::string token;
    bool quiet = false;
};

const char *USAGE = "usage: ostrel-classifier [--bind ADDRESS] [--port N] [--rules FILE] [--token TOKEN] [--quiet]\n"
                    "Port 0 (the default) picks a free port. See docs/HOST.md.\n";

bool ParseOptions(int argc, char **argv, Options &options, std::string &error)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (arg != "--bind" && arg != "--port" && arg != "--rules" && arg != "--token") {
            error = arg + ": unknown option";
            return false;
        }
        if (i + 1 >= argc) {
            error = arg + ": needs a value";
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--bind") options.bind = value;
        else if (arg == "--rules") options.rules = value;
        else if (arg == "--token") options.token = value;
        else {
            char *end = nullptr;
            errno = 0;
            long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || port < 0 || port > 65535) {
                error = "--port " + value + ": must be a number from 0 to 65535";
                return false;
            }
            options.port = static_cast<int>(port);
        }
    }
    return true;
}

void Send(httplib::Response &response, const ostrel_classifier::Reply &reply)
{
    response.status = reply.http_status;
    response.set_content(reply.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
        "application/json");
}

} // namespace

int main(int argc, char **argv)
{
    // Blocked before the server starts its threads; one thread waits for them.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::cerr << "ostrel-classifier: " << error << "\n" << USAGE;
        return 2;
    }
    std::vector<ostrel_classifier::Kind> kinds;
    try {
        kinds = ostrel_classifier::LoadRules(options.rules);
    } catch (const std::exception &e) {
        std::cerr << "ostrel-classifier: " << e.what() << "\n";
        return 1;
    }
    ostrel_classifier::Service service(kinds, options.token);

    httplib::Server server;
    server.set_payload_max_length(MAX_BODY_BYTES);
    const bool quiet = options.quiet;
    server.Get(INDEX_PATH, [&service](const httplib::Request &request, httplib::Response &response) {
        Send(response, service.Index(request.get_header_value("Authorization")));
    });
    server.Post(UPLOAD_PATH, [&service](const httplib::Request &request, httplib::Response &response) {
        Send(response, service.Upload(request.get_header_value("Authorization"), request.body));
    });
    server.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        // Routes that do not exist, wrong methods, bodies that are too large.
        if (response.body.empty()) {
            Send(response, ostrel_classifier::Service::Error(response.status,
                               "request refused with HTTP " + std::to_string(response.status) + " (paths: " +
                                   INDEX_PATH + " GET, " + UPLOAD_PATH + " POST)"));
        }
    });
    server.set_logger([quiet](const httplib::Request &request, const httplib::Response &response) {
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

    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(options.bind.c_str());
    } else if (!server.bind_to_port(options.bind.c_str(), port)) {
        port = -1;
    }
    if (port < 0) {
        std::cerr << "ostrel-classifier: cannot listen on " << options.bind << ":" << options.port << ": "
                  << strerror(errno) << "\n";
        return 1;
    }
    std::cout << "ostrel-classifier: listening on http://" << options.bind << ":" << port << " (" << kinds.size()
              << " device kinds from " << options.rules << ")" << std::endl;

    std::atomic<bool> listen_returned{false};
    std::thread waiter([&server, &listen_returned, mask]() {
        int signal_number = 0;
        sigwait(&mask, &signal_number);
        std::cerr << "ostrel-classifier: " << strsignal(signal_number) << ": shutting down\n";
        // stop() does nothing before the server runs: a signal right after
        // start-up waits for it.
        while (!server.is_running() && !listen_returned) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server.stop();
    });
    bool served = server.listen_after_bind();
    listen_returned = true;
    if (!served) {
        // The server ended on its own: wake the waiter so that it can be joined.
        pthread_kill(waiter.native_handle(), SIGTERM);
    }
    waiter.join();
    return served ? 0 : 1;
}
