#include "daemon/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "common/command_line.h"

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

using ostrel_tools::CommandLine;

// Texts kept as given; the packet inputs must name something.
CommandLine::Take Text(std::string &field, bool empty_allowed = true)
{
    return [&field, empty_allowed](const std::string &value) {
        if (!empty_allowed && value.empty()) return "must not be empty";
        field = value;
        return "";
    };
}

// A whole number from `min` to `max`, stored through `store`.
CommandLine::Take Whole(uint64_t min, uint64_t max, const char *why, std::function<void(uint64_t)> store)
{
    return [=](const std::string &value) {
        uint64_t whole = 0;
        if (!ParseWhole(value, max, whole) || whole < min) return why;
        store(whole);
        return "";
    };
}

// A number from `min` to `max` (or 0, when `zero` allows it) into `field`.
CommandLine::Take Number(double min, double max, bool zero, const char *why, double &field)
{
    return [=, &field](const std::string &value) {
        if (!ParseNumber(value, min, max, field, zero)) return why;
        return "";
    };
}

CommandLine::Take Timeout(int64_t &usec)
{
    return [&usec](const std::string &value) {
        return ParseTimeout(value, usec) ? "" : "must be a number of seconds from 0.001 to 10000000";
    };
}

CommandLine::Take Sink(bool table, std::vector<SinkChannelSpec> &sinks)
{
    return [table, &sinks](const std::string &value) {
        SinkChannelSpec desc;
        if (!ParseSink(value, table, desc)) return "must be SINK/CHANNEL=PATH";
        sinks.push_back(desc);
        return "";
    };
}

// Every option of ostrel-host, once: what parses it and what --help says.
void Declare(CommandLine &line, Options &o)
{
    ostrel_capture::TrackerOptions &tracker = o.tracker;
    line.Value("--config", "FILE", "the host configuration (docs/HOST.md)", Text(o.config_path));
    line.Value("--plugin", "LIBRARY", "library of the first plug-in", Text(o.plugin));
    line.Value("--conf", "FILE", "configuration file of the first plug-in", Text(o.conf));
    line.Value("--tag", "TAG", "tag of the first plug-in (default dev-discovery)", Text(o.tag));
    line.Value("--input", "FILE|-", "flow lines to replay (-: stdin); one input at most", Text(o.input));
    line.Value("--pcap", "FILE", "a pcap or pcapng capture file to read", Text(o.pcap, false));
    line.Value("--interface", "IF", "a live interface to capture on", Text(o.interface, false));
    line.Flag(
        "--no-promiscuous", "with --interface: leave promiscuous mode off", [&o] { o.promiscuous = false; });
    line.Value("--snaplen", "BYTES", "with --interface: bytes kept of each frame (0: whole)",
        // The most libpcap takes; 0 is its "whole frames", as for tcpdump -s 0.
        Whole(0, 262144, "must be a whole number from 0 to 262144",
            [&o](uint64_t n) { o.snaplen = static_cast<int>(n); }));
    line.Value("--buffer-size", "BYTES", "with --interface: the kernel's ring for unread frames",
        Whole(65536, INT32_MAX, "must be a whole number of bytes from 65536 to 2147483647",
            [&o](uint64_t n) { o.buffer_size = static_cast<int>(n); }));
    line.Value("--bpf", "FILTER", "with --pcap or --interface: a libpcap filter", Text(o.bpf));
    line.Value("--udp-timeout", "SECONDS", "idle time that ends a UDP flow (default 60)",
        Timeout(tracker.udp_timeout_usec));
    line.Value("--tcp-timeout", "SECONDS", "idle time that ends a TCP flow (default 300)",
        Timeout(tracker.tcp_timeout_usec));
    line.Value("--max-flows", "N", "flows tracked at once (default 65536)",
        Whole(1, 100000000, "must be a whole number from 1 to 100000000",
            [&tracker](uint64_t n) { tracker.max_flows = static_cast<size_t>(n); }));
    line.Value("--capture-memory", "MB", "the packet path's memory budget in MiB (default 64)",
        Whole(1, 65536, "must be a whole number of MiB from 1 to 65536",
            [&tracker](uint64_t n) { tracker.memory_budget = static_cast<size_t>(n) << 20; }));
    line.Value("--dump-flows", "FILE", "also write every flow dispatched as a flow line", Text(o.dump_flows));
    // 1000 times slower is already a recorded second in 17 minutes.
    line.Value("--speed", "FACTOR", "replay pace: 1 as recorded (default), 0 no waiting",
        Number(0.001, 1e6, true, "must be 0 or a number from 0.001 to 1000000", o.speed));
    line.Value("--update-interval", "SECONDS", "seconds between update events",
        Number(0.05, 86400, false, "must be a number of seconds from 0.05 to 86400", o.update_interval));
    line.Value("--exit-after-input", "N", "shut down N updates after the input has ended",
        Whole(0, 1000000, "must be a whole number from 0 to 1000000",
            [&o](uint64_t n) { o.exit_after_input = static_cast<long>(n); }));
    line.Value("--run-seconds", "SECONDS", "shut down after this long (0: no limit)",
        Number(0.1, 1e7, true, "must be 0 or a number of seconds from 0.1 to 10000000", o.run_seconds));
    line.Value("--progress", "SECONDS", "period of the progress line (default 5)",
        Number(0.1, 86400, false, "must be a number of seconds from 0.1 to 86400", o.progress_interval));
    line.Values(
        "--var", "NAME=VALUE", "a variable, over the configuration's", [&o](const std::string &value) {
            size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0) return "must be NAME=VALUE";
            o.variables[value.substr(0, equals)] = value.substr(equals + 1);
            return "";
        });
    line.Values(
        "--sink", "SINK/CHANNEL=PATH", "one more sink channel output (-: stdout)", Sink(false, o.sinks));
    line.Values("--sink-table", "SINK/CHANNEL=PATH", "the same, as a readable table", Sink(true, o.sinks));
    line.Flag("--debug", "host global flag 0x1", [&o] { o.debug = true; });
    line.Flag("--verbose", "host global flag 0x8000", [&o] { o.verbose = true; });
    line.Flag("--debug-payload", "host global flag 0x2", [&o] { o.debug_payload = true; });
    line.Value("--debug-level", "N", "host debug level (0 to 255)",
        Whole(0, 255, "must be a whole number from 0 to 255",
            [&o](uint64_t n) { o.debug_level = static_cast<int>(n); }));
    // Each one adds its bits.
    line.Value("--flags", "WORD", "raw bits added to the global flags word (0x for hex)",
        Whole(0, UINT64_MAX, "must be a whole number (0x for hex)", [&o](uint64_t n) { o.flags |= n; }));
    line.Flag("--log-journal", "log lines with journald's level prefixes", [&o] { o.log_journal = true; });
}

const char *const FOOTER = "See docs/HOST.md and the ostrel-host(1) man page.";

} // namespace

bool ParseOptions(int argc, char **argv, Options &options, bool &help, std::string &error)
{
    CommandLine line("ostrel-host", FOOTER);
    Declare(line, options);
    const CommandLine::Outcome outcome = line.Parse(argc, argv, error);
    help = outcome == CommandLine::Outcome::Help;
    options.version = outcome == CommandLine::Outcome::Version;
    if (outcome != CommandLine::Outcome::Run) return outcome != CommandLine::Outcome::Bad;
    return CheckInputs(options, error);
}

std::string Usage()
{
    Options ignored;
    CommandLine line("ostrel-host", FOOTER);
    Declare(line, ignored);
    return line.Usage();
}

std::string Help()
{
    Options ignored;
    CommandLine line("ostrel-host", FOOTER);
    Declare(line, ignored);
    return line.Help();
}

} // namespace ostrel_host
