// Frames from libpcap: a capture file (pcap or pcapng) or a live interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct pcap;

namespace ostrel_capture {

struct LiveOptions {
    bool promiscuous = true;
    int snap_length = 262144; // whole frames, so a ClientHello is never cut
    // Kernel ring of a live capture. In immediate mode each frame takes a
    // slot sized for the largest frame the interface may hand over: about 64
    // KiB on one with receive offloads, so libpcap's default of 2 MiB holds
    // only ~32 frames and a short burst is lost. 32 MiB holds ~500 of them.
    int buffer_bytes = 32 * 1024 * 1024;
};

// A live capture's counts, as tcpdump reports them (pcap_stats).
struct CaptureStats {
    uint64_t received = 0; // by the filter
    uint64_t dropped = 0; // by the kernel: its ring was full
    uint64_t if_dropped = 0; // by the interface or its driver
};

// "N packets received by filter, N dropped by kernel, N dropped by interface"
std::string CaptureStatsText(const CaptureStats &stats);

struct CapturedFrame {
    const uint8_t *data = nullptr; // valid until the next call
    size_t caplen = 0;
    size_t wirelen = 0;
    int64_t time_usec = 0;
};

class PcapSource
{
public:
    enum Result { FRAME, NONE_YET, END, FAILED };

    PcapSource() = default;
    ~PcapSource();
    PcapSource(const PcapSource &) = delete;
    PcapSource &operator=(const PcapSource &) = delete;

    // False with Error() set ("<file>: <reason>"); also for link types the
    // tracker does not read.
    bool OpenFile(const std::string &path);
    bool OpenLive(const std::string &interface, const LiveOptions &options);
    // An empty filter is none.
    bool SetFilter(const std::string &bpf);
    // Lets go of the file or interface; Next then fails until opened again.
    // A live capture's counts are taken first.
    void Close();
    // The counts of live captures of this interface since OpenLive was first
    // called for it, reopenings added up; false for a file.
    bool Stats(CaptureStats &stats);

    // FRAME: `frame` is filled. NONE_YET: nothing now (live). END: the file is
    // done. FAILED: Error() says why ("<file>: record N: <reason>" for a file).
    Result Next(CapturedFrame &frame);
    // True, with Error() set, when the live capture's interface is gone or
    // made again under another index. The kernel wakes a reader only once,
    // when the interface goes down, and libpcap may take that for a plain
    // "down" if the interface is not yet unregistered; nothing wakes it after.
    bool Vanished();

    int LinkType() const { return link_type; }
    // For poll(): -1 for files.
    int SelectableFd() const;
    // Bytes of the file read so far and its size, for progress (0 when live).
    uint64_t Position() const;
    uint64_t Size() const { return size; }
    const std::string &Error() const { return error; }
    const std::string &Name() const { return name; }
    bool Live() const { return live; }

private:
    pcap *handle = nullptr;
    int link_type = 0;
    bool live = false;
    uint64_t size = 0;
    uint64_t records = 0; // read from the file so far
    unsigned if_index = 0; // of the live interface when opened; 0 for "any"
    std::string name;
    std::string error;
    // pcap_stats' 32-bit counters of the open handle, last read; their
    // increments add up in `totals`, so neither a wrap nor a reopening loses any.
    CaptureStats raw;
    CaptureStats totals;
};

} // namespace ostrel_capture
