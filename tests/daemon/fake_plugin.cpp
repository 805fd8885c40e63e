// A plug-in library built for another host ABI: the daemon must refuse it
// before calling anything in it.
#include <cstdlib>

#include "host/oz_plugin.h"

extern "C" __attribute__((visibility("default"))) const ozPluginAbi oz_plugin_abi
    = {OZ_PLUGIN_ABI_MAGIC, sizeof(ozPluginAbi), OZ_PLUGIN_ABI_VERSION - 1, 0x20230309, {1, 0, 0x0b60, 0x48}};

extern "C" __attribute__((visibility("default"))) ozPlugin *ozPluginInit(
    const std::string &, const ozPlugin::Params &)
{
    // Reaching this means the ABI check failed to stop the host.
    std::abort();
}
