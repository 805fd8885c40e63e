#include "plugin/plugin.h"

void ozpPlugin::Reload() {}
