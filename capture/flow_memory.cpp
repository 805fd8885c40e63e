#include "capture/flow_memory.h"

#include <algorithm>
#include <functional>

namespace ostrel_capture {

SeenValues::Result SeenValues::Add(const std::string &value, size_t bound)
{
    // A 64-bit hash: two values of one endpoint that collide cost the second
    // its event, which is far rarer than anything else lost here.
    uint64_t hash = std::hash<std::string>()(value);
    if (std::find(hashes.begin(), hashes.end(), hash) != hashes.end()) return SEEN;
    if (hashes.size() >= bound) return FULL;
    hashes.push_back(hash);
    return NEW;
}

} // namespace ostrel_capture
