#include "plugin/plugin.h"

bool ozpPlugin::IgnoreDeviceMac(const std::string &mac)
{
    return mac.empty();
}
