// A processor plug-in library opened the way the daemon opens one: the ABI
// record is read and checked before anything else, then the factory makes
// the plug-in object. Used on the daemon's main thread.
#pragma once

#include <memory>
#include <string>

#include "host/oz_plugin.h"

namespace ostrel_host {

// Empty when the record is one this host can run; otherwise names the field,
// the expected and the found value.
std::string CheckPluginAbi(const ozPluginAbi &abi);

class PluginLibrary
{
public:
    PluginLibrary() = default;
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;

    // Opens and checks the library. False with `error` set when it cannot be
    // used; nothing stays loaded then.
    bool Open(const std::string &path, std::string &error);

    // Calls the factory. Null with `error` set when the library throws or
    // refuses; the object must be deleted before the library is closed.
    std::unique_ptr<ozPlugin> Create(
        const std::string &tag, const ozPlugin::Params &params, std::string &error);

    void Close();

    const std::string &Path() const { return path; }

private:
    void *handle = nullptr;
    ozPluginInitFunction init = nullptr;
    std::string path;
};

} // namespace ostrel_host
