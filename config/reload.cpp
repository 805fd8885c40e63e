#include "plugin/plugin.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

namespace {

// Raises the library's own type error, as a typed read of the value would.
const json &RequireObject(const json &value)
{
    if (!value.is_object())
        throw json::type_error::create(
            302, std::string("type must be object, but is ") + value.type_name(), &value);
    return value;
}

json ParseFile(const std::string &tag, const std::string &filename)
{
    std::ifstream file(filename, std::ios::binary);
    if (!file.is_open()) throw ozException("%s: %s: %s", tag.c_str(), filename.c_str(), strerror(ENOENT));
    try {
        json doc = json::parse(file, nullptr, true, true);
        // A file holding an array or a bare value would otherwise load as
        // "all defaults, no sinks" and pass for a good configuration.
        RequireObject(doc);
        return doc;
    } catch (const json::exception &e) {
        throw ozException("%s: %s: JSON exception: %s", tag.c_str(), filename.c_str(), e.what());
    } catch (const std::exception &e) {
        throw ozException("%s: %s: %s", tag.c_str(), filename.c_str(), e.what());
    }
}

// Enabled channels only, each starting from the defaults' format and
// compressor; a sink without enabled channels gets no entry.
ozpPlugin::SinkMap LoadSinks(const json &doc, const ozpChannelConfig &defaults)
{
    ozpPlugin::SinkMap sinks;
    auto found = doc.find("sinks");
    if (found == doc.end()) return sinks;
    for (const auto &sink : RequireObject(*found).items()) {
        for (const auto &channel : RequireObject(sink.value()).items()) {
            const json &options = RequireObject(channel.value());
            auto enable = options.find("enable");
            if (enable != options.end() && enable->is_boolean() && !enable->get<bool>()) continue;

            ozpChannelConfig config;
            config.format = defaults.format;
            config.compressor = defaults.compressor;
            config.flush = false;
            config.Load(channel.key(), options);
            sinks[sink.key()][channel.key()] = config;
        }
    }
    return sinks;
}

} // namespace

// Everything is loaded into copies and taken over only when the whole file
// was good: a mistake in the file keeps the running configuration intact
// rather than leaving a mix of new values, defaults and half a sink table.
void ozpPlugin::Reload()
{
    oz_dprintf("%s: Loading configuration: %s\n", tag.c_str(), conf_filename.c_str());
    json doc = ParseFile(tag, conf_filename);

    ozpGlobalConfig next_config = config;
    next_config.Load(doc);
    ozpChannelConfig next_defaults = channel_defaults;
    next_defaults.Load("defaults", doc);
    SinkMap next_sinks = LoadSinks(doc, next_defaults);

    config = std::move(next_config);
    channel_defaults = next_defaults;
    sinks = std::move(next_sinks);
}
