#include "daemon/packet_input.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "capture/protocols.h"
#include "host/oz_log.h"
#include "host/standin/standin.h"

namespace ostrel_host {

namespace {

using ostrel_standin::LogAt;
using ostrel_standin::LogLevel;

// Frames read in one go before the loop looks at signals and timers again.
constexpr int FRAMES_PER_SERVICE = 2048;
// ...or once this many events wait, so that frames rich in values (64 mDNS
// names each) do not queue hundreds of thousands of record copies at once.
constexpr size_t EVENTS_PER_SERVICE = 4096;
constexpr int64_t EXPIRE_EVERY_USEC = 1000000;

ozAddr FromText(const std::string &text)
{
    ozAddr addr;
    ozAddr::Create(addr, text);
    return addr;
}

void SetEndpoint(const ostrel_capture::Endpoint &end, ozAddr &mac, ozAddr &ip)
{
    if (end.has_mac) mac = FromText(ostrel_capture::MacText(end.mac));
    if (end.ip.family == 4 || end.ip.family == 6) ip = FromText(end.ip.Text());
}

int64_t WallClockUsec()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Number(uint64_t value)
{
    return std::to_string(value);
}

std::string KiB(uint64_t bytes)
{
    return Number((bytes + 1023) / 1024) + " KiB";
}

// What the packet path let go of to stay within its bounds; empty if nothing.
std::string GivenUp(const ostrel_capture::CaptureCounters &c)
{
    if (c.flows_given_way + c.stream_pieces_dropped + c.mdns_names_dropped + c.user_agents_dropped == 0)
        return std::string();
    return "given up: " + Number(c.flows_given_way) + " inspections (" + KiB(c.bytes_given_way)
        + ") to the memory budget, " + Number(c.stream_pieces_dropped) + " TCP segments past the held gaps, "
        + Number(c.mdns_names_dropped) + " mDNS names and " + Number(c.user_agents_dropped)
        + " user agents past a flow's bound";
}

// Whole seconds, rounded up: "in 1 s", never "in 0 s".
long long WholeSeconds(Clock::duration duration)
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
    return ms <= 0 ? 0 : (ms + 999) / 1000;
}

} // namespace

bool DropWatch::Update(uint64_t dropped, Clock::time_point now)
{
    if (dropped <= last) return false;
    last = dropped;
    const bool warn = !warned || now - last_drop_at >= QUIET;
    warned = true;
    last_drop_at = now;
    return warn;
}

std::shared_ptr<ozFlow> HostFlow(const ostrel_capture::FlowRecord &record)
{
    auto flow = std::make_shared<ozFlow>();
    flow->origin = record.origin;
    SetEndpoint(record.lower, flow->lower_mac, flow->lower_addr);
    SetEndpoint(record.upper, flow->upper_mac, flow->upper_addr);
    flow->detected_protocol = record.detected_protocol;
    flow->host_name = record.host_name;
    flow->dhcp.class_ident = record.dhcp_class_ident;
    flow->dhcp.fingerprint = record.dhcp_fingerprint;
    flow->user_agent = record.user_agent;
    flow->user_agent_source = record.user_agent_source;
    flow->tls.client_ja4 = record.tls_client_ja4;
    flow->mdns.domain_name = record.mdns_domain_name;
    return flow;
}

PacketInput::PacketInput(const PacketInputOptions &options)
    : options(options)
    , tracker(options.tracker, [this](ostrel_capture::FlowEvent &&event) {
        events.push_back(std::move(event));
        flows_read++;
    })
{
}

PacketInput::~PacketInput() = default;

bool PacketInput::OpenSource()
{
    bool opened = false;
    if (options.file.empty()) {
        ostrel_capture::LiveOptions live_options;
        live_options.promiscuous = options.promiscuous;
        if (options.snaplen > 0) live_options.snap_length = options.snaplen;
        if (options.buffer_size > 0) live_options.buffer_bytes = options.buffer_size;
        opened = source.OpenLive(options.interface, live_options);
    } else {
        opened = source.OpenFile(options.file);
    }
    if (opened && source.SetFilter(options.bpf)) return true;
    source.Close();
    return false;
}

bool PacketInput::Open()
{
    bool live = options.file.empty();
    name = live ? options.interface : options.file;
    if (!OpenSource()) {
        LogAt(LogLevel::Error, "ostrel-host: %s\n", source.Error().c_str());
        return false;
    }
    oz_printf("ostrel-host: %s: %s, link type %d%s%s\n", name.c_str(),
        live ? "capturing live" : "reading capture file", source.LinkType(),
        options.bpf.empty() ? "" : ", filter ", options.bpf.c_str());
    next_live_expire = Clock::now() + std::chrono::seconds(1);
    return true;
}

int PacketInput::PollFd() const
{
    return ended ? -1 : source.SelectableFd();
}

Clock::time_point PacketInput::WakeAt(Clock::time_point now) const
{
    if (!events.empty()) return now;
    if (ended) return Clock::time_point::max();
    if (down) return std::min(next_live_expire, reopen_at);
    if (source.Live()) return next_live_expire;
    return holding ? held_due : now;
}

void PacketInput::Service(Clock::time_point now, bool readable)
{
    if (ended) return;
    if (down) {
        if (now >= reopen_at) Reopen(now);
    } else if (source.Live()) {
        if (readable) ReadLive(now);
    } else {
        ReadFile(now);
    }
    if (source.Live()) {
        // Idle flows end by the wall clock too: a quiet network has no
        // packets to move the capture's clock on.
        if (!ended && now >= next_live_expire) {
            if (!down && source.Vanished()) CaptureDown(now);
            tracker.Expire(WallClockUsec());
            WatchDrops(now);
            next_live_expire = now + std::chrono::seconds(1);
        }
    }
}

void PacketInput::ReadFile(Clock::time_point now)
{
    for (int i = 0; i < FRAMES_PER_SERVICE && !ended && events.size() < EVENTS_PER_SERVICE; i++) {
        if (!holding) {
            ostrel_capture::PcapSource::Result result = source.Next(held);
            if (result == ostrel_capture::PcapSource::END) return End(nullptr);
            if (result == ostrel_capture::PcapSource::FAILED) {
                // A record cut short, a length past the snap length, a
                // second link type: the file is broken from here on.
                broken = source.Error();
                return End(broken.c_str());
            }
            if (result != ostrel_capture::PcapSource::FRAME) return;
            if (!have_first) start = now;
            held_due = start;
            // The pace counts from the first frame; one stamped before it goes at once.
            if (options.speed > 0 && have_first && held.time_usec > first_usec)
                held_due += Seconds(static_cast<double>(held.time_usec - first_usec) / 1e6 / options.speed);
            holding = true;
        }
        if (now < held_due) return;
        holding = false;
        Feed(held);
    }
}

void PacketInput::ReadLive(Clock::time_point now)
{
    ostrel_capture::CapturedFrame frame;
    for (int i = 0; i < FRAMES_PER_SERVICE && events.size() < EVENTS_PER_SERVICE; i++) {
        ostrel_capture::PcapSource::Result result = source.Next(frame);
        if (result == ostrel_capture::PcapSource::FRAME)
            Feed(frame);
        else if (result == ostrel_capture::PcapSource::NONE_YET)
            return;
        else if (result == ostrel_capture::PcapSource::FAILED)
            return CaptureDown(now);
        else
            return End(nullptr);
    }
}

// The interface went away (unplugged, a bridge or tap re-created) or broke:
// it is opened again with a growing wait, so that the capture goes on once
// it is back. Open flows stay; the wall clock ends the idle ones.
void PacketInput::CaptureDown(Clock::time_point now)
{
    LogAt(LogLevel::Warning, "ostrel-host: %s; capture down, opening it again in %lld s\n",
        source.Error().c_str(), WholeSeconds(options.reopen_first));
    source.Close();
    down = true;
    down_since = now;
    reopen_wait = options.reopen_first;
    reopen_at = now + reopen_wait;
}

void PacketInput::Reopen(Clock::time_point now)
{
    if (OpenSource()) {
        down = false;
        oz_printf("ostrel-host: %s: capturing live again after %lld s down, link type %d\n", name.c_str(),
            WholeSeconds(now - down_since), source.LinkType());
        return;
    }
    reopen_wait = std::min(reopen_wait * 2, std::max(options.reopen_most, options.reopen_first));
    reopen_at = now + reopen_wait;
    LogAt(LogLevel::Warning, "ostrel-host: %s; still down, next try in %lld s\n", source.Error().c_str(),
        WholeSeconds(reopen_wait));
}

void PacketInput::WatchDrops(Clock::time_point now)
{
    ostrel_capture::CaptureStats stats;
    if (!source.Stats(stats) || !drops.Update(stats.dropped + stats.if_dropped, now)) return;
    LogAt(LogLevel::Warning,
        "ostrel-host: %s: packets lost before the capture read them: %s; a larger --buffer-size may help\n",
        name.c_str(), ostrel_capture::CaptureStatsText(stats).c_str());
}

void PacketInput::Feed(const ostrel_capture::CapturedFrame &frame)
{
    if (!have_first) {
        have_first = true;
        first_usec = frame.time_usec;
        next_expire_usec = frame.time_usec + EXPIRE_EVERY_USEC;
    }
    if (frame.time_usec > last_usec || last_usec == 0) last_usec = frame.time_usec;
    tracker.Frame(source.LinkType(), frame.data, frame.caplen, frame.wirelen, frame.time_usec);
    // Idle flows end as the capture's clock moves on.
    if (last_usec >= next_expire_usec) {
        tracker.Expire(last_usec);
        next_expire_usec = last_usec + EXPIRE_EVERY_USEC;
    }
}

void PacketInput::End(const char *why)
{
    // A broken file ends the input, like a failed read of flow lines; what
    // was read still counts.
    if (why != nullptr) LogAt(LogLevel::Warning, "ostrel-host: %s; input ended\n", why);
    holding = false;
    tracker.Flush(source.Live() ? WallClockUsec() : last_usec);
    ended = true;
}

bool PacketInput::Take(Clock::time_point, InputFlow &flow)
{
    if (events.empty()) return false;
    ostrel_capture::FlowEvent &event = events.front();
    flow.flow = HostFlow(event.flow);
    flow.event = static_cast<ozPluginProcessor::Event>(event.type);
    flow.time = have_first && event.time_usec > first_usec
        ? static_cast<double>(event.time_usec - first_usec) / 1e6
        : 0.0;
    events.pop_front();
    return true;
}

uint64_t PacketInput::ParseErrors() const
{
    const ostrel_capture::CaptureCounters &counters = tracker.Counters();
    return counters.malformed + counters.truncated + (broken.empty() ? 0 : 1);
}

int PacketInput::FailureStatus() const
{
    if (!broken.empty()) return EXIT_INPUT_BROKEN;
    if (down) return EXIT_CAPTURE_DOWN;
    return 0;
}

std::string PacketInput::Failure() const
{
    if (!broken.empty()) return broken + " (the capture file broke there)";
    if (down) return name + ": the live capture was down at the stop";
    return std::string();
}

std::string PacketInput::Counts() const
{
    const ostrel_capture::CaptureCounters &counters = tracker.Counters();
    std::string text;
    if (!source.Live() && source.Size() > 0) {
        uint64_t percent = source.Position() >= source.Size() ? 100 : source.Position() * 100 / source.Size();
        text = Number(percent) + "% of " + name + ", ";
    } else {
        text = name + ": ";
    }
    text += Number(counters.frames) + " packets, " + Number(counters.flows) + " flows";
    // By the protocol found, counted as flows end.
    if (!counters.flows_by_protocol.empty()) {
        text += " (";
        bool first = true;
        for (const auto &entry : counters.flows_by_protocol) {
            if (!first) text += ", ";
            first = false;
            text += std::string(ostrel_capture::ProtocolName(entry.first)) + " " + Number(entry.second);
        }
        text += ")";
    }
    text += ", " + Number(ParseErrors()) + " parse errors; " + Number(flows_read) + " flows read";
    text += "; " + KiB(tracker.HeldBytes()) + " held";
    std::string given_up = GivenUp(counters);
    if (!given_up.empty()) text += ", " + given_up;
    return text;
}

std::string PacketInput::CaptureStats()
{
    ostrel_capture::CaptureStats stats;
    return source.Stats(stats) ? ostrel_capture::CaptureStatsText(stats) : std::string();
}

std::string PacketInput::Skipped() const
{
    const ostrel_capture::CaptureCounters &counters = tracker.Counters();
    return Number(counters.frames) + " packets, " + Number(ParseErrors()) + " parse errors";
}

std::string PacketInput::EndReport() const
{
    const ostrel_capture::CaptureCounters &c = tracker.Counters();
    return name + ": " + Number(c.frames) + " packets, " + Number(c.bytes) + " bytes, " + Number(c.ip_packets)
        + " IP; skipped: " + Number(c.malformed) + " malformed, " + Number(c.truncated) + " truncated, "
        + Number(c.fragments) + " fragments, " + Number(c.not_ip) + " not IP, " + Number(c.other_transport)
        + " neither TCP nor UDP; flows: " + Number(c.flows) + " started, " + Number(c.flows_ended)
        + " ended, " + Number(c.flows_expired) + " idle, " + Number(c.flows_evicted) + " evicted, at most "
        + Number(c.peak_flows) + " at once; " + Number(c.events) + " events; memory: at most "
        + KiB(c.peak_held_bytes) + " held of " + KiB(options.tracker.memory_budget)
        + (GivenUp(c).empty() ? ", nothing given up" : ", " + GivenUp(c));
}

} // namespace ostrel_host
