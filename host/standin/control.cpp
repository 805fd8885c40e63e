#include "host/standin/control.h"

#include <mutex>

#include "host/oz_exception.h"
#include "host/standin/header_value.h"

namespace ostrel_standin {

// The one way into the host classes' private state; they name it a friend.
class HostAccess
{
public:
    static void SetUUID(ozGlobalConfig &global, ozUUID kind, const std::string &uuid)
    {
        std::lock_guard<std::mutex> guard(global.lock);
        global.uuids[kind] = uuid;
    }

    static bool AddGroupFile(ozAddrLookup &lookup, const std::string &group, const std::string &path)
    {
        return lookup.AddGroupFile(group, path);
    }

    static void AddGroupAddress(ozAddrLookup &lookup, const std::string &group, const ozAddr &addr)
    {
        std::lock_guard<std::mutex> guard(lookup.lock);
        lookup.groups[group].insert(addr);
    }

    static void SetBootstrapData(
        ozOstrelApiManager &manager, ozOstrelApiData::Type type, const ozOstrelApiData::Bootstrap &data)
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        manager.bootstrap[type] = std::make_shared<const ozOstrelApiData::Bootstrap>(data);
    }

    static HttpOptions GetHttpOptions(const ozOstrelApiManager &manager)
    {
        std::lock_guard<std::mutex> guard(manager.lock);
        return manager.http_options ? *manager.http_options : HttpOptions();
    }

    static void SetHttpOptions(ozOstrelApiManager &manager, const HttpOptions &options)
    {
        auto copy = std::make_shared<const HttpOptions>(options);
        std::lock_guard<std::mutex> guard(manager.lock);
        manager.http_options = std::move(copy);
    }
};

void SetUUID(ozGlobalConfig &global, ozUUID kind, const std::string &uuid)
{
    int control = FirstControl(uuid);
    if (control >= 0)
        throw ozException("ozGlobalConfig::SetUUID: UUID kind %u: holds control character 0x%02x",
            static_cast<unsigned>(kind), static_cast<unsigned>(control));
    HostAccess::SetUUID(global, kind, uuid);
}

bool AddGroupFile(ozAddrLookup &lookup, const std::string &group, const std::string &path)
{
    return HostAccess::AddGroupFile(lookup, group, path);
}

void AddGroupAddress(ozAddrLookup &lookup, const std::string &group, const ozAddr &addr)
{
    HostAccess::AddGroupAddress(lookup, group, addr);
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
    HostAccess::SetBootstrapData(manager, type, data);
}

HttpOptions GetHttpOptions(const ozOstrelApiManager &manager)
{
    return HostAccess::GetHttpOptions(manager);
}

void SetHttpOptions(ozOstrelApiManager &manager, const HttpOptions &options)
{
    HostAccess::SetHttpOptions(manager, options);
}

} // namespace ostrel_standin
