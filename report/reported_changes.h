// What a good answer covers of the changes waiting for the cloud, from the
// pending changes and what the request carried alone, so that the count can
// be checked without a plug-in.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "report/api_request.h"

// Takes the changes `reported` carried off `unreported`, but for the MACs in
// `kept_due`. Returns the MACs left with no change due, in the order of
// `reported`.
std::vector<std::string> ozpCountReported(std::map<std::string, uint32_t> &unreported,
    const ozpApiDeviceDiscovery::Reported &reported, const std::set<std::string> &kept_due);
