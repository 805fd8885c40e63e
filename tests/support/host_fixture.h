// The GoogleTest layer of the test support: a fixture that installs the host
// singletons, captures the log and sink payloads, and drives a manual clock;
// the core helpers (tests/support/*.h) come with it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/ozhost.h"
#include "host/standin/standin.h"
#include "tests/support/eventually.h"
#include "tests/support/files.h"
#include "tests/support/flows.h"
#include "tests/support/standin_host.h"
#include "tests/support/thrown.h"

namespace ostrel_test {

struct SinkCall {
    std::string tag;
    std::string sink;
    std::set<std::string> channels;
    nlohmann::json payload;
    uint8_t flags;
};

// Records DispatchSinkPayload calls while it lives.
class SinkCapture
{
public:
    SinkCapture();
    ~SinkCapture();
    std::vector<SinkCall> Calls() const;
    void Clear();

private:
    struct State;
    std::shared_ptr<State> state;
};

// Host singletons, log capture, sink capture and a manual clock.
class HostFixture : public ::testing::Test
{
protected:
    HostFixture();
    ~HostFixture() override;

    // Debug mode on (flags word bit 0x1) with the given debug level.
    void SetDebug(bool on, uint8_t level = 0);
    void SetFlags(uint64_t flags) { global.flags = flags; }

    StandinHost standin;
    ozGlobalConfig &global = standin.global;
    ozInstance &host = standin.instance;
    ostrel_standin::LogCapture log;
    ostrel_standin::ManualClock clock;
    SinkCapture sinks;
    TempDir dir;
};

// A parameter text as a test name: letters and digits kept, anything else
// an underscore ("android.pcap" gives "android_pcap").
std::string ParamName(const ::testing::TestParamInfo<std::string> &info);

} // namespace ostrel_test
