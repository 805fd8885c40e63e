// The plug-in object made from a configuration, as the host makes it, and
// the plug-in running on its own thread: started, fed flows and events from
// the caller's thread, and stopped and joined at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "plugin/plugin.h"
#include "tests/support/files.h"
#include "tests/support/flows.h"

namespace ostrel_test {

// A plug-in reading its configuration from `conf_filename`. Not started.
std::unique_ptr<ozpPlugin> MakePluginAt(
    const std::string &conf_filename, const std::string &tag = "dev-disc");

// The wall clock of the plug-ins below: 2026-01-01 00:00:00 UTC.
constexpr int64_t WALL_CLOCK = 1767225600;

// A plug-in as MakePluginAt makes it, whose wall clock stands still at
// WALL_CLOCK as the stand-in host's clock does: the ages a saved cache holds
// read back the same.
std::unique_ptr<ozpPlugin> MakeStillPlugin(
    const std::string &conf_filename, const std::string &tag = "dev-disc");

// The same with `config` written to `conf_filename` first.
std::unique_ptr<ozpPlugin> MakePluginFrom(
    const std::string &conf_filename, const std::string &config, const std::string &tag = "dev-disc");

class RunningPlugin
{
public:
    // Started with `config` as its file "plugin.json" in `dir`.
    RunningPlugin(const TempDir &dir, const std::string &config);
    ~RunningPlugin() { Stop(); }

    void Queue(const FlowFields &fields);
    void Update() { plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE); }
    void Reload() { plugin->DispatchEvent(ozPlugin::EVENT_RELOAD); }

    size_t QueueLength();

    // Ends the plug-in's thread; its members may be read afterwards.
    void Stop();

    std::unique_ptr<ozpPlugin> plugin;

private:
    bool stopped = false;
};

} // namespace ostrel_test
