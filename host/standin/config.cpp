#include "host/oz_config.h"
#include "host/oz_exception.h"
#include "host/standin/host_state.h"

ozGlobalConfig *ozGlobalConfig::instance = nullptr;
ozInstance *ozInstance::instance = nullptr;

ozGlobalConfig &ozGlobalConfig::GetInstance()
{
    if (instance == nullptr)
        throw ozException("%s: instance not found", "static ozGlobalConfig &ozGlobalConfig::GetInstance()");
    return *instance;
}

ozGlobalConfig::~ozGlobalConfig()
{
    ostrel_standin::ConfigStates().Drop(*this);
}

bool ozGlobalConfig::LoadUUID(ozUUID kind, std::string &uuid) const
{
    return ostrel_standin::ConfigStates().With(*this, [&](ostrel_standin::ConfigState &state) {
        auto found = state.uuids.find(kind);
        if (found == state.uuids.end() || found->second.empty()) return false;
        uuid = found->second;
        return true;
    });
}

ozInstance &ozInstance::GetInstance()
{
    if (instance == nullptr)
        throw ozException("%s: instance not found", "static ozInstance &ozInstance::GetInstance()");
    return *instance;
}
