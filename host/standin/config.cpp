#include "host/oz_config.h"
#include "host/oz_exception.h"
#include "host/standin/header_value.h"

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

void ozGlobalConfig::SetUUID(ozUUID kind, const std::string &uuid)
{
    // UUIDs go out as header values.
    int control = ozStandin::FirstControl(uuid);
    if (control >= 0)
        throw ozException("ozGlobalConfig::SetUUID: UUID kind %u: holds control character 0x%02x",
            static_cast<unsigned>(kind), static_cast<unsigned>(control));
    std::lock_guard<std::mutex> guard(lock);
    uuids[kind] = uuid;
}

ozInstance &ozInstance::GetInstance()
{
    if (instance == nullptr)
        throw ozException("%s: instance not found", "static ozInstance &ozInstance::GetInstance()");
    return *instance;
}
