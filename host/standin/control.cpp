#include "host/standin/control.h"

#include "host/oz_exception.h"
#include "host/standin/header_value.h"
#include "host/standin/host_state.h"

namespace ostrel_standin {

void SetUUID(ozGlobalConfig &global, ozUUID kind, const std::string &uuid)
{
    int control = FirstControl(uuid);
    if (control >= 0)
        throw ozException("ozGlobalConfig::SetUUID: UUID kind %u: holds control character 0x%02x",
            static_cast<unsigned>(kind), static_cast<unsigned>(control));
    ConfigStates().With(global, [&](ConfigState &state) { state.uuids[kind] = uuid; });
}

bool AddGroupFile(ozAddrLookup &lookup, const std::string &group, const std::string &path)
{
    return ReadGroupFile(lookup, group, path);
}

void AddGroupAddress(ozAddrLookup &lookup, const std::string &group, const ozAddr &addr)
{
    LookupStates().With(lookup, [&](LookupState &state) { state.groups[group].insert(addr); });
}

void SetBootstrapData(
    ozOstrelApiManager &manager, ozOstrelApiData::Type type, const ozOstrelApiData::Bootstrap &data)
{
    std::string credentials;
    if (data.auth_method && data.auth_method->GetType() == ozOstrelApiAuthMethod::AUTH_BEARER) {
        credentials = static_cast<const ozOstrelApiAuthMethod::Bearer &>(*data.auth_method).token;
    } else if (data.auth_method && data.auth_method->GetType() == ozOstrelApiAuthMethod::AUTH_BASIC) {
        const auto &basic = static_cast<const ozOstrelApiAuthMethod::Basic &>(*data.auth_method);
        credentials = basic.username + basic.password;
    }
    int control = FirstControl(credentials);
    if (control >= 0)
        throw ozException(
            "ozOstrelApiManager::SetBootstrapData: %s: credentials hold control character 0x%02x",
            ozOstrelApiData::GetName(type).c_str(), static_cast<unsigned>(control));
    auto copy = std::make_shared<const ozOstrelApiData::Bootstrap>(data);
    ManagerStates().With(manager, [&](ManagerState &state) { state.bootstrap[type] = std::move(copy); });
}

HttpOptions GetHttpOptions(const ozOstrelApiManager &manager)
{
    return ManagerStates().With(manager, [](ManagerState &state) { return state.http_options; });
}

void SetHttpOptions(ozOstrelApiManager &manager, const HttpOptions &options)
{
    ManagerStates().With(manager, [&](ManagerState &state) { state.http_options = options; });
}

} // namespace ostrel_standin
