#include "classifier/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "common/command_line.h"

namespace ostrel_classifier {

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

using ostrel_tools::CommandLine;

CommandLine::Take Whole(long min, long max, const char *why, std::function<void(long)> store)
{
    return [=](const std::string &value) {
        long number = 0;
        if (!ParseWhole(value, min, max, number)) return why;
        store(number);
        return "";
    };
}

CommandLine::Take Seconds(std::chrono::milliseconds &timeout)
{
    return [&timeout](const std::string &value) {
        return ParseSeconds(value, timeout) ? "" : "must be a number of seconds from 0.01 to 3600";
    };
}

CommandLine::Take Text(std::string &field)
{
    return [&field](const std::string &value) {
        field = value;
        return "";
    };
}

// Every option of ostrel-classifier, once: what parses it and what --help says.
void Declare(CommandLine &line, ServiceOptions &o)
{
    ServerLimits &limits = o.limits;
    line.Value("--bind", "ADDRESS", "address to listen on (default 127.0.0.1)", Text(o.bind));
    line.Value("--port", "N", "port to listen on (default 0: a free one, printed)",
        Whole(0, 65535, "must be a number from 0 to 65535", [&o](long n) { o.port = static_cast<int>(n); }));
    line.Value("--rules", "FILE", "the rules' JSON file (default: the installed rules)", Text(o.rules));
    line.Value("--registry", "DIR|none",
        std::string("IEEE MAC registry folder, or none (default ") + DEFAULT_REGISTRY_DIR + ")",
        Text(o.registry));
    line.Value("--token", "TOKEN", "bearer token every request must carry", [&o](const std::string &value) {
        if (value.empty())
            throw ostrel_tools::BadOption(
                "--token: must not be empty (an empty token would let every request in)");
        o.token = value;
        return "";
    });
    line.Flag("--quiet", "no line per request and verdict", [&o] { o.quiet = true; });
    line.Value(
        "--read-timeout", "SECONDS", "time a request may take to arrive", Seconds(limits.read_timeout));
    line.Value(
        "--write-timeout", "SECONDS", "time an answer may take to leave", Seconds(limits.write_timeout));
    line.Value("--max-connections", "N", "connections served at once",
        Whole(1, 1000, "must be a whole number from 1 to 1000",
            [&limits](long n) { limits.max_connections = static_cast<size_t>(n); }));
    line.Value("--max-waiting", "N", "connections waiting to be served",
        Whole(0, 10000, "must be a whole number from 0 to 10000",
            [&limits](long n) { limits.max_waiting = static_cast<size_t>(n); }));
    line.Value("--max-per-client", "N", "connections served at once for one client address",
        Whole(1, 1000, "must be a whole number from 1 to 1000",
            [&limits](long n) { limits.max_per_client = static_cast<size_t>(n); }));
    line.Flag("--allow-no-token", "serve without a token on an address others can reach",
        [&o] { o.allow_no_token = true; });
}

const char *const FOOTER = "See docs/HOST.md and the ostrel-classifier(1) man page.";

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
    CommandLine line("ostrel-classifier", FOOTER);
    Declare(line, options);
    const CommandLine::Outcome outcome = line.Parse(argc, argv, error);
    options.help = outcome == CommandLine::Outcome::Help;
    options.version = outcome == CommandLine::Outcome::Version;
    if (outcome != CommandLine::Outcome::Run) return outcome != CommandLine::Outcome::Bad;
    if (options.token.empty() && !options.allow_no_token && !IsLoopback(options.bind)) {
        error = "--bind " + options.bind
            + ": not a loopback address, and no --token: give one, or --allow-no-token to answer anyone"
              " who can reach it";
        return false;
    }
    return true;
}

std::string ServiceUsage()
{
    ServiceOptions ignored;
    CommandLine line("ostrel-classifier", FOOTER);
    Declare(line, ignored);
    return line.Usage();
}

std::string ServiceHelp()
{
    ServiceOptions ignored;
    CommandLine line("ostrel-classifier", FOOTER);
    Declare(line, ignored);
    return line.Help();
}

} // namespace ostrel_classifier
