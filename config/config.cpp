#include "config/config.h"

void ozpUniqueSetConfig::Load(const json &) {}
void ozpChannelConfig::Load(const std::string &, const json &) {}
void ozpGlobalConfig::Load(const json &) {}
