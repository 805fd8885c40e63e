// Where the daemon's flows come from: recorded flow lines, a capture file or a
// live interface. The daemon's loop polls an input's descriptor, wakes it at
// the time it asks for, lets it read what is there and takes the flows that
// are due. Used on the daemon's main thread only.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "host/oz_flow.h"
#include "host/oz_plugin.h"

namespace ostrel_host {

using Clock = std::chrono::steady_clock;

// Longest wait the daemon ever computes: thirty years, far inside the
// clock's range, so that no product of a time and a pace can overflow it.
constexpr double LONGEST_WAIT_SECONDS = 1e9;

inline Clock::duration Seconds(double seconds)
{
    if (!(seconds > 0)) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::min(seconds, LONGEST_WAIT_SECONDS)));
}

// One flow for the plug-ins, with the event it comes with.
struct InputFlow {
    std::shared_ptr<ozFlow> flow;
    ozPluginProcessor::Event event = ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE;
    // Seconds from the start of the input; negative when unknown.
    double time = -1;
};

class FlowInput
{
public:
    virtual ~FlowInput() = default;

    // Opens the source; false after logging why.
    virtual bool Open() = 0;
    // A descriptor to poll for reading, or -1 when there is none to wait on now.
    virtual int PollFd() const = 0;
    // The latest time the input wants its next Service call by, without its
    // descriptor becoming readable (Clock::time_point::max() for none).
    virtual Clock::time_point WakeAt(Clock::time_point now) const = 0;
    // Reads what is there now, never waiting. `readable`: poll said so.
    virtual void Service(Clock::time_point now, bool readable) = 0;
    // The next flow due at `now`; false when none is.
    virtual bool Take(Clock::time_point now, InputFlow &flow) = 0;
    // The input has ended and every flow of it was taken.
    virtual bool Done() const = 0;

    // Flows made so far, taken or not.
    virtual uint64_t FlowsRead() const = 0;
    // The progress line's counts: "12 flows read, 0 lines skipped".
    virtual std::string Counts() const = 0;
    // What was skipped, for the summary: "0 lines skipped".
    virtual std::string Skipped() const = 0;
    // A live capture's packet counts for the progress line and the summary
    // ("N packets received by filter, ..."); empty when the input has none.
    virtual std::string CaptureStats() { return std::string(); }
    // Lines logged once when the input ends (each without "ostrel-host: ").
    virtual std::string EndReport() const { return std::string(); }
    // The exit status the input asks for at the stop (0: it read soundly),
    // and why, for the log.
    virtual int FailureStatus() const { return 0; }
    virtual std::string Failure() const { return std::string(); }
};

} // namespace ostrel_host
