// ostrel-classifier: a local stand-in for the vendor's device-discovery API.
// Classifies uploaded devices with the rules of JSON files (docs/HOST.md,
// docs/CLASSIFIER.md).
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
#include <vector>

#include "ostrel_version.h"
#include "classifier/classifier_server.h"
#include "classifier/options.h"
#include "common/install_paths.h"

int main(int argc, char **argv)
{
    // Blocked before the server starts its threads; one thread waits for them.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ostrel_classifier::ServiceOptions options;
    options.rules = ostrel_tools::DefaultRulesPath();
    std::string error;
    if (!ostrel_classifier::ParseServiceOptions(argc, argv, options, error)) {
        std::cerr << "ostrel-classifier: " << error << "\n" << ostrel_classifier::ServiceUsage();
        return 2;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? ostrel_classifier::ServiceHelp()
                                   : "ostrel-classifier " OSTREL_VERSION "\n");
        return 0;
    }
    std::vector<ostrel_classifier::Kind> kinds;
    try {
        kinds = ostrel_classifier::LoadRules(options.rules);
    } catch (const std::exception &e) {
        std::cerr << "ostrel-classifier: " << e.what() << "\n";
        return 1;
    }
    // A registry that cannot be read costs the vendors, not the service.
    std::vector<std::string> registry_messages;
    ostrel_classifier::MacRegistry registry
        = ostrel_classifier::LoadRegistry(options.registry, registry_messages);
    for (const std::string &message : registry_messages)
        std::cerr << "ostrel-classifier: " << message << "\n";
    const size_t assignments = registry.Size();
    ostrel_classifier::Service service(kinds, options.token, std::move(registry));
    // Each verdict with its reasons; the service calls it under its own lock.
    if (!options.quiet)
        service.SetLog([](const std::string &line) { std::cerr << "ostrel-classifier: " << line << "\n"; });
    ostrel_classifier::HttpServer server(service, options.limits, options.quiet);

    int port = server.Bind(options.bind, options.port);
    if (port < 0) {
        std::cerr << "ostrel-classifier: cannot listen on " << options.bind << ":" << options.port << ": "
                  << strerror(errno) << "\n";
        return 1;
    }
    std::cout << "ostrel-classifier: listening on http://" << options.bind << ":" << port << " ("
              << kinds.size() << " device kinds from " << options.rules << ", "
              << (options.registry == "none"
                         ? std::string("no MAC registry")
                         : std::to_string(assignments) + " MAC assignments from " + options.registry)
              << ")" << std::endl;

    std::atomic<bool> listen_returned {false};
    std::thread waiter([&server, &listen_returned, mask]() {
        int signal_number = 0;
        sigwait(&mask, &signal_number);
        std::cerr << "ostrel-classifier: " << strsignal(signal_number) << ": shutting down\n";
        // stop() does nothing before the server runs: a signal right after
        // start-up waits for it.
        while (!server.IsRunning() && !listen_returned)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server.Stop();
    });
    bool served = server.Listen();
    listen_returned = true;
    if (!served) {
        // The server ended on its own: wake the waiter so that it can be joined.
        pthread_kill(waiter.native_handle(), SIGTERM);
    }
    waiter.join();
    return served ? 0 : 1;
}
