#include "daemon/host_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>

#include "host/ozhost.h"
#include "host/standin/standin.h"
#include "daemon/flow_dump.h"
#include "daemon/flow_input.h"
#include "common/install_paths.h"
#include "daemon/line_input.h"
#include "daemon/packet_input.h"
#include "daemon/plugin_library.h"
#include "daemon/sink_writer.h"

namespace ostrel_host {

namespace {

using ostrel_standin::LogAt;
using ostrel_standin::LogLevel;

// Flows the plug-ins still hold are waited for (before the updates that
// --exit-after-input counts) while they keep releasing some.
constexpr auto STALLED_AFTER = std::chrono::seconds(10);
// Past this many flows handed out and not yet let go of, the input waits for
// the plug-ins (again only while they keep releasing some): a capture read at
// full speed would otherwise queue a copy of every flow record it makes.
constexpr uint64_t MAX_FLOWS_IN_FLIGHT = 16384;

// A live capture's counts at the end of a line, after what it said before.
std::string CaptureText(FlowInput &input)
{
    const std::string stats = input.CaptureStats();
    return stats.empty() ? stats : "; capture: " + stats;
}

// Counts the dispatched flows that every plug-in has let go of: the host
// hands each flow out under a pointer of its own whose deleter counts, so it
// knows what was processed without looking inside a plug-in. Shared with
// those deleters, which run on plug-in threads.
struct ReleaseCounter {
    std::atomic<uint64_t> released {0};
};

struct RunningPlugin {
    PluginSpec desc;
    PluginLibrary library;
    std::unique_ptr<ozPlugin> plugin;
    ozPluginProcessor *processor = nullptr;
};

// Everything the run loop owns; destroyed in reverse order of building.
class Daemon
{
public:
    explicit Daemon(const Options &options)
        : options(options)
    {
    }
    ~Daemon() { Stop(); }

    int Run();

private:
    bool Configure();
    bool StartPlugins();
    bool OpenInput();
    void ServiceInput(bool readable);
    void Dispatch(InputFlow &flow);
    bool SettledAfterInput(Clock::time_point now);
    bool PluginsBehind(Clock::time_point now);
    void NoteReleases(Clock::time_point now);
    void HandleSignals();
    void Progress(const char *what);
    void Summary();
    void Stop();

    const Options &options;
    HostConfig config;
    ozGlobalConfig global;
    ozInstance instance;
    SinkWriter sinks;
    std::vector<std::unique_ptr<RunningPlugin>> plugins;
    int signal_fd = -1;
    bool stop = false;
    int status = 0;

    // Input state.
    std::unique_ptr<FlowInput> input;
    bool input_done = true;
    FlowDumpFile dump;

    // What became of the flows read.
    uint64_t flows_dispatched = 0;
    std::shared_ptr<ReleaseCounter> counter = std::make_shared<ReleaseCounter>();
    uint64_t flows_processed = 0; // taken when the plug-ins have stopped
    bool settled = false; // the plug-ins hold no flow since the input ended
    uint64_t last_released = 0;
    Clock::time_point last_release_at;
};

bool Daemon::Configure()
{
    try {
        if (!options.config_path.empty())
            config = LoadHostConfig(options.config_path, options.variables);
        else
            config.variables = options.variables;
    } catch (const std::exception &e) {
        oz_printf("ostrel-host: %s\n", e.what());
        return false;
    }
    if (!options.plugin.empty() || !options.conf.empty() || !options.tag.empty() || config.plugins.empty()) {
        if (config.plugins.empty()) config.plugins.push_back(PluginSpec {"dev-discovery", "", ""});
        PluginSpec &first = config.plugins.front();
        if (!options.plugin.empty()) first.library = options.plugin;
        if (!options.conf.empty()) first.conf_filename = options.conf;
        if (!options.tag.empty()) first.tag = options.tag;
    }
    for (size_t i = 0; i < config.plugins.size(); i++) {
        PluginSpec &desc = config.plugins[i];
        if (desc.library.empty()) desc.library = ostrel_tools::DefaultPluginPath();
        if (desc.conf_filename.empty()) {
            oz_printf("ostrel-host: plugins[%zu] (%s): no plug-in configuration file; give --conf FILE or "
                      "\"conf_filename\"\n",
                i, desc.tag.c_str());
            return false;
        }
    }
    if (options.update_interval > 0) config.update_interval = options.update_interval;
    config.flags |= options.flags;
    if (options.debug) config.flags |= ozGlobalConfig::GF_DEBUG;
    if (options.verbose) config.flags |= ozGlobalConfig::GF_VERBOSE;
    if (options.debug_payload) config.flags |= ozGlobalConfig::GF_DEBUG_PAYLOAD;
    if (options.debug_level >= 0) config.debug_level = static_cast<uint8_t>(options.debug_level);
    config.sinks.insert(config.sinks.end(), options.sinks.begin(), options.sinks.end());

    ozGlobalConfig::instance = &global;
    ozInstance::instance = &instance;
    try {
        ApplyHostConfig(config, global, instance);
        for (const SinkChannelSpec &sink : config.sinks) {
            sinks.AddChannel(sink.sink, sink.channel, sink.path,
                sink.table ? SinkWriter::View::TABLE : SinkWriter::View::ENCODED);
        }
    } catch (const std::exception &e) {
        oz_printf("ostrel-host: %s%s%s\n", options.config_path.c_str(),
            options.config_path.empty() ? "" : ": ", e.what());
        return false;
    }
    ostrel_standin::SetSinkHandler([this](const std::string &tag, const std::string &sink,
                                       const std::set<std::string> &channels, const nlohmann::json &payload,
                                       uint8_t flags) { sinks.Write(tag, sink, channels, payload, flags); });
    return true;
}

bool Daemon::StartPlugins()
{
    for (const PluginSpec &desc : config.plugins) {
        auto running = std::make_unique<RunningPlugin>();
        running->desc = desc;
        std::string error;
        if (!running->library.Open(desc.library, error)) {
            LogAt(LogLevel::Error, "ostrel-host: %s: %s\n", desc.tag.c_str(), error.c_str());
            return false;
        }
        running->plugin = running->library.Create(desc.tag, {{"conf_filename", desc.conf_filename}}, error);
        if (!running->plugin) {
            LogAt(LogLevel::Error, "ostrel-host: %s\n", error.c_str());
            return false;
        }
        running->processor = dynamic_cast<ozPluginProcessor *>(running->plugin.get());
        if (running->processor == nullptr) {
            LogAt(LogLevel::Error, "ostrel-host: %s: %s: not a processor plug-in\n", desc.tag.c_str(),
                desc.library.c_str());
            running->plugin.reset();
            return false;
        }
        std::string name, version;
        running->plugin->GetName(name);
        running->plugin->GetVersion(version);
        oz_printf("ostrel-host: %s: loaded %s v%s from %s\n", desc.tag.c_str(), name.c_str(), version.c_str(),
            desc.library.c_str());
        try {
            running->plugin->Create();
        } catch (const std::exception &e) {
            LogAt(LogLevel::Error, "ostrel-host: %s: cannot start: %s\n", desc.tag.c_str(), e.what());
            running->plugin.reset();
            return false;
        }
        plugins.push_back(std::move(running));
    }
    return true;
}

bool Daemon::OpenInput()
{
    if (!options.input.empty()) {
        input = std::make_unique<LineInput>(options.input, options.speed);
    } else if (!options.pcap.empty() || !options.interface.empty()) {
        PacketInputOptions packets;
        packets.file = options.pcap;
        packets.interface = options.interface;
        packets.bpf = options.bpf;
        packets.promiscuous = options.promiscuous;
        packets.snaplen = options.snaplen;
        packets.buffer_size = options.buffer_size;
        packets.speed = options.speed;
        packets.tracker = options.tracker;
        input = std::make_unique<PacketInput>(packets);
    } else {
        return true;
    }
    if (!input->Open()) return false;
    std::string error;
    if (!options.dump_flows.empty() && !dump.Open(options.dump_flows, error)) {
        oz_printf("ostrel-host: %s\n", error.c_str());
        return false;
    }
    input_done = false;
    return true;
}

// Reads what the input has now and hands out every flow that is due.
void Daemon::ServiceInput(bool readable)
{
    if (input_done) return;
    input->Service(Clock::now(), readable);
    InputFlow flow;
    uint64_t before = flows_dispatched;
    while (!stop && input->Take(Clock::now(), flow))
        Dispatch(flow);
    std::string error;
    if (flows_dispatched != before && dump.IsOpen() && !dump.Flush(error))
        oz_printf("ostrel-host: %s\n", error.c_str());
    if (input->Done()) {
        input_done = true;
        std::string report = input->EndReport();
        if (!report.empty()) oz_printf("ostrel-host: %s\n", report.c_str());
        Progress("input done");
        if (dump.IsOpen() && !dump.Close(error)) oz_printf("ostrel-host: %s\n", error.c_str());
    }
}

void Daemon::Dispatch(InputFlow &item)
{
    std::string error;
    if (dump.IsOpen() && !dump.Write(*item.flow, item.event, item.time, error))
        oz_printf("ostrel-host: %s\n", error.c_str());
    std::shared_ptr<ozFlow> flow = std::move(item.flow);
    ozFlow *raw = flow.get();
    std::shared_ptr<ReleaseCounter> count = counter;
    std::shared_ptr<ozFlow> handed(raw, [flow, count](ozFlow *) mutable {
        flow.reset();
        count->released++;
    });
    flows_dispatched++;
    for (auto &running : plugins)
        running->processor->DispatchProcessorEvent(item.event, handed);
}

// True once the input has ended and the plug-ins have let go of every flow
// dispatched, so that the updates --exit-after-input counts cover them all.
// A plug-in that keeps flows is waited for only while it releases others.
bool Daemon::SettledAfterInput(Clock::time_point now)
{
    if (settled || !input_done) return settled;
    NoteReleases(now);
    uint64_t released = last_released;
    if (released == flows_dispatched) {
        settled = true;
    } else if (now - last_release_at >= STALLED_AFTER) {
        oz_printf("ostrel-host: plug-ins still hold %llu flows and released none for %lld s; not waiting for "
                  "them\n",
            static_cast<unsigned long long>(flows_dispatched - released),
            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(STALLED_AFTER).count()));
        settled = true;
    }
    return settled;
}

bool Daemon::PluginsBehind(Clock::time_point now)
{
    NoteReleases(now);
    return flows_dispatched - last_released > MAX_FLOWS_IN_FLIGHT && now - last_release_at < STALLED_AFTER;
}

void Daemon::NoteReleases(Clock::time_point now)
{
    uint64_t released = counter->released.load();
    if (released != last_released) {
        last_released = released;
        last_release_at = now;
    }
}

void Daemon::HandleSignals()
{
    struct signalfd_siginfo info;
    while (read(signal_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        if (info.ssi_signo == SIGHUP) {
            oz_printf("ostrel-host: SIGHUP: reloading plug-in configuration\n");
            for (auto &running : plugins)
                running->plugin->DispatchEvent(ozPlugin::EVENT_RELOAD);
            // Log rotation renames the files; new ones follow.
            size_t reopened = sinks.Reopen();
            if (reopened > 0) oz_printf("ostrel-host: SIGHUP: %zu sink files reopened\n", reopened);
        } else {
            oz_printf("ostrel-host: %s: shutting down\n", strsignal(static_cast<int>(info.ssi_signo)));
            stop = true;
        }
    }
}

void Daemon::Summary()
{
    const uint64_t flows_read = input ? input->FlowsRead() : 0;
    const std::string skipped = input ? input->Skipped() : std::string("0 lines skipped");
    const std::string capture = input ? CaptureText(*input) : std::string();
    oz_printf("ostrel-host: stopped: %llu flows read, %llu dispatched, %llu processed, %llu not processed; "
              "%s; sinks: %llu payloads, %zu devices%s\n",
        static_cast<unsigned long long>(flows_read), static_cast<unsigned long long>(flows_dispatched),
        static_cast<unsigned long long>(flows_processed),
        static_cast<unsigned long long>(flows_read - flows_processed), skipped.c_str(),
        static_cast<unsigned long long>(sinks.Payloads()), sinks.Devices(), capture.c_str());
}

void Daemon::Progress(const char *what)
{
    const std::string counts = input ? input->Counts() : std::string("0 flows read, 0 lines skipped");
    const std::string capture = input ? CaptureText(*input) : std::string();
    oz_printf("ostrel-host: %s: %s; sinks: %llu payloads, %zu devices%s\n", what, counts.c_str(),
        static_cast<unsigned long long>(sinks.Payloads()), sinks.Devices(), capture.c_str());
}

int Daemon::Run()
{
    // First, so that a signal during a slow start is read as soon as the loop
    // runs (nothing before it waits).
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    signal_fd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd < 0) {
        LogAt(LogLevel::Error, "ostrel-host: signalfd: %s\n", strerror(errno));
        return 1;
    }
    if (!Configure() || !OpenInput() || !StartPlugins()) return 1;

    const Clock::duration interval = Seconds(config.update_interval);
    const Clock::time_point started = Clock::now();
    Clock::time_point next_update = started + interval;
    Clock::time_point next_progress = started + Seconds(options.progress_interval);
    Clock::time_point leave_at = Clock::time_point::max();
    long updates_after_input = 0;
    last_release_at = started;
    if (input_done) Progress("no flow input");

    while (!stop) {
        Clock::time_point now = Clock::now();
        if (options.run_seconds > 0 && now - started >= Seconds(options.run_seconds)) break;
        if (now >= leave_at) break;
        if (options.exit_after_input >= 0) SettledAfterInput(now);

        if (now >= next_update) {
            for (auto &running : plugins)
                running->processor->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE);
            next_update += interval;
            if (next_update <= now) next_update = now + interval;
            if (options.exit_after_input >= 0 && settled && ++updates_after_input >= options.exit_after_input
                && leave_at == Clock::time_point::max()) {
                // One more interval lets the plug-in act on the last update.
                leave_at = now + interval;
            }
        }
        if (options.exit_after_input == 0 && settled && leave_at == Clock::time_point::max()) leave_at = now;
        if (!input_done && now >= next_progress) {
            Progress("progress");
            next_progress = now + Seconds(options.progress_interval);
        }
        for (auto &running : plugins) {
            if (running->plugin->HasTerminated()) {
                LogAt(LogLevel::Error, "ostrel-host: %s: plug-in thread ended on its own; shutting down\n",
                    running->desc.tag.c_str());
                status = 1;
                stop = true;
            }
        }
        if (stop) break;

        // Wait for a signal, input, or the next timed thing; for the
        // plug-ins' progress instead of input while they are behind.
        const bool behind = !input_done && PluginsBehind(now);
        Clock::time_point wake = std::min(next_update, leave_at);
        if (!input_done) wake = std::min(wake, next_progress);
        if (!input_done)
            wake = std::min(wake, behind ? now + std::chrono::milliseconds(1) : input->WakeAt(now));
        // The plug-ins' progress through the last flows is looked at often.
        if (options.exit_after_input >= 0 && input_done && !settled)
            wake = std::min(wake, now + std::chrono::milliseconds(2));
        if (options.run_seconds > 0) wake = std::min(wake, started + Seconds(options.run_seconds));
        // A plug-in thread that ends is noticed within a second.
        wake = std::min(wake, now + std::chrono::seconds(1));
        struct pollfd fds[2] = {{signal_fd, POLLIN, 0}, {-1, POLLIN, 0}};
        if (!input_done && !behind) fds[1].fd = input->PollFd();
        int timeout = 0;
        if (wake > now) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
            timeout = static_cast<int>(std::min<long long>(ms, 1000));
        }
        int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            LogAt(LogLevel::Error, "ostrel-host: poll: %s\n", strerror(errno));
            status = 1;
            break;
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) HandleSignals();
        if (stop) break;
        if (!behind)
            ServiceInput(ready > 0 && fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)));
    }
    if (!input_done) Progress("input stopped");
    Stop();
    Summary();
    // What was read is processed and saved by now; a supervisor still learns
    // that the input failed.
    if (status == 0 && input && input->FailureStatus() != 0) {
        status = input->FailureStatus();
        LogAt(LogLevel::Error, "ostrel-host: exit status %d: %s\n", status, input->Failure().c_str());
    }
    return status;
}

void Daemon::Stop()
{
    // Plug-ins save their state when terminated; each must be deleted before
    // its library goes.
    for (auto &running : plugins) {
        if (running->plugin) running->plugin->Terminate();
    }
    for (auto &running : plugins) {
        if (running->plugin) running->plugin->Join();
    }
    // Before the plug-ins are deleted: a flow still queued in one is let go
    // of then, unprocessed.
    if (!plugins.empty()) flows_processed = counter->released.load();
    for (auto &running : plugins) {
        if (!running->plugin) continue;
        running->plugin.reset();
        running->library.Close();
    }
    plugins.clear();
    ostrel_standin::SetSinkHandler(nullptr);
    std::string error;
    if (dump.IsOpen() && !dump.Close(error)) oz_printf("ostrel-host: %s\n", error.c_str());
    if (signal_fd >= 0) close(signal_fd);
    signal_fd = -1;
    if (ozGlobalConfig::instance == &global) ozGlobalConfig::instance = nullptr;
    if (ozInstance::instance == &instance) ozInstance::instance = nullptr;
}

} // namespace

void BlockSignals()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    // A closed stdout must end in a logged write error, not a silent death;
    // so must a write past a file-size limit (ulimit -f, LimitFSIZE=), which
    // then fails with EFBIG like a full disk: the cache save keeps the old
    // file, a sink logs the failure, and the daemon goes on.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

int RunDaemon(const Options &options)
{
    if (options.log_journal || ostrel_standin::StderrIsJournal()) ostrel_standin::SetJournalFormat(true);
    Daemon daemon(options);
    return daemon.Run();
}

} // namespace ostrel_host
