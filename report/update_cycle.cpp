#include "plugin/plugin.h"

void ozpPlugin::ProcessUpdate() {}
