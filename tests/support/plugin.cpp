#include "tests/support/plugin.h"

#include <mutex>

namespace ostrel_test {

std::unique_ptr<ozpPlugin> MakePluginAt(const std::string &conf_filename, const std::string &tag)
{
    return std::make_unique<ozpPlugin>(tag, ozPlugin::Params {{"conf_filename", conf_filename}});
}

std::unique_ptr<ozpPlugin> MakeStillPlugin(const std::string &conf_filename, const std::string &tag)
{
    auto plugin = MakePluginAt(conf_filename, tag);
    plugin->wall_clock = [] { return WALL_CLOCK; };
    return plugin;
}

std::unique_ptr<ozpPlugin> MakePluginFrom(
    const std::string &conf_filename, const std::string &config, const std::string &tag)
{
    WriteFile(conf_filename, config);
    return MakePluginAt(conf_filename, tag);
}

RunningPlugin::RunningPlugin(const TempDir &dir, const std::string &config)
    : plugin(MakePluginFrom(dir.File("plugin.json"), config))
{
    // Short passes: events are seen sooner, nothing else changes.
    plugin->flow_wait = std::chrono::milliseconds(20);
    plugin->Create();
}

void RunningPlugin::Queue(const FlowFields &fields)
{
    std::shared_ptr<ozFlow> flow = MakeFlow(fields);
    plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE, flow);
}

size_t RunningPlugin::QueueLength()
{
    std::lock_guard<std::mutex> guard(plugin->flow_lock);
    return plugin->flow_queue.size();
}

void RunningPlugin::Stop()
{
    if (!plugin || stopped) return;
    plugin->Terminate();
    plugin->Join();
    stopped = true;
}

} // namespace ostrel_test
