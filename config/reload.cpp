#include "plugin/plugin.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "fileio/regular_file.h"

namespace {

// A configuration file is a few kilobytes; anything near this is not one,
// and parsing it whole would take many times its size in memory.
constexpr uint64_t MAX_CONFIG_BYTES = 64 << 20;

// Bad ignore-list entries named one by one at a reload.
constexpr size_t MAX_NAMED_IGNORE_ENTRIES = 16;

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
    std::string text;
    ozpFileRead read = ozpReadRegularFile(filename, MAX_CONFIG_BYTES, text);
    // Any failure to open keeps the one message operators know for it.
    if (read.result == ozpFileRead::OPEN_FAILED)
        throw ozException("%s: %s: %s", tag.c_str(), filename.c_str(), strerror(ENOENT));
    if (read.result != ozpFileRead::READ)
        throw ozException("%s: %s: %s", tag.c_str(), filename.c_str(), read.Reason().c_str());
    try {
        json doc = json::parse(text, nullptr, true, true);
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
// compressor; a sink without enabled channels gets no entry. Channels are
// inserted as they load, so a failure keeps the ones before it.
void LoadSinks(const json &doc, const ozpChannelConfig &defaults, ozpPlugin::SinkMap &sinks)
{
    auto found = doc.find("sinks");
    if (found == doc.end()) return;
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
}

// Values that are valid but throw state away: said once per reload.
void WarnAboutDestructiveValues(const std::string &tag, const ozpGlobalConfig &config)
{
    if (config.max_device_age == 0)
        oz_printf("%s: max_device_age is 0: every device is purged at the next cache save\n", tag.c_str());
    if (config.max_confidence == 0)
        oz_printf("%s: max_confidence is 0: every device is retired at the next update, before the cloud "
                  "identifies it\n",
            tag.c_str());
}

// Entries that match no flow: said at each reload, naming each one (the
// first few of a long list, then how many more).
void WarnAboutIgnoreEntries(const std::string &tag, const ozpGlobalConfig &config)
{
    const std::vector<std::string> &rejected = config.device_mac_ignore_rejected;
    if (rejected.size() > MAX_NAMED_IGNORE_ENTRIES)
        oz_printf("%s: device_mac_ignore: %lu entries are not MAC addresses; ignored\n", tag.c_str(),
            static_cast<unsigned long>(rejected.size()));
    for (size_t index = 0; index < rejected.size() && index < MAX_NAMED_IGNORE_ENTRIES; index++) {
        const std::string &entry = rejected[index];
        std::string shown = json(entry).dump(-1, ' ', true, json::error_handler_t::replace);
        if (shown.size() > 64) shown = shown.substr(0, 60) + "...\"";
        oz_printf(
            "%s: device_mac_ignore: %s is not a MAC address; entry ignored\n", tag.c_str(), shown.c_str());
    }
}

} // namespace

// Loads in place: a failure leaves what was loaded before it (the state that
// operators and tests know), and the main loop logs it.
void ozpPlugin::Reload()
{
    oz_dprintf("%s: Loading configuration: %s\n", tag.c_str(), conf_filename.c_str());
    json doc = ParseFile(tag, conf_filename);

    try {
        config.Load(doc);
    } catch (...) {
        // The keys read before the failure are in force.
        WarnAboutIgnoreEntries(tag, config);
        throw;
    }
    WarnAboutIgnoreEntries(tag, config);
    WarnAboutDestructiveValues(tag, config);
    // The top-level channel options are the file's as it now stands: an option
    // removed from it goes back to its default rather than keeping the value
    // of an earlier load.
    channel_defaults = ozpChannelConfig();
    channel_defaults.Load("defaults", doc);
    sinks.clear();
    LoadSinks(doc, channel_defaults, sinks);
}
