// The one place for host fakes: a fixture that installs the host singletons,
// captures the log and sink payloads, and drives a manual clock.
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

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::string &Path() const { return path; }
    std::string File(const std::string &name) const { return path + "/" + name; }
    // Writes `text` to the named file and returns its path.
    std::string Write(const std::string &name, const std::string &text) const;

private:
    std::string path;
};

std::string ReadFile(const std::string &path);

// Host singletons, log capture, sink capture and a manual clock.
class HostFixture : public ::testing::Test
{
protected:
    HostFixture();
    ~HostFixture() override;

    // Debug mode on (flags word bit 0x1) with the given debug level.
    void SetDebug(bool on, uint8_t level = 0);
    void SetFlags(uint64_t flags) { global.flags = flags; }

    ozGlobalConfig global;
    ozInstance host;
    ostrel_standin::LogCapture log;
    ostrel_standin::ManualClock clock;
    SinkCapture sinks;
    TempDir dir;
};

// A flow as the host would build it. `origin` 1: `mac`/`ip` is the first
// endpoint; the other endpoint is `other_mac`/`other_ip`.
struct FlowSpec {
    std::string mac = "00:11:22:33:44:55";
    std::string ip = "192.168.1.10";
    std::string other_mac = "66:77:88:99:aa:bb";
    std::string other_ip = "192.168.1.1";
    uint8_t origin = ozFlow::ORIGIN_LOWER;
    unsigned protocol = 0;
    std::string dhcp_class_ident;
    std::string dhcp_fingerprint;
    std::string host_name;
    std::string user_agent;
    uint8_t user_agent_source = ozFlow::UA_NONE;
    std::string ja4;
    std::string mdns;
    bool excluded = false;
};

std::shared_ptr<ozFlow> MakeFlow(const FlowSpec &fields);

} // namespace ostrel_test
