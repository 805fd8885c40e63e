// The library's two exported symbols: the ABI record the host reads first and
// the factory that creates the plug-in object.
#include <cstdint>
#include <memory>

#include "ostrel_version.h"
#include "plugin/plugin.h"

#define OZP_EXPORT extern "C" __attribute__((visibility("default")))

OZP_EXPORT const ozPluginAbi oz_plugin_abi
    = {OZ_PLUGIN_ABI_MAGIC, sizeof(ozPluginAbi), OZ_PLUGIN_ABI_VERSION, 0x20230309, {1, 0, 0x0b60, 0x48}};

OZP_EXPORT ozPlugin *ozPluginInit(const std::string &tag, const ozPlugin::Params &params)
{
    // Once per load, however many instances the host makes.
    static const bool version_logged
        = (oz_printf("ostrel-proc-dev-discovery %s loaded\n", OSTREL_VERSION), true);
    (void)version_logged;
    std::unique_ptr<ozpPlugin> plugin(new ozpPlugin(tag, params));
    unsigned type = plugin->GetType();
    if (type == ozPlugin::TYPE_PROCESSOR || type == ozPlugin::TYPE_PROCESSOR_PASSIVE) return plugin.release();
    oz_printf("Invalid plugin type: %s [%u]\n", tag.c_str(), type);
    return nullptr;
}
