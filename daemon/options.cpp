#include "daemon/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

namespace ostrel_host {

namespace {

// A number from `min` to `max`, or 0 when `zero` allows it (0 then means
// "none" or "no waiting"; tiny values next to it mean nothing useful).
bool ParseNumber(const std::string &text, double min, double max, double &value, bool zero = false)
{
    char *end = nullptr;
    errno = 0;
    double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(parsed)) return false;
    if (!(zero && parsed == 0) && (parsed < min || parsed > max)) return false;
    value = parsed;
    return true;
}

bool ParseWhole(const std::string &text, uint64_t max, uint64_t &value)
{
    char *end = nullptr;
    errno = 0;
    if (text.empty() || text[0] == '-') return false;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || parsed > max) return false;
    value = parsed;
    return true;
}

// "SINK/CHANNEL=PATH"
bool ParseSink(const std::string &text, bool table, SinkChannelSpec &desc)
{
    size_t slash = text.find('/');
    size_t equals = text.find('=');
    if (slash == std::string::npos || equals == std::string::npos || slash == 0 || equals < slash + 2
        || equals + 1 == text.size())
        return false;
    desc = SinkChannelSpec {
        text.substr(0, slash), text.substr(slash + 1, equals - slash - 1), text.substr(equals + 1), table};
    return true;
}

} // namespace

std::string Usage()
{
    return "usage: ostrel-host [--config FILE] [--plugin LIBRARY] [--conf FILE] [--tag TAG]\n"
           "                   [--input FILE|- | --pcap FILE | --interface IF [--no-promiscuous]\n"
           "                    [--snaplen BYTES] [--buffer-size BYTES]] [--bpf FILTER]\n"
           "                   [--udp-timeout SECONDS] [--tcp-timeout SECONDS] [--max-flows N]\n"
           "                   [--capture-memory MB] [--dump-flows FILE]\n"
           "                   [--speed FACTOR] [--update-interval SECONDS]\n"
           "                   [--exit-after-input N] [--run-seconds SECONDS] [--progress SECONDS]\n"
           "                   [--var NAME=VALUE]... [--sink SINK/CHANNEL=PATH]... [--sink-table "
           "SINK/CHANNEL=PATH]...\n"
           "                   [--debug] [--verbose] [--debug-payload] [--debug-level N] [--flags WORD]\n"
           "                   [--log-journal] [--version]\n"
           "See docs/HOST.md.\n";
}

namespace {

const std::set<std::string> VALUE_OPTIONS = {"--config", "--plugin", "--conf", "--tag", "--input", "--pcap",
    "--interface", "--bpf", "--udp-timeout", "--tcp-timeout", "--max-flows", "--capture-memory",
    "--dump-flows", "--speed", "--update-interval", "--exit-after-input", "--run-seconds", "--progress",
    "--debug-level", "--flags", "--var", "--sink", "--sink-table", "--snaplen", "--buffer-size"};

// Idle times in seconds, kept where microseconds cannot overflow.
bool ParseTimeout(const std::string &text, int64_t &usec)
{
    double seconds = 0;
    if (!ParseNumber(text, 0.001, 1e7, seconds)) return false;
    usec = static_cast<int64_t>(seconds * 1e6);
    return true;
}

// The inputs exclude each other, and a filter needs packets to filter.
bool CheckInputs(const Options &options, std::string &error)
{
    int inputs = !options.input.empty() + !options.pcap.empty() + !options.interface.empty();
    if (inputs > 1) {
        error = "--input, --pcap, --interface: give only one input";
        return false;
    }
    if (!options.bpf.empty() && options.pcap.empty() && options.interface.empty()) {
        error = "--bpf: filters packets; give --pcap or --interface";
        return false;
    }
    if (!options.dump_flows.empty() && inputs == 0) {
        error = "--dump-flows: writes the flows of an input; give --input, --pcap or --interface";
        return false;
    }
    const bool live_only[] = {!options.promiscuous, options.snaplen != 0, options.buffer_size != 0};
    const char *names[] = {"--no-promiscuous", "--snaplen", "--buffer-size"};
    for (size_t i = 0; i < 3; i++) {
        if (live_only[i] && options.interface.empty()) {
            error = std::string(names[i]) + ": for a live capture; give --interface";
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseOptions(int argc, char **argv, Options &options, bool &help, std::string &error)
{
    help = false;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        std::string value;
        auto take = [&]() {
            if (i + 1 >= argc) {
                error = arg + ": needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto bad = [&](const char *why) {
            error = arg + " " + value + ": " + why;
            return false;
        };
        uint64_t whole = 0;
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        } else if (arg == "--debug")
            options.debug = true;
        else if (arg == "--verbose")
            options.verbose = true;
        else if (arg == "--debug-payload")
            options.debug_payload = true;
        else if (arg == "--no-promiscuous")
            options.promiscuous = false;
        else if (arg == "--log-journal")
            options.log_journal = true;
        else if (arg.compare(0, 2, "--") != 0 || VALUE_OPTIONS.count(arg) == 0) {
            error = arg + ": unknown option";
            return false;
        } else if (!take())
            return false;
        else if (arg == "--config")
            options.config_path = value;
        else if (arg == "--plugin")
            options.plugin = value;
        else if (arg == "--conf")
            options.conf = value;
        else if (arg == "--tag")
            options.tag = value;
        else if (arg == "--input")
            options.input = value;
        else if ((arg == "--pcap" || arg == "--interface") && value.empty())
            return bad("must not be empty");
        else if (arg == "--pcap")
            options.pcap = value;
        else if (arg == "--interface")
            options.interface = value;
        else if (arg == "--bpf")
            options.bpf = value;
        else if (arg == "--dump-flows")
            options.dump_flows = value;
        else if (arg == "--udp-timeout" || arg == "--tcp-timeout") {
            int64_t &usec = arg == "--udp-timeout" ? options.tracker.udp_timeout_usec
                                                   : options.tracker.tcp_timeout_usec;
            if (!ParseTimeout(value, usec)) return bad("must be a number of seconds from 0.001 to 10000000");
        } else if (arg == "--max-flows") {
            if (!ParseWhole(value, 100000000, whole) || whole == 0)
                return bad("must be a whole number from 1 to 100000000");
            options.tracker.max_flows = static_cast<size_t>(whole);
        } else if (arg == "--snaplen") {
            // The most libpcap takes; 0 is its "whole frames", as for tcpdump -s 0.
            if (!ParseWhole(value, 262144, whole)) return bad("must be a whole number from 0 to 262144");
            options.snaplen = static_cast<int>(whole);
        } else if (arg == "--buffer-size") {
            if (!ParseWhole(value, INT32_MAX, whole) || whole < 65536)
                return bad("must be a whole number of bytes from 65536 to 2147483647");
            options.buffer_size = static_cast<int>(whole);
        } else if (arg == "--capture-memory") {
            if (!ParseWhole(value, 65536, whole) || whole == 0)
                return bad("must be a whole number of MiB from 1 to 65536");
            options.tracker.memory_budget = static_cast<size_t>(whole) << 20;
        } else if (arg == "--speed") {
            // 1000 times slower is already a recorded second in 17 minutes.
            if (!ParseNumber(value, 0.001, 1e6, options.speed, true))
                return bad("must be 0 or a number from 0.001 to 1000000");
        } else if (arg == "--update-interval") {
            if (!ParseNumber(value, 0.05, 86400, options.update_interval))
                return bad("must be a number of seconds from 0.05 to 86400");
        } else if (arg == "--exit-after-input") {
            if (!ParseWhole(value, 1000000, whole)) return bad("must be a whole number from 0 to 1000000");
            options.exit_after_input = static_cast<long>(whole);
        } else if (arg == "--run-seconds") {
            if (!ParseNumber(value, 0.1, 1e7, options.run_seconds, true))
                return bad("must be 0 or a number of seconds from 0.1 to 10000000");
        } else if (arg == "--progress") {
            if (!ParseNumber(value, 0.1, 86400, options.progress_interval))
                return bad("must be a number of seconds from 0.1 to 86400");
        } else if (arg == "--debug-level") {
            if (!ParseWhole(value, 255, whole)) return bad("must be a whole number from 0 to 255");
            options.debug_level = static_cast<int>(whole);
        } else if (arg == "--flags") {
            if (!ParseWhole(value, UINT64_MAX, whole)) return bad("must be a whole number (0x for hex)");
            options.flags |= whole;
        } else if (arg == "--var") {
            size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0) return bad("must be NAME=VALUE");
            options.variables[value.substr(0, equals)] = value.substr(equals + 1);
        } else if (arg == "--sink" || arg == "--sink-table") {
            SinkChannelSpec desc;
            if (!ParseSink(value, arg == "--sink-table", desc)) return bad("must be SINK/CHANNEL=PATH");
            options.sinks.push_back(desc);
        }
    }
    return CheckInputs(options, error);
}

} // namespace ostrel_host
