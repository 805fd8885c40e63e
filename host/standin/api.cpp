#include <array>

#include "host/oz_api.h"
#include "host/standin/host_state.h"

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

ozOstrelApiManager::~ozOstrelApiManager()
{
    ostrel_standin::ManagerStates().Drop(*this);
}

std::shared_ptr<const ozOstrelApiData::Bootstrap> ozOstrelApiManager::GetBootstrapData(
    ozOstrelApiData::Type type) const
{
    return ostrel_standin::ManagerStates().With(*this,
        [type](ostrel_standin::ManagerState &state) -> std::shared_ptr<const ozOstrelApiData::Bootstrap> {
            auto found = state.bootstrap.find(type);
            return found == state.bootstrap.end() ? nullptr : found->second;
        });
}
