// Helpers of the tests that run ostrel-host on the shared captures: its
// command line with the plug-in (API off, state in a test folder), and its
// flow dump read back line by line as the plug-in would see each flow.
#pragma once

#include <string>
#include <vector>

#include "tests/capture/answer_check.h"
#include "tests/support/host_fixture.h"

namespace ostrel_test {

// ostrel-host with the real plug-in, configured in `dir` (cache there, no
// classification API), then `extra`.
std::vector<std::string> HostArgs(const TempDir &dir, const std::vector<std::string> &extra);

struct DumpObservations {
    std::vector<Observation> observations;
    size_t lines = 0;
    std::string errors; // one line per line that did not read as a flow
};

// Reads a flow dump with the flow-line reader the daemon's --input uses.
DumpObservations ReadDump(const std::string &path);

} // namespace ostrel_test
