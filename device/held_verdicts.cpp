#include "device/held_verdicts.h"

#include <utility>

#include "host/oz_log.h"

ozpHeldVerdicts::ozpHeldVerdicts(size_t max_verdicts, size_t max_bytes)
    : max_verdicts(max_verdicts)
    , max_bytes(max_bytes)
{
}

size_t ozpHeldVerdicts::Size(const std::string &mac, const Held &verdict)
{
    return mac.size() + verdict.label.size() + verdict.response.size();
}

void ozpHeldVerdicts::Erase(Map::iterator entry)
{
    held_bytes -= Size(entry->first, entry->second);
    by_age.erase(entry->second.age);
    held.erase(entry);
}

void ozpHeldVerdicts::Hold(const ozpVerdict &verdict)
{
    Drop(verdict.mac);
    Held kept {verdict.label, verdict.score, verdict.response.dump(), next_age++};
    const size_t size = Size(verdict.mac, kept);
    if (size > max_bytes || max_verdicts == 0) {
        given_up++;
        return;
    }
    while (!held.empty() && (held.size() >= max_verdicts || held_bytes + size > max_bytes)) {
        Erase(held.find(by_age.begin()->second));
        given_up++;
    }
    by_age.emplace(kept.age, verdict.mac);
    held.emplace(verdict.mac, std::move(kept));
    held_bytes += size;
}

bool ozpHeldVerdicts::Take(const std::string &mac, ozpVerdict &verdict)
{
    auto entry = held.find(mac);
    if (entry == held.end()) return false;
    verdict.mac = mac;
    verdict.label = entry->second.label;
    verdict.score = entry->second.score;
    // Our own dump of a parsed value: it parses.
    verdict.response = nlohmann::json::parse(entry->second.response);
    Erase(entry);
    return true;
}

// A verdict that came before the device (an index answer at start-up) is
// applied once the device is in the table, as an answer about a known device
// would be.
bool ozpHeldVerdicts::TakeInto(const std::string &tag, const std::string &mac, ozpDevice &device)
{
    ozpVerdict verdict;
    if (!Take(mac, verdict)) return false;
    oz_dprintf("%s: %s: held verdict applied: %s: score: %u\n", tag.c_str(), mac.c_str(),
        verdict.label.empty() ? "<NO LABEL>" : verdict.label.c_str(), verdict.score);
    if (!verdict.label.empty()) device.label = std::move(verdict.label);
    if (verdict.score != 0) device.confidence = verdict.score;
    if (!verdict.response.empty()) device.response = std::move(verdict.response);
    device.cached = true;
    return true;
}

void ozpHeldVerdicts::Drop(const std::string &mac)
{
    auto entry = held.find(mac);
    if (entry != held.end()) Erase(entry);
}
