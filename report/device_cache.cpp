#include "plugin/plugin.h"

size_t ozpPlugin::LoadDevices(const std::string &)
{
    return 0;
}

void ozpPlugin::SaveDevices(const std::string &) {}
