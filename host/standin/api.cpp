#include <array>

#include "host/oz_api.h"
#include "host/oz_exception.h"
#include "host/standin/header_value.h"

namespace {

template <typename Type, size_t N>
const std::string &NameOf(const std::array<std::string, N> &names, Type type)
{
    size_t index = static_cast<size_t>(type);
    return index < N ? names[index] : names[0];
}

template <typename Type, size_t N>
Type TypeOf(const std::array<std::string, N> &names, const std::string &name)
{
    for (size_t index = 0; index < N; index++)
        if (names[index] == name) return static_cast<Type>(index);
    return static_cast<Type>(0);
}

const std::array<std::string, 4> auth_names = {"invalid", "basic", "bearer", "mtls"};
const std::array<std::string, 4> data_names = {"invalid", "agent", "intel", "dev-discovery"};

} // namespace

const std::string &ozOstrelApiAuthMethod::GetName(Type type)
{
    return NameOf(auth_names, type);
}

ozOstrelApiAuthMethod::Type ozOstrelApiAuthMethod::GetType(const std::string &name)
{
    return TypeOf<Type>(auth_names, name);
}

const std::string &ozOstrelApiData::GetName(Type type)
{
    return NameOf(data_names, type);
}

ozOstrelApiData::Type ozOstrelApiData::GetType(const std::string &name)
{
    return TypeOf<Type>(data_names, name);
}

std::shared_ptr<const ozOstrelApiData::Bootstrap> ozOstrelApiManager::GetBootstrapData(
    ozOstrelApiData::Type type) const
{
    std::lock_guard<std::mutex> guard(lock);
    auto found = bootstrap.find(type);
    return found == bootstrap.end() ? nullptr : found->second;
}

void ozOstrelApiManager::SetBootstrapData(ozOstrelApiData::Type type, const ozOstrelApiData::Bootstrap &data)
{
    // Credentials go out in the Authorization header.
    std::string credentials;
    if (data.auth_method && data.auth_method->GetType() == ozOstrelApiAuthMethod::AUTH_BEARER) {
        credentials = static_cast<const ozOstrelApiAuthMethod::Bearer &>(*data.auth_method).token;
    } else if (data.auth_method && data.auth_method->GetType() == ozOstrelApiAuthMethod::AUTH_BASIC) {
        const auto &basic = static_cast<const ozOstrelApiAuthMethod::Basic &>(*data.auth_method);
        credentials = basic.username + basic.password;
    }
    int control = ozStandin::FirstControl(credentials);
    if (control >= 0)
        throw ozException(
            "ozOstrelApiManager::SetBootstrapData: %s: credentials hold control character 0x%02x",
            ozOstrelApiData::GetName(type).c_str(), static_cast<unsigned>(control));
    std::lock_guard<std::mutex> guard(lock);
    bootstrap[type] = std::make_shared<const ozOstrelApiData::Bootstrap>(data);
}

void ozOstrelApiManager::ClearBootstrapData()
{
    std::lock_guard<std::mutex> guard(lock);
    bootstrap.clear();
}

ozOstrelApiHttpOptions ozOstrelApiManager::GetHttpOptions() const
{
    std::lock_guard<std::mutex> guard(lock);
    return http_options;
}

void ozOstrelApiManager::SetHttpOptions(const ozOstrelApiHttpOptions &options)
{
    std::lock_guard<std::mutex> guard(lock);
    http_options = options;
}
