// Flow input from JSON Lines (see ParseFlowLine): a file, a FIFO or stdin.
// A line with a "time" is held until that time, divided by the pace, has
// passed since the first byte arrived; nothing after it is read meanwhile.
#pragma once

#include <string>

#include "daemon/flow_input.h"
#include "daemon/flow_line.h"
#include "daemon/line_framer.h"

namespace ostrel_host {

class LineInput : public FlowInput
{
public:
    // `path`: a file or FIFO, "-" for stdin. `speed`: 0 for no waiting.
    LineInput(const std::string &path, double speed);
    ~LineInput() override;
    LineInput(const LineInput &) = delete;
    LineInput &operator=(const LineInput &) = delete;

    bool Open() override;
    int PollFd() const override { return have_pending ? -1 : fd; }
    Clock::time_point WakeAt(Clock::time_point now) const override;
    void Service(Clock::time_point now, bool readable) override;
    bool Take(Clock::time_point now, InputFlow &flow) override;
    bool Done() const override { return fd < 0 && !have_pending && framer.Empty(); }

    uint64_t FlowsRead() const override { return flows_read; }
    std::string Counts() const override;
    std::string Skipped() const override;

private:
    void Close();

    std::string path;
    std::string name;
    double speed;
    int fd = -1;
    LineFramer framer {FLOW_LINE_MAX_BYTES};
    LineFramer::Line line;
    uint64_t flows_read = 0;
    uint64_t lines_skipped = 0;
    bool started = false; // the pace counts from the first byte read
    Clock::time_point start;
    bool have_pending = false;
    FlowLine pending;
    Clock::time_point pending_due;
};

} // namespace ostrel_host
