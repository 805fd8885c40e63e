#include "device/unique_set.h"

#include <algorithm>

#include "host/oz_log.h"
#include "host/oz_time.h"

template <typename T> bool ozpUniqueSet<T>::Push(const T &value)
{
    auto found = std::find(values.begin(), values.end(), value);
    if (found != values.end()) {
        // Rotating rather than erase-and-insert: `value` may be that very element.
        std::rotate(values.begin(), found, found + 1);
        return false;
    }

    // Full: the last value makes room, so the storage never grows past the
    // bound; otherwise it grows by one, not by doubling.
    if (max != 0 && values.size() == max)
        values.pop_back();
    else if (values.size() == values.capacity())
        values.reserve(values.size() + 1);
    values.insert(values.begin(), value);
    if (max != 0 && values.size() > max) values.pop_back();

    updates++;
    bool updated = (update_min == 0 && update_ttl == 0);
    // At or past the minimum, so a lowered `update_min` cannot switch the rule off.
    if (update_min != 0 && updates >= update_min) {
        updates = 0;
        updated = true;
    }
    if (update_ttl != 0 && oz_has_expired(name, update_ttl, last_update, true, 0)) updated = true;

    if (last_update != 0) {
        oz_dprintf("%s: updates: %lu, updated: %s\n", name, static_cast<unsigned long>(updates),
            updated ? "yes" : "no");
    }

    if (updated) last_update = oz_time_monotonic();
    return updated;
}

template class ozpUniqueSet<std::string>;

bool IsUnspecifiedAddress(const std::string &address)
{
    // Any valid address written only with zeros, colons and dots is 0.0.0.0
    // or ::; an invalid one is no address either.
    if (address.empty()) return false;
    return address.find_first_not_of("0:.") == std::string::npos;
}

std::pair<IPList::iterator, bool> IPList::insert(const std::string &address)
{
    // A host without an address yet (every DHCP discover) sends from it.
    if (IsUnspecifiedAddress(address)) return {addresses.end(), false};
    auto found = std::find(addresses.begin(), addresses.end(), address);
    if (found != addresses.end()) {
        std::rotate(addresses.begin(), found, found + 1);
        return {addresses.begin(), false};
    }

    if (max_size != 0 && addresses.size() == max_size)
        addresses.pop_back();
    else if (addresses.size() == addresses.capacity())
        addresses.reserve(addresses.size() + 1);
    addresses.insert(addresses.begin(), address);
    if (addresses.size() > max_size) addresses.pop_back();
    return {addresses.begin(), true};
}

void to_json(json &j, const ozpUniqueSet<std::string> &set)
{
    j = set.values;
}

void from_json(const json &j, ozpUniqueSet<std::string> &set)
{
    set.values = j.get<std::vector<std::string>>();
}

void to_json(json &j, const IPList &list)
{
    j = list.addresses;
}

void from_json(const json &j, IPList &list)
{
    list.addresses = j.get<std::vector<std::string>>();
    // Files written before unspecified addresses were kept out may hold one.
    list.addresses.erase(std::remove_if(list.addresses.begin(), list.addresses.end(), IsUnspecifiedAddress),
        list.addresses.end());
}
