// A processor plug-in that takes every flow it is given and never processes
// one, like a plug-in whose thread is stuck: what the daemon reports about
// flows it could not see processed is checked with it.
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "host/oz_plugin.h"

namespace {

class HoldingPlugin : public ozPluginProcessor
{
public:
    using ozPluginProcessor::ozPluginProcessor;
    ~HoldingPlugin() override { Join(); }

    void *Entry() override
    {
        while (!ShouldTerminate())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return nullptr;
    }
    void GetLibrary(std::string &library) override { library = "holding"; }
    void GetName(std::string &name) override { name = "Flow-holding test plug-in"; }
    void GetVersion(std::string &version) override { version = "0"; }

    void DispatchProcessorEvent(Event, std::shared_ptr<ozFlow> &flow) override
    {
        std::lock_guard<std::mutex> guard(lock);
        held.push_back(flow);
    }

private:
    std::mutex lock;
    std::deque<std::shared_ptr<ozFlow>> held;
};

} // namespace

extern "C" __attribute__((visibility("default"))) const ozPluginAbi oz_plugin_abi
    = {OZ_PLUGIN_ABI_MAGIC, sizeof(ozPluginAbi), OZ_PLUGIN_ABI_VERSION, 0x20230309, {1, 0, 0x0b60, 0x48}};

extern "C" __attribute__((visibility("default"))) ozPlugin *ozPluginInit(
    const std::string &tag, const ozPlugin::Params &params)
{
    return new HoldingPlugin(tag, params);
}
