#include "plugin/plugin.h"

void ozpPlugin::PrintDeviceDebug(const ozpDevice &) const {}
