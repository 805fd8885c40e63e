#include "host/standin/host_state.h"

namespace ostrel_standin {

Registry<ozGlobalConfig, ConfigState> &ConfigStates()
{
    static auto *registry = new Registry<ozGlobalConfig, ConfigState>();
    return *registry;
}

Registry<ozAddrLookup, LookupState> &LookupStates()
{
    static auto *registry = new Registry<ozAddrLookup, LookupState>();
    return *registry;
}

Registry<ozOstrelApiManager, ManagerState> &ManagerStates()
{
    static auto *registry = new Registry<ozOstrelApiManager, ManagerState>();
    return *registry;
}

} // namespace ostrel_standin
