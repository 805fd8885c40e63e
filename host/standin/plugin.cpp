#include <cstdlib>

#include "host/oz_log.h"
#include "host/oz_plugin.h"
#include "host/standin/standin.h"

namespace {

std::mutex sink_lock;
ostrel_standin::SinkHandler sink_handler;

} // namespace

ozPlugin::ozPlugin(const std::string &tag, Type type)
    : ozThread(tag)
    , type(type)
{
}

ozPlugin::~ozPlugin() = default;

void ozPlugin::GetStatus(json &) { }

void ozPlugin::DisplayStatus(const json &) { }

void ozPlugin::DispatchEvent(Event, void *) { }

void ozPlugin::DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels,
    const json &payload, ozFlags<DispatchFlags> flags)
{
    ostrel_standin::SinkHandler handler;
    {
        std::lock_guard<std::mutex> guard(sink_lock);
        handler = sink_handler;
    }
    if (!handler) {
        oz_printf("%s: no sink handler; payload for sink %s dropped\n", tag.c_str(), sink.c_str());
        return;
    }
    handler(tag, sink, channels, payload, flags.Value());
}

ozPluginProcessor::ozPluginProcessor(const std::string &tag, const Params &params)
    : ozPlugin(tag, TYPE_PROCESSOR)
{
    auto conf = params.find("conf_filename");
    if (conf != params.end()) conf_filename = conf->second;
    // Stand-in only: lets tests and the daemon record another plug-in type.
    auto forced = params.find("plugin_type");
    if (forced != params.end()) type = static_cast<Type>(std::strtoul(forced->second.c_str(), nullptr, 10));
}

ozPluginProcessor::~ozPluginProcessor() = default;

void ozPluginProcessor::DispatchProcessorEvent(Event, ozFlowMap *) { }
void ozPluginProcessor::DispatchProcessorEvent(Event, std::shared_ptr<ozFlow> &) { }
void ozPluginProcessor::DispatchProcessorEvent(Event, std::shared_ptr<ozFlow> &, json &) { }
void ozPluginProcessor::DispatchProcessorEvent(Event, std::map<std::string, std::shared_ptr<ozInterface>> *)
{
}
void ozPluginProcessor::DispatchProcessorEvent(Event, const std::string &, ozPacketStats *) { }
void ozPluginProcessor::DispatchProcessorEvent(Event, ozPacketStats *) { }
void ozPluginProcessor::DispatchProcessorEvent(Event, ozInstanceStatus *) { }
void ozPluginProcessor::DispatchProcessorEvent(Event) { }

namespace ostrel_standin {

void SetSinkHandler(SinkHandler handler)
{
    std::lock_guard<std::mutex> guard(sink_lock);
    sink_handler = std::move(handler);
}

} // namespace ostrel_standin
