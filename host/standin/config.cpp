#include "host/oz_config.h"
#include "host/oz_exception.h"

ozGlobalConfig *ozGlobalConfig::instance = nullptr;
ozInstance *ozInstance::instance = nullptr;

ozGlobalConfig &ozGlobalConfig::GetInstance()
{
    if (instance == nullptr)
        throw ozException("%s: instance not found", "static ozGlobalConfig &ozGlobalConfig::GetInstance()");
    return *instance;
}

bool ozGlobalConfig::LoadUUID(ozUUID kind, std::string &uuid) const
{
    std::lock_guard<std::mutex> guard(lock);
    auto found = uuids.find(kind);
    if (found == uuids.end() || found->second.empty()) return false;
    uuid = found->second;
    return true;
}

ozInstance &ozInstance::GetInstance()
{
    if (instance == nullptr)
        throw ozException("%s: instance not found", "static ozInstance &ozInstance::GetInstance()");
    return *instance;
}
