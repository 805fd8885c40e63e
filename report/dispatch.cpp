#include "plugin/plugin.h"

void ozpPlugin::DispatchPayload(json &) {}
