#include "plugin/plugin.h"

namespace {

ozFlags<ozPlugin::DispatchFlags> ChannelFlags(const ozpChannelConfig &channel)
{
    ozFlags<ozPlugin::DispatchFlags> flags;
    switch (channel.format) {
    case ozpChannelConfig::FORMAT_JSON:
        flags |= ozPlugin::DF_FORMAT_JSON;
        break;
    case ozpChannelConfig::FORMAT_OBJECT:
        flags |= ozPlugin::DF_FORMAT_OBJECT;
        break;
    case ozpChannelConfig::FORMAT_MSGPACK:
        flags |= ozPlugin::DF_FORMAT_MSGPACK;
        break;
    }
    if (channel.flush) flags |= ozPlugin::DF_FLUSH;
    if (channel.compressor == ozpChannelConfig::COMPRESSOR_GZ) flags |= ozPlugin::DF_GZ_DEFLATE;
    return flags;
}

} // namespace

// One host call per channel: each channel may want its own encoding.
void ozpPlugin::DispatchPayload(json &payload)
{
    for (const auto &sink : sinks) {
        for (const auto &channel : sink.second)
            DispatchSinkPayload(sink.first, {channel.first}, payload, ChannelFlags(channel.second));
    }
}
