// Flow input from packets: a capture file (pcap or pcapng), paced by its
// timestamps, or a live interface, through the capture library's tracker.
// Each flow event becomes a flow of its own for the plug-ins.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "capture/pcap_source.h"
#include "capture/tracker.h"
#include "daemon/flow_input.h"

namespace ostrel_host {

struct PacketInputOptions {
    std::string file; // a capture file, or
    std::string interface; // a live interface
    std::string bpf; // empty: every packet
    bool promiscuous = true;
    int snaplen = 0; // live: 0 for whole frames
    int buffer_size = 0; // live: 0 for the capture's default
    double speed = 1; // files only: 0 for no waiting
    ostrel_capture::TrackerOptions tracker;
    // A live interface that fails (unplugged, re-created) is opened again
    // after this, the wait doubling up to `reopen_most` while it stays away.
    Clock::duration reopen_first = std::chrono::seconds(1);
    Clock::duration reopen_most = std::chrono::seconds(30);
};

// Exit statuses an input asks for (FailureStatus).
constexpr int EXIT_INPUT_BROKEN = 3; // a capture file broke part-way
constexpr int EXIT_CAPTURE_DOWN = 4; // the live interface was down at the stop

// Says when a live capture's drops are worth a warning: when they start,
// and again only once none came for QUIET, so that a capture that keeps
// falling behind does not fill the log.
class DropWatch
{
public:
    static constexpr Clock::duration QUIET = std::chrono::seconds(60);

    // `dropped`: the drops so far. True when a warning is due now.
    bool Update(uint64_t dropped, Clock::time_point now);

private:
    uint64_t last = 0;
    bool warned = false;
    Clock::time_point last_drop_at;
};

// The host's flow record for a capture's one; addresses as the host parses
// them from text.
std::shared_ptr<ozFlow> HostFlow(const ostrel_capture::FlowRecord &record);

class PacketInput : public FlowInput
{
public:
    explicit PacketInput(const PacketInputOptions &options);
    ~PacketInput() override;
    PacketInput(const PacketInput &) = delete;
    PacketInput &operator=(const PacketInput &) = delete;

    bool Open() override;
    int PollFd() const override;
    Clock::time_point WakeAt(Clock::time_point now) const override;
    void Service(Clock::time_point now, bool readable) override;
    bool Take(Clock::time_point now, InputFlow &flow) override;
    bool Done() const override { return ended && events.empty(); }

    uint64_t FlowsRead() const override { return flows_read; }
    std::string Counts() const override;
    std::string CaptureStats() override;
    std::string Skipped() const override;
    std::string EndReport() const override;
    int FailureStatus() const override;
    std::string Failure() const override;

private:
    bool OpenSource();
    void ReadFile(Clock::time_point now);
    void ReadLive(Clock::time_point now);
    void CaptureDown(Clock::time_point now);
    void Reopen(Clock::time_point now);
    void Feed(const ostrel_capture::CapturedFrame &frame);
    void WatchDrops(Clock::time_point now);
    void End(const char *why);
    uint64_t ParseErrors() const;

    PacketInputOptions options;
    std::string name;
    ostrel_capture::PcapSource source;
    ostrel_capture::Tracker tracker;
    std::deque<ostrel_capture::FlowEvent> events;
    uint64_t flows_read = 0;
    bool ended = false;
    // The file broke part-way: Error() of the source then, kept for the stop.
    std::string broken;

    // Capture time of the first and the last frame, and of the next idle check.
    bool have_first = false;
    int64_t first_usec = 0;
    int64_t last_usec = 0;
    int64_t next_expire_usec = 0;
    // Pacing: a frame read before its time is held (its bytes stay valid
    // until the next read).
    Clock::time_point start;
    bool holding = false;
    ostrel_capture::CapturedFrame held;
    Clock::time_point held_due;
    // Live: the wall clock's idle checks.
    Clock::time_point next_live_expire;
    DropWatch drops;
    // Live: the interface failed and is opened again at `reopen_at`.
    bool down = false;
    Clock::time_point down_since;
    Clock::time_point reopen_at;
    Clock::duration reopen_wait {};
};

} // namespace ostrel_host
