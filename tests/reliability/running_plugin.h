// The plug-in on its own thread, as the host runs it: created from a
// configuration file, started, fed flows and events from the test's thread,
// and stopped and joined at the end. Conditions are polled with deadlines.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "plugin/plugin.h"
#include "tests/reliability/eventually.h"
#include "tests/support/host_fixture.h"

namespace ostrel_test {

class RunningPlugin
{
public:
    RunningPlugin(const TempDir &dir, const std::string &config)
    {
        plugin = std::make_unique<ozpPlugin>(
            "dev-disc", ozPlugin::Params {{"conf_filename", dir.Write("plugin.json", config)}});
        // Short passes: events are seen sooner, nothing else changes.
        plugin->flow_wait = std::chrono::milliseconds(20);
        plugin->Create();
    }

    ~RunningPlugin() { Stop(); }

    void Queue(const FlowSpec &fields)
    {
        std::shared_ptr<ozFlow> flow = MakeFlow(fields);
        plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE, flow);
    }
    void Update() { plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE); }
    void Reload() { plugin->DispatchEvent(ozPlugin::EVENT_RELOAD); }

    size_t QueueLength()
    {
        std::lock_guard<std::mutex> guard(plugin->flow_lock);
        return plugin->flow_queue.size();
    }

    // Ends the plug-in's thread; its members may be read afterwards.
    void Stop()
    {
        if (!plugin || stopped) return;
        plugin->Terminate();
        plugin->Join();
        stopped = true;
    }

    std::unique_ptr<ozpPlugin> plugin;

private:
    bool stopped = false;
};

} // namespace ostrel_test
