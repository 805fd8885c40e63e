#include "capture/pcap_source.h"

#include <net/if.h>
#include <pcap/pcap.h>
#include <sys/stat.h>

#include <cstdio>

#include "capture/tracker.h"

namespace ostrel_capture {

namespace {

std::string LinkTypeText(int link_type)
{
    const char *name = pcap_datalink_val_to_name(link_type);
    std::string text = "link type " + std::to_string(link_type);
    if (name != nullptr) text += std::string(" (") + name + ")";
    return text;
}

// libpcap's texts often begin with the name already.
std::string Named(const std::string &name, std::string reason)
{
    const std::string prefix = name + ": ";
    if (reason.compare(0, prefix.size(), prefix) == 0) reason.erase(0, prefix.size());
    return prefix + reason;
}

// How much a 32-bit counter went up since `last`, across a wrap.
uint64_t Increment(uint64_t now, uint64_t &last)
{
    uint64_t step = static_cast<uint32_t>(now - last);
    last = now;
    return step;
}

} // namespace

PcapSource::~PcapSource()
{
    Close();
}

std::string CaptureStatsText(const CaptureStats &stats)
{
    return std::to_string(stats.received) + " packets received by filter, " + std::to_string(stats.dropped)
        + " dropped by kernel, " + std::to_string(stats.if_dropped) + " dropped by interface";
}

void PcapSource::Close()
{
    CaptureStats ignored;
    if (live) Stats(ignored);
    if (handle != nullptr) pcap_close(handle);
    handle = nullptr;
}

bool PcapSource::Stats(CaptureStats &stats)
{
    if (!live) return false;
    pcap_stat now {};
    if (handle != nullptr && pcap_stats(handle, &now) == 0) {
        totals.received += Increment(now.ps_recv, raw.received);
        totals.dropped += Increment(now.ps_drop, raw.dropped);
        totals.if_dropped += Increment(now.ps_ifdrop, raw.if_dropped);
    }
    stats = totals;
    return true;
}

bool PcapSource::OpenFile(const std::string &path)
{
    if (handle != nullptr) {
        pcap_close(handle);
        handle = nullptr;
    }
    name = path;
    live = false;
    totals = CaptureStats();
    size = 0;
    records = 0;
    error.clear();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    handle = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (handle == nullptr) {
        error = Named(path, errbuf);
        return false;
    }
    link_type = pcap_datalink(handle);
    if (!LinkTypeSupported(link_type)) {
        error = path + ": " + LinkTypeText(link_type) + " is not read";
        pcap_close(handle);
        handle = nullptr;
        return false;
    }
    struct stat info {
    };
    if (stat(path.c_str(), &info) == 0 && info.st_size > 0) size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool PcapSource::OpenLive(const std::string &interface, const LiveOptions &options)
{
    if (handle != nullptr) {
        pcap_close(handle);
        handle = nullptr;
    }
    if (interface != name || !live) totals = CaptureStats();
    name = interface;
    live = true;
    raw = CaptureStats(); // a new handle counts from 0
    size = 0;
    error.clear();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    handle = pcap_create(interface.c_str(), errbuf);
    if (handle == nullptr) {
        error = Named(interface, errbuf);
        return false;
    }
    pcap_set_snaplen(handle, options.snap_length);
    pcap_set_promisc(handle, options.promiscuous ? 1 : 0);
    // Frames as they come, not in batches: the daemon polls the fd.
    pcap_set_immediate_mode(handle, 1);
    pcap_set_buffer_size(handle, options.buffer_bytes);
    pcap_set_tstamp_precision(handle, PCAP_TSTAMP_PRECISION_MICRO);
    int status = pcap_activate(handle);
    if (status < 0) {
        const std::string summary = pcap_statustostr(status);
        const char *detail = pcap_geterr(handle);
        std::string reason = detail != nullptr ? detail : "";
        if (reason.empty())
            reason = summary;
        else if (reason.find(summary) == std::string::npos)
            reason = summary + ": " + reason;
        error = Named(interface, reason);
        pcap_close(handle);
        handle = nullptr;
        return false;
    }
    link_type = pcap_datalink(handle);
    if (!LinkTypeSupported(link_type)) {
        error = interface + ": " + LinkTypeText(link_type) + " is not read";
        pcap_close(handle);
        handle = nullptr;
        return false;
    }
    if (pcap_setnonblock(handle, 1, errbuf) != 0) {
        error = Named(interface, errbuf);
        pcap_close(handle);
        handle = nullptr;
        return false;
    }
    if_index = if_nametoindex(interface.c_str());
    return true;
}

bool PcapSource::Vanished()
{
    if (handle == nullptr || !live || if_index == 0) return false;
    if (if_nametoindex(name.c_str()) == if_index) return false;
    error = name + ": the interface disappeared";
    return true;
}

bool PcapSource::SetFilter(const std::string &bpf)
{
    if (handle == nullptr) {
        error = name + ": not open";
        return false;
    }
    if (bpf.empty()) return true;
    bpf_program program {};
    if (pcap_compile(handle, &program, bpf.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        error = name + ": filter \"" + bpf + "\": " + pcap_geterr(handle);
        return false;
    }
    int status = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (status != 0) {
        error = name + ": filter \"" + bpf + "\": " + pcap_geterr(handle);
        return false;
    }
    return true;
}

PcapSource::Result PcapSource::Next(CapturedFrame &frame)
{
    if (handle == nullptr) {
        error = name + ": not open";
        return FAILED;
    }
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int status = pcap_next_ex(handle, &header, &data);
    if (status == 1) {
        frame.data = data;
        frame.caplen = header->caplen;
        frame.wirelen = header->len;
        frame.time_usec = static_cast<int64_t>(header->ts.tv_sec) * 1000000 + header->ts.tv_usec;
        records++;
        return FRAME;
    }
    if (status == 0) return NONE_YET;
    if (status == PCAP_ERROR_BREAK) return END;
    error = Named(name, pcap_geterr(handle));
    // Where a file broke: every record before this one was read.
    if (!live) error.insert(name.size() + 2, "record " + std::to_string(records + 1) + ": ");
    return FAILED;
}

int PcapSource::SelectableFd() const
{
    if (handle == nullptr || !live) return -1;
    return pcap_get_selectable_fd(handle);
}

uint64_t PcapSource::Position() const
{
    if (handle == nullptr || live) return 0;
    FILE *file = pcap_file(handle);
    if (file == nullptr) return 0;
    long at = std::ftell(file);
    return at > 0 ? static_cast<uint64_t>(at) : 0;
}

} // namespace ostrel_capture
