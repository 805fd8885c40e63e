#include "plugin/plugin.h"

void ozpPlugin::ProcessFlow(const std::shared_ptr<ozFlow> &) {}
