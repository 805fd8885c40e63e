// ostrel-classifier's command line: the options, their parsing, the usage and the help.
#pragma once

#include <string>

#include "classifier/classifier_server.h"

namespace ostrel_classifier {

// What the command line of ostrel-classifier sets.
struct ServiceOptions {
    std::string bind = "127.0.0.1";
    int port = 0;
    std::string rules;
    std::string registry = DEFAULT_REGISTRY_DIR; // "none": no vendors from MACs
    std::string token;
    // Serve without a token on an address other machines can reach.
    bool allow_no_token = false;
    bool quiet = false;
    ServerLimits limits;
    // --help, --version: print the help or the release and exit.
    bool help = false;
    bool version = false;
};

// Reads the command line into `options` (whose fields keep their values
// unless given); false with `error` naming the option and why. An empty
// token, and a bind address other than loopback without a token (unless
// --allow-no-token), are refused. --help and --version end the parse where
// they stand.
bool ParseServiceOptions(int argc, char **argv, ServiceOptions &options, std::string &error);
// Every option in one synopsis, printed after a bad command line.
std::string ServiceUsage();
// --help: a usage line and every option with its value and description.
std::string ServiceHelp();

// True for 127.0.0.0/8, ::1 (also as ::ffff:127.x.y.z) and "localhost".
bool IsLoopback(const std::string &address);

} // namespace ostrel_classifier
