#include "plugin/plugin.h"

namespace {

// Longer values are cut so that one line stays readable.
constexpr size_t MAX_VALUE_LENGTH = 68;

void PrintSet(
    std::ostream &out, const std::string &margin, const char *heading, const ozpUniqueSet<std::string> &set)
{
    out << margin << heading << set.size() << std::endl;
    for (const std::string &value : set) {
        out << margin << "  - " << value.substr(0, MAX_VALUE_LENGTH);
        if (value.size() > MAX_VALUE_LENGTH) out << "...";
        out << std::endl;
    }
}

} // namespace

void ozpPlugin::PrintDeviceDebug(const ozpDevice &device) const
{
    ozDebugLogStream out;
    // Later lines put their colon under the one that follows the MAC.
    const std::string margin = std::string(device.mac.size(), ' ') + ":";

    out << device.mac << ":"
        << " Confidence: " << device.confidence << " ";
    if (device.confidence >= config.max_confidence && !device.label.empty()) out << device.label;
    out << std::endl;

    out << margin << " IP count: " << device.ip_list.size() << std::endl;
    out << margin << " DHCP/FP: " << device.dhcp_fingerprint << " DHCP/V: " << device.dhcp_vendor
        << " DHCP/H: " << device.dhcp_hostname << std::endl;

    PrintSet(out, margin, " MDNS services: ", device.mdns_services);
    PrintSet(out, margin, " HTTP user agents: ", device.http_user_agents);
    PrintSet(out, margin, " SSDP user agents: ", device.ssdp_user_agents);
    PrintSet(out, margin, " TLS Client JA4: ", device.ja4_clients);

    out << std::endl;
}
