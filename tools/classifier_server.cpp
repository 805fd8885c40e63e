#include "tools/classifier_server.h"

#include <httplib.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace ostrel_classifier {

const char *const SERVICE_USAGE =
    "usage: ostrel-classifier [--bind ADDRESS] [--port N] [--rules FILE] [--token TOKEN] [--quiet]\n"
    "Port 0 (the default) picks a free port. See docs/HOST.md.\n";

bool ParseServiceOptions(int argc, char **argv, ServiceOptions &options, std::string &error)
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

namespace {

void Send(httplib::Response &response, const Reply &reply)
{
    response.status = reply.http_status;
    response.set_content(reply.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
        "application/json");
}

} // namespace

class HttpServer::Impl : public httplib::Server
{
};

HttpServer::HttpServer(Service &service, const ServerLimits &limits, bool quiet) : impl(new Impl)
{
    httplib::Server &server = *impl;
    server.set_payload_max_length(limits.max_body_bytes);
    server.Get(INDEX_PATH, [&service](const httplib::Request &request, httplib::Response &response) {
        Send(response, service.Index(request.get_header_value("Authorization")));
    });
    server.Post(UPLOAD_PATH, [&service](const httplib::Request &request, httplib::Response &response) {
        Send(response, service.Upload(request.get_header_value("Authorization"), request.body));
    });
    server.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        // Routes that do not exist, wrong methods, bodies that are too large.
        if (response.body.empty()) {
            Send(response, Service::Error(response.status,
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
