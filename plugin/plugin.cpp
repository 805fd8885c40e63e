#include "plugin/plugin.h"

#include <cerrno>
#include <cstring>
#include <exception>

namespace {

// Flow events that queue a flow: 2, 6 and 8.
constexpr unsigned QUEUED_FLOW_EVENTS = 0x144;

bool IsQueuedFlowEvent(ozPluginProcessor::Event event)
{
    unsigned value = static_cast<unsigned>(event);
    return value <= 8 && (QUEUED_FLOW_EVENTS & (1u << value)) != 0;
}

// Runs one step of the main loop; an exception is logged and ends only that
// step. True when the step went through.
template <typename Step> bool Guarded(const std::string &tag, const char *what, Step step)
{
    try {
        step();
        return true;
    } catch (const std::exception &e) {
        oz_printf("%s: %s failed: %s\n", tag.c_str(), what, e.what());
        return false;
    }
}

} // namespace

ozpPlugin::ozpPlugin(const std::string &tag, const ozPlugin::Params &params)
    : ozPluginProcessor(tag, params)
{
    if (conf_filename.empty())
        throw ozException("%s: %s: %s", tag.c_str(), "conf_filename", strerror(EINVAL));
    oz_dprintf("%s: initialized\n", tag.c_str());
}

ozpPlugin::~ozpPlugin()
{
    Join();
    api_thread.reset();
    oz_dprintf("%s: destroyed\n", tag.c_str());
}

void ozpPlugin::GetLibrary(std::string &library)
{
    library = OZP_PLUGIN_LIBRARY;
}

void ozpPlugin::GetName(std::string &name)
{
    name = OZP_PLUGIN_NAME;
}

void ozpPlugin::GetVersion(std::string &version)
{
    version = OZP_PLUGIN_VERSION;
}

void ozpPlugin::GetStatus(json &) { }

void ozpPlugin::DisplayStatus(const json &) { }

void ozpPlugin::DispatchEvent(ozPlugin::Event event, void *)
{
    if (event == ozPlugin::EVENT_RELOAD) reload_pending = true;
}

void ozpPlugin::DispatchProcessorEvent(ozPluginProcessor::Event, ozFlowMap *) { }

void ozpPlugin::DispatchProcessorEvent(ozPluginProcessor::Event event, std::shared_ptr<ozFlow> &flow)
{
    if (!IsQueuedFlowEvent(event) || !flow || flow->excluded) return;
    bool was_empty;
    {
        std::lock_guard<std::mutex> guard(flow_lock);
        was_empty = flow_queue.empty();
        flow_queue.push_back(flow);
    }
    // The thread waits only on an empty queue: a flow queued behind others
    // need not wake it.
    if (was_empty) flow_ready.notify_one();
}

void ozpPlugin::DispatchProcessorEvent(
    ozPluginProcessor::Event, std::map<std::string, std::shared_ptr<ozInterface>> *)
{
}

void ozpPlugin::DispatchProcessorEvent(ozPluginProcessor::Event, const std::string &, ozPacketStats *) { }

void ozpPlugin::DispatchProcessorEvent(ozPluginProcessor::Event, ozPacketStats *) { }

void ozpPlugin::DispatchProcessorEvent(ozPluginProcessor::Event, ozInstanceStatus *) { }

void ozpPlugin::DispatchProcessorEvent(ozPluginProcessor::Event event)
{
    if (event == ozPluginProcessor::EVENT_UPDATE) update_pending = true;
}

void ozpPlugin::Terminate()
{
    ozPluginProcessor::Terminate();
    // Under the lock, so that the thread cannot miss it between its test of
    // the flag and its wait.
    std::lock_guard<std::mutex> guard(flow_lock);
    flow_ready.notify_all();
}

void *ozpPlugin::Entry()
{
    oz_printf("%s: %s v%s Copyright (C) 2026 Ostrel Networks. All rights reserved.\n", tag.c_str(),
        OZP_PLUGIN_NAME, OZP_PLUGIN_VERSION);

    // The first pass reads the configuration. Without it there is no cache
    // path to load or save: running on would keep a table that nothing ever
    // saves. The thread ends instead, and the host sees that it ended.
    if (!ShouldTerminate()) {
        RunPass();
        if (!config_read) {
            StopWithoutConfiguration();
            return nullptr;
        }
    }
    while (!ShouldTerminate())
        RunPass();

    ProcessFlowsAtStop();
    return nullptr;
}

void ozpPlugin::StopWithoutConfiguration()
{
    std::lock_guard<std::mutex> guard(flow_lock);
    oz_printf("%s: no configuration could be read at start-up; the plug-in stops, its device cache neither "
              "loaded nor saved\n",
        tag.c_str());
    flows_dropped += flow_queue.size();
    flow_queue.clear();
}

// Each step catches what it throws: a dead plug-in thread would lose every
// later flow while the host keeps queueing them. The step's flag is cleared
// so that a broken configuration is not retried every second.
void ozpPlugin::RunPass()
{
    if (reload_pending.load()) {
        bool reloaded = ReloadAndCache();
        if (reloaded && config.api_enable && !api_thread) StartQuery();
    }

    // Each flag is taken before its step runs: an event that arrives while
    // the step runs asks for another pass, instead of being cleared with it.
    if (update_pending.exchange(false)) {
        // A request that has already finished must not make this cycle drop
        // its changes as if it were still running.
        CollectRequest();
        Guarded(tag, "update", [this] { ProcessUpdate(); });
        if (oz_has_expired(tag, 3600, last_cache_save, true, 0)) SaveCache();
    }

    CollectRequest();

    std::shared_ptr<ozFlow> flow;
    {
        std::unique_lock<std::mutex> guard(flow_lock);
        if (flow_queue.empty()) {
            auto deadline = std::chrono::steady_clock::now() + flow_wait;
            flow_ready.wait_until(
                guard, deadline, [this] { return !flow_queue.empty() || ShouldTerminate(); });
            if (flow_queue.empty()) return;
        }
        flow = std::move(flow_queue.front());
        flow_queue.pop_front();
    }
    ProcessQueuedFlow(flow);
}

bool ozpPlugin::ReloadAndCache()
{
    reload_pending = false;
    bool reloaded = Guarded(tag, "reload", [this] { Reload(); });
    if (reloaded) {
        config_read = true;
        Guarded(tag, "device cache", [this] {
            const std::string &path = config.path_device_cache;
            if (!devices.empty() && IsCacheLoaded(path)) {
                // A storm of reloads would otherwise write the whole table
                // on every pass, one flow between two saves.
                if (device_table.Unsaved()) SaveCache();
                return;
            }
            // A cache not read yet (first pass, a new path, a failed read) is
            // merged first; saving would overwrite it.
            bool had_devices = !devices.empty();
            LoadDevices(path);
            // The file does not hold what the table held before it was read.
            if (had_devices) device_table.Touch();
        });
    }
    return reloaded;
}

// A save that failed is tried again at every update tick (its time is not
// reset), which would say the same failure at every tick.
void ozpPlugin::SaveCache()
{
    try {
        SaveDevices(config.path_device_cache);
    } catch (const std::exception &e) {
        if (cache_save_failures <= 1)
            oz_printf("%s: device cache failed: %s\n", tag.c_str(), e.what());
        else
            cache_log.Printf(tag.c_str(), "%s: device cache failed: %s\n", tag.c_str(), e.what());
    }
}

void ozpPlugin::ProcessQueuedFlow(const std::shared_ptr<ozFlow> &flow)
{
    Guarded(tag, "flow processing", [this, &flow] { ProcessFlow(flow); });
    flows_processed++;
}

// The host stops the thread when it shuts down or its input ends: flows it
// queued before that are processed and saved, within a time limit so that a
// host waiting for the stop does not wait for ever.
void ozpPlugin::ProcessFlowsAtStop()
{
    std::deque<std::shared_ptr<ozFlow>> batch;
    {
        std::lock_guard<std::mutex> guard(flow_lock);
        batch.swap(flow_queue);
    }
    // Flows queued before the first pass are processed under the
    // configuration, and saved to its cache file.
    if (!batch.empty() && reload_pending.load()) ReloadAndCache();

    const auto deadline = std::chrono::steady_clock::now() + stop_flow_limit;
    uint64_t processed = 0;
    uint64_t dropped = 0;
    // Batches taken under the lock, processed outside it: the host may still
    // be queueing.
    while (!batch.empty()) {
        for (; !batch.empty() && std::chrono::steady_clock::now() < deadline; batch.pop_front()) {
            ProcessQueuedFlow(batch.front());
            processed++;
        }
        if (!batch.empty()) break;
        std::lock_guard<std::mutex> guard(flow_lock);
        batch.swap(flow_queue);
    }
    dropped += batch.size();
    batch.clear();

    Guarded(tag, "final device cache save", [this] { SaveDevices(config.path_device_cache); });

    // Flows queued after the time ran out, or while the table was written.
    {
        std::lock_guard<std::mutex> guard(flow_lock);
        batch.swap(flow_queue);
    }
    dropped += batch.size();
    batch.clear();

    flows_dropped += dropped;
    oz_printf("%s: stopped: %lu flow(s) processed at the stop, %lu not processed\n", tag.c_str(),
        static_cast<unsigned long>(processed), static_cast<unsigned long>(dropped));
}

void ozpPlugin::CollectRequest()
{
    if (!api_thread || !api_thread->HasTerminated()) return;
    Guarded(tag, "API response", [this] { ProcessApiResponse(); });
    api_thread.reset();
}

void ozpPlugin::StartQuery()
{
    // An upload URL from the file comes without an index URL: a query of
    // nothing would only fail, and say so in the log at every start.
    if (config.api_url_index.empty()) {
        oz_dprintf("%s: no index URL; no query.\n", tag.c_str());
        return;
    }
    StartRequest(
        [this] { return std::unique_ptr<ozpApiDeviceDiscovery>(new ozpApiDeviceDiscovery(config)); });
}

bool ozpPlugin::StartRequest(const std::function<std::unique_ptr<ozpApiDeviceDiscovery>()> &make)
{
    try {
        api_thread = make();
        api_thread->Create();
        return true;
    } catch (const std::exception &e) {
        oz_printf("%s: failed to create API thread: %s\n", tag.c_str(), e.what());
        // A thread that never started never ends: kept, collection would
        // wait for it for ever and block every later request.
        api_thread.reset();
        return false;
    }
}
