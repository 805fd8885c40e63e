#include "device/unique_set.h"

template <typename T>
bool ozpUniqueSet<T>::Push(const T &)
{
    return false;
}

template class ozpUniqueSet<std::string>;

std::pair<IPList::iterator, bool> IPList::insert(const std::string &)
{
    return {addresses.begin(), false};
}

void to_json(json &, const ozpUniqueSet<std::string> &) {}
void from_json(const json &, ozpUniqueSet<std::string> &) {}
void to_json(json &, const IPList &) {}
void from_json(const json &, IPList &) {}
