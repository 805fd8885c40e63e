// ostrel-host: a small stand-in for the ostreld daemon, to run processor
// plug-ins on recorded flows (see docs/HOST.md).
#include <iostream>
#include <string>

#include "ostrel_version.h"
#include "daemon/host_daemon.h"
#include "common/install_paths.h"

namespace {

// Runs before main and before the initialisers of every library, so that no
// thread a library might start, and no code of ours, ever sees these signals
// unblocked: each then waits for the daemon's signalfd. (The moments before
// this, while the kernel and the loader set the program up, are beyond any
// program's reach: a supervisor that signals at once starts the daemon with
// the signals blocked; see docs/HOST.md.)
void BlockSignalsFirst(int, char **, char **)
{
    ostrel_host::BlockSignals();
}

__attribute__((section(".preinit_array"), used)) void (*const block_signals_first)(int, char **, char **)
    = BlockSignalsFirst;

} // namespace

int main(int argc, char **argv)
{
    ostrel_host::Options options;
    bool help = false;
    std::string error;
    if (!ostrel_host::ParseOptions(argc, argv, options, help, error)) {
        std::cerr << "ostrel-host: " << error << "\n" << ostrel_host::Usage();
        return 2;
    }
    if (help) {
        std::cout << ostrel_host::Help();
        return 0;
    }
    if (options.version) {
        std::cout << "ostrel-host " OSTREL_VERSION "\n";
        return 0;
    }
    // An installed host runs from its configuration under /etc by default.
    if (options.config_path.empty()) options.config_path = ostrel_tools::DefaultHostConfigPath();
    return ostrel_host::RunDaemon(options);
}
