// What the stand-in keeps for each live host object: UUIDs, address groups,
// bootstrap data and HTTP options. The host headers declare none of it, so
// that a real host library can take the stand-in's place at link time.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "host/oz_addr.h"
#include "host/oz_api.h"
#include "host/oz_config.h"
#include "host/standin/control.h"

namespace ostrel_standin {

// One state for each object, by its address. The objects cannot be copied
// or moved, so the address names the same object for its whole life; its
// destructor calls Drop, so a later object at that address starts afresh.
template <typename Object, typename State> class Registry
{
public:
    // Runs `use` on the object's state (made empty on first use) under the
    // registry's lock; `use` must not reach this registry again.
    template <typename Use> auto With(const Object &object, Use use)
    {
        std::lock_guard<std::mutex> guard(lock);
        return use(states[&object]);
    }

    void Drop(const Object &object)
    {
        std::lock_guard<std::mutex> guard(lock);
        states.erase(&object);
    }

private:
    std::mutex lock;
    std::map<const Object *, State> states;
};

struct ConfigState {
    std::map<ozUUID, std::string> uuids;
};

struct LookupState {
    std::map<std::string, std::set<ozAddr>> groups;
    std::map<std::string, std::string> group_files;
};

struct ManagerState {
    std::map<ozOstrelApiData::Type, std::shared_ptr<const ozOstrelApiData::Bootstrap>> bootstrap;
    HttpOptions http_options;
};

// Never destroyed: a host object made before a registry's first use would
// otherwise be destroyed after it, and its destructor reaches the registry.
Registry<ozGlobalConfig, ConfigState> &ConfigStates();
Registry<ozAddrLookup, LookupState> &LookupStates();
Registry<ozOstrelApiManager, ManagerState> &ManagerStates();

// Reads the file behind a group and remembers it. False (with a log line)
// when it cannot be read; the group then stays as it was.
bool ReadGroupFile(const ozAddrLookup &lookup, const std::string &group, const std::string &path);

} // namespace ostrel_standin
