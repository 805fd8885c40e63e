#include "plugin/plugin.h"

bool ozpPlugin::AddUpdateDevice(const std::string &, const ozpDevice &, bool)
{
    return false;
}

uint64_t ozpPlugin::PurgeDevices()
{
    return 0;
}
