// The small containers of a device: a bounded set of unique values, most
// recent first, that decides whether a new value is worth reporting; and the
// list of a device's IP addresses. Plug-in thread only, like their device.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/config.h"

using json = nlohmann::json;

template <typename T> class ozpUniqueSet
{
public:
    using const_iterator = typename std::vector<T>::const_iterator;

    explicit ozpUniqueSet(const char *name = "")
        : name(name)
    {
    }

    void SetLimits(const ozpUniqueSetConfig &config)
    {
        max = config.max;
        update_min = config.update_min;
        update_ttl = config.update_ttl;
    }

    // Adds `value` at the front; true when the set counts as updated.
    bool Push(const T &value);

    // Read access for users of the set, so that the container can change
    // without touching them.
    bool empty() const { return values.empty(); }
    size_t size() const { return values.size(); }
    const T &front() const { return values.front(); }
    const_iterator begin() const { return values.begin(); }
    const_iterator end() const { return values.end(); }

    // Always a static text (the set's key): a string per set would cost
    // every device and every observation a few allocations.
    const char *name;
    uint64_t updates = 0;
    int64_t last_update = 0;
    uint64_t max = 0;
    uint64_t update_min = 0;
    uint64_t update_ttl = 0;
    // A vector, not a deque: an empty deque already holds over 500 bytes and
    // a push at its front another 512, for a handful of values per set.
    std::vector<T> values;
};

// 0.0.0.0 and :: in any spelling: never an address of a device.
bool IsUnspecifiedAddress(const std::string &address);

class IPList
{
public:
    using iterator = std::vector<std::string>::iterator;
    using const_iterator = std::vector<std::string>::const_iterator;

    // Moves or adds `address` to the front; true when it was new. An
    // unspecified address is not added (false, end()).
    std::pair<iterator, bool> insert(const std::string &address);

    bool empty() const { return addresses.empty(); }
    size_t size() const { return addresses.size(); }
    const std::string &front() const { return addresses.front(); }
    const_iterator begin() const { return addresses.begin(); }
    const_iterator end() const { return addresses.end(); }

    std::vector<std::string> addresses;
    uint64_t max_size = 10;
};

// JSON arrays, front first. Reading replaces the values only (no bound is
// applied) and raises the library's type error on anything but an array of
// strings.
void to_json(json &j, const ozpUniqueSet<std::string> &set);
void from_json(const json &j, ozpUniqueSet<std::string> &set);
void to_json(json &j, const IPList &list);
void from_json(const json &j, IPList &list);

extern template class ozpUniqueSet<std::string>;
