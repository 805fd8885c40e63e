// The stand-in daemon: loads processor plug-ins, feeds them flows read from a
// capture, sends their reload and update events, writes their sink payloads,
// and stops them cleanly. Runs on the process's main thread; SIGHUP, SIGINT
// and SIGTERM must be blocked in every thread before Run (see BlockSignals).
#pragma once

#include "daemon/options.h"

namespace ostrel_host {

// Blocks the signals the daemon waits for, in this thread and every thread
// started after it, and ignores SIGPIPE and SIGXFSZ. Call before anything else (ostrel-host
// calls it before main). Signals already pending stay pending and are read
// by the run loop.
void BlockSignals();

// Runs the daemon; returns the process exit status.
int RunDaemon(const Options &options);

} // namespace ostrel_host
