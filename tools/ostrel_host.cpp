// ostrel-host: a small stand-in for the ostreld daemon, to run processor
// plug-ins on recorded flows (see docs/HOST.md).
#include <iostream>
#include <string>

#include "tools/host_daemon.h"

int main(int argc, char **argv)
{
    // Before any thread exists, so that every thread inherits the mask.
    ostrel_host::BlockSignals();
    ostrel_host::Options options;
    bool help = false;
    std::string error;
    if (!ostrel_host::ParseOptions(argc, argv, options, help, error)) {
        std::cerr << "ostrel-host: " << error << "\n" << ostrel_host::Usage();
        return 2;
    }
    if (help) {
        std::cout << ostrel_host::Usage();
        return 0;
    }
    return ostrel_host::RunDaemon(options);
}
