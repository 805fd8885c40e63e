#include "plugin/plugin.h"

void ozpPlugin::ProcessApiResponse() {}
