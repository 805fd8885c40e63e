// ostrel-host's command line: the options, their parsing, the usage and the help.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/tracker.h"
#include "daemon/host_config.h"
#include "host/oz_util.h"

namespace ostrel_host {

struct Options {
    std::string config_path;
    // Override the first plug-in of the configuration (made when it has none).
    std::string plugin;
    std::string conf;
    std::string tag;
    // At most one input. Flow lines: empty for none, "-" for stdin.
    std::string input;
    // Packets: a capture file or a live interface, with an optional filter.
    std::string pcap;
    std::string interface;
    std::string bpf;
    bool promiscuous = true;
    ostrel_capture::TrackerOptions tracker;
    // Every flow dispatched is also written here as a flow line.
    std::string dump_flows;
    // Replay pace against the lines' "time" or the capture's timestamps: 2 is
    // twice as fast, 0 no waiting; otherwise from 0.001 to 1000000.
    double speed = 1;
    double update_interval = 0; // 0: from the configuration
    // -1: keep running after the input ends. Otherwise, once the input has
    // ended and the plug-ins hold none of its flows, this many updates.
    long exit_after_input = -1;
    double run_seconds = 0; // 0: no limit
    double progress_interval = 5;
    ozVariableMap variables;
    // Live captures only: bytes kept of each frame (0: whole frames) and the
    // kernel's ring for frames not yet read (0: the capture's default).
    int snaplen = 0;
    int buffer_size = 0;
    // Log lines with the journal's level prefixes; also when stderr is the
    // journal's stream (JOURNAL_STREAM).
    bool log_journal = false;
    bool debug = false;
    bool verbose = false;
    bool debug_payload = false;
    int debug_level = -1; // -1: from the configuration
    uint64_t flags = 0;
    std::vector<SinkChannelSpec> sinks;
    // --version: print the release and exit.
    bool version = false;
};

// Parses the command line. False with `error` set on a bad option; `help`
// is set for --help and `options.version` for --version, which end the parse
// where they stand.
bool ParseOptions(int argc, char **argv, Options &options, bool &help, std::string &error);
// Every option in one synopsis, printed after a bad command line.
std::string Usage();
// --help: a usage line and every option with its value and description.
std::string Help();

} // namespace ostrel_host
