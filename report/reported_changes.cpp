#include "report/reported_changes.h"

// Changes that came in while the request was out stay due, and so do the
// devices whose verdicts were skipped: the next upload asks again.
std::vector<std::string> ozpCountReported(std::map<std::string, uint32_t> &unreported,
    const ozpApiDeviceDiscovery::Reported &reported, const std::set<std::string> &kept_due)
{
    std::vector<std::string> covered;
    for (const auto &sent : reported) {
        if (kept_due.count(sent.first) != 0) continue;
        auto due = unreported.find(sent.first);
        if (due == unreported.end()) continue;
        if (due->second > sent.second) {
            due->second -= sent.second;
            continue;
        }
        unreported.erase(due);
        covered.push_back(sent.first);
    }
    return covered;
}
