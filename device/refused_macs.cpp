#include "device/refused_macs.h"

ozpRefusedMacs::ozpRefusedMacs(size_t max_recent)
    : max_recent(max_recent)
{
}

// Every flow of a refused MAC comes here: the count and the line are for
// devices, not flows.
bool ozpRefusedMacs::Refuse(
    const std::string &tag, const std::string &mac, size_t table_size, uint64_t max_devices)
{
    if (!recent.insert(mac).second) return false;
    recent_order.push_back(mac);
    if (recent_order.size() > max_recent) {
        recent.erase(recent_order.front());
        recent_order.pop_front();
    }
    refused++;
    log.Printf(tag.c_str(),
        "%s: %s: device table full (%lu devices, max_devices %lu); new device refused, %lu so far\n",
        tag.c_str(), mac.c_str(), static_cast<unsigned long>(table_size),
        static_cast<unsigned long>(max_devices), static_cast<unsigned long>(refused));
    return true;
}

void ozpRefusedMacs::Reset()
{
    if (recent.empty()) return;
    recent.clear();
    recent_order.clear();
}
