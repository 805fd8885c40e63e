#include "device/text_bound.h"
#include "plugin/plugin.h"

void ozpPlugin::ProcessFlow(const std::shared_ptr<ozFlow> &flow)
{
    if (!flow) return;
    // The host may write to the flow from its own threads.
    std::lock_guard<std::recursive_mutex> guard(flow->lock);

    // Reset from a blank device rather than built anew: its strings and
    // vectors keep their room from flow to flow.
    ozpDevice &observation = flow_observation;
    observation = blank_observation;
    observation.SetLimits(config);

    const ozAddr *device_mac = nullptr, *other_mac = nullptr;
    const ozAddr *device_ip = nullptr, *other_ip = nullptr;
    switch (flow->origin) {
    case ozFlow::ORIGIN_LOWER:
        device_mac = &flow->lower_mac, other_mac = &flow->upper_mac;
        device_ip = &flow->lower_addr, other_ip = &flow->upper_addr;
        break;
    case ozFlow::ORIGIN_UPPER:
        device_mac = &flow->upper_mac, other_mac = &flow->lower_mac;
        device_ip = &flow->upper_addr, other_ip = &flow->lower_addr;
        break;
    default:
        oz_dprintf("%s: unknown origin.\n", tag.c_str());
        return;
    }

    ozAddr::MakeString(*device_mac, observation.mac);
    const std::string &mac = observation.mac;
    if (IgnoreDeviceMac(mac)) return;

    const std::string peer_mac = config.process_all_macs ? other_mac->GetString() : std::string();
    if (!peer_mac.empty() && !IgnoreDeviceMac(peer_mac) && identified.count(peer_mac) == 0) {
        ozpDevice peer;
        peer.SetLimits(config);
        peer.mac = peer_mac;
        // Retired after its next report: it did not speak for itself.
        peer.other_device = true;
        const std::string peer_ip = ozpBoundText(other_ip->GetString());
        // A flow without an address must not leave an empty one behind.
        if (!peer_ip.empty()) peer.ip_list.insert(peer_ip);
        AddUpdateDevice(peer_mac, peer, true);
    }

    if (identified.count(mac) != 0) {
        const ozGlobalConfig &host = ozGlobalConfig::GetInstance();
        if (host.IsDebug() && host.IsVerbose())
            oz_dprintf("%s: %s: Ignoring; identified.\n", tag.c_str(), mac.c_str());
        return;
    }

    const std::string ip = ozpBoundText(device_ip->GetString());
    if (!ip.empty()) observation.ip_list.insert(ip);

    // Texts are cut to a bound as they enter: the host passes on whatever a
    // device sent.
    if (flow->detected_protocol == ozFlow::PROTO_DHCP) {
        if (flow->HasDhcpClassIdent()) observation.dhcp_vendor = ozpBoundText(flow->dhcp.class_ident);
        if (flow->HasDhcpFingerprint()) observation.dhcp_fingerprint = ozpBoundText(flow->dhcp.fingerprint);
        if (!flow->host_name.empty()) observation.dhcp_hostname = ozpBoundText(flow->host_name);
    }

    if (config.max_http_user_agents.max != 0 && flow->HasHttpUserAgent())
        observation.http_user_agents.Push(ozpBoundText(flow->user_agent));
    if (config.max_ja4_clients.max != 0 && flow->HasTLSClientJA4())
        observation.ja4_clients.Push(ozpBoundText(flow->tls.client_ja4));
    if (config.max_mdns_services.max != 0 && flow->HasMDNSDomainName())
        observation.mdns_services.Push(ozpBoundText(flow->mdns.domain_name));
    if (config.max_ssdp_user_agents.max != 0 && flow->HasSSDPUserAgent())
        observation.ssdp_user_agents.Push(ozpBoundText(flow->user_agent));

    const ozGlobalConfig &host = ozGlobalConfig::GetInstance();
    if (host.IsDebug() && host.GetDebugLevel() >= 2) flow->Print(ozFlow::PRINT_ALL, tag);

    AddUpdateDevice(mac, observation, true);
}
