#include "classifier/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace ostrel_classifier {

const char *const SERVICE_USAGE
    = "usage: ostrel-classifier [--bind ADDRESS] [--port N] [--rules FILE] [--registry DIR|none]\n"
      "                         [--token TOKEN] [--quiet]\n"
      "                         [--read-timeout SECONDS] [--write-timeout SECONDS]\n"
      "                         [--max-connections N] [--max-waiting N] [--max-per-client N]\n"
      "                         [--allow-no-token] [--version] [--help]\n"
      "Port 0 (the default) picks a free port. See docs/HOST.md.\n";

namespace {

bool ParseWhole(const std::string &value, long min, long max, long &out)
{
    char *end = nullptr;
    errno = 0;
    long number = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || number < min || number > max) return false;
    out = number;
    return true;
}

bool ParseSeconds(const std::string &value, std::chrono::milliseconds &out)
{
    char *end = nullptr;
    errno = 0;
    double seconds = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds < 0.01
        || seconds > 3600)
        return false;
    out = std::chrono::milliseconds(std::llround(seconds * 1000));
    return true;
}

bool ParseValue(const std::string &arg, const std::string &value, ServiceOptions &options, std::string &error)
{
    const std::string at = arg + " " + value + ": ";
    long number = 0;
    if (arg == "--bind")
        options.bind = value;
    else if (arg == "--rules")
        options.rules = value;
    else if (arg == "--registry")
        options.registry = value;
    else if (arg == "--token") {
        if (value.empty()) {
            error = "--token: must not be empty (an empty token would let every request in)";
            return false;
        }
        options.token = value;
    } else if (arg == "--port") {
        if (!ParseWhole(value, 0, 65535, number)) {
            error = at + "must be a number from 0 to 65535";
            return false;
        }
        options.port = static_cast<int>(number);
    } else if (arg == "--read-timeout" || arg == "--write-timeout") {
        std::chrono::milliseconds &timeout
            = arg == "--read-timeout" ? options.limits.read_timeout : options.limits.write_timeout;
        if (!ParseSeconds(value, timeout)) {
            error = at + "must be a number of seconds from 0.01 to 3600";
            return false;
        }
    } else if (arg == "--max-connections" || arg == "--max-per-client") {
        if (!ParseWhole(value, 1, 1000, number)) {
            error = at + "must be a whole number from 1 to 1000";
            return false;
        }
        (arg == "--max-connections" ? options.limits.max_connections : options.limits.max_per_client)
            = static_cast<size_t>(number);
    } else {
        if (!ParseWhole(value, 0, 10000, number)) {
            error = at + "must be a whole number from 0 to 10000";
            return false;
        }
        options.limits.max_waiting = static_cast<size_t>(number);
    }
    return true;
}

} // namespace

bool IsLoopback(const std::string &address)
{
    if (address == "localhost") return true;
    in_addr v4 {};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6 {};
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

bool ParseServiceOptions(int argc, char **argv, ServiceOptions &options, std::string &error)
{
    static const char *const WITH_VALUE[] = {"--bind", "--port", "--rules", "--registry", "--token",
        "--read-timeout", "--write-timeout", "--max-connections", "--max-waiting", "--max-per-client"};
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--quiet" || arg == "--allow-no-token") {
            (arg == "--quiet" ? options.quiet : options.allow_no_token) = true;
            continue;
        }
        bool known = false;
        for (const char *name : WITH_VALUE)
            known = known || arg == name;
        if (!known) {
            error = arg + ": unknown option";
            return false;
        }
        if (i + 1 >= argc) {
            error = arg + ": needs a value";
            return false;
        }
        if (!ParseValue(arg, argv[++i], options, error)) return false;
    }
    if (options.token.empty() && !options.allow_no_token && !IsLoopback(options.bind)) {
        error = "--bind " + options.bind
            + ": not a loopback address, and no --token: give one, or --allow-no-token to answer anyone"
              " who can reach it";
        return false;
    }
    return true;
}

} // namespace ostrel_classifier
