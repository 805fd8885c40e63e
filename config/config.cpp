#include "config/config.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/oz_addr.h"
#include "host/oz_config.h"
#include "host/oz_exception.h"
#include "host/oz_util.h"

namespace {

// Limits and ages are 32-bit quantities. A larger number is held at the
// 32-bit maximum: wrapping it would turn "practically unlimited" into a value
// near zero.
uint64_t ToLimit(const json &value)
{
    return std::min<uint64_t>(value.get<uint64_t>(), UINT32_MAX);
}

// Stores the key's value when it is a non-negative integer; anything else
// leaves `target` as it was.
void LoadLimit(const json &j, const char *key, uint64_t &target)
{
    auto value = j.find(key);
    if (value != j.end() && value->is_number_unsigned()) target = ToLimit(*value);
}

// As LoadLimit, for bounds that must not be 0.
void LoadBound(const json &j, const char *key, uint64_t &target)
{
    auto value = j.find(key);
    if (value != j.end() && value->is_number_unsigned() && value->get<uint64_t>() != 0)
        target = ToLimit(*value);
}

// A set key is either the object form or a plain number for its `max`.
// `colon_form` picks between the two historical message forms.
void LoadSetLimits(const json &j, const char *key, ozpUniqueSetConfig &set, bool colon_form)
{
    auto value = j.find(key);
    if (value == j.end()) return;
    if (value->is_object()) {
        set.Load(*value);
        return;
    }
    if (value->is_number_unsigned()) {
        set.max = ToLimit(*value);
        return;
    }
    if (colon_form)
        throw ozException("%s: %s: %s: %s", "void ozpGlobalConfig::Load(const json &)", key,
            value->type_name(), strerror(EINVAL));
    throw ozException("%s: %s: %s, %s", "void ozpGlobalConfig::Load(const json &)", key, value->type_name(),
        strerror(EINVAL));
}

// Only a JSON string is looked at; other types are ignored.
bool FindString(const json &j, const char *key, std::string &text)
{
    auto value = j.find(key);
    if (value == j.end() || !value->is_string()) return false;
    text = value->get<std::string>();
    return true;
}

bool FindBool(const json &j, const char *key, bool &flag)
{
    auto value = j.find(key);
    if (value == j.end() || !value->is_boolean()) return false;
    flag = value->get<bool>();
    return true;
}

// The MAC text of an ignore-list entry as flows give it (lower case, colons:
// the host's own form), whatever the case, separator or spaces around it;
// empty when the entry is no MAC.
std::string HostMac(const std::string &entry)
{
    const char *space = " \t\r\n\f\v";
    size_t start = entry.find_first_not_of(space);
    if (start == std::string::npos) return std::string();
    ozAddr addr;
    if (!ozAddr::Create(addr, entry.substr(start, entry.find_last_not_of(space) + 1 - start))
        || !addr.IsEthernet())
        return std::string();
    return addr.GetString();
}

[[noreturn]] void ThrowBadChannelOption(const char *key, const std::string &text)
{
    throw ozException("%s: %s: %s: %s", "void ozpChannelConfig::Load(const string &, const json &)", key,
        text.c_str(), strerror(EINVAL));
}

} // namespace

void ozpUniqueSetConfig::Load(const json &j)
{
    LoadLimit(j, "max", max);
    LoadLimit(j, "update_min", update_min);
    LoadLimit(j, "update_ttl", update_ttl);
}

void ozpChannelConfig::Load(const std::string &, const json &j)
{
    std::string text;
    if (FindString(j, "format", text)) {
        if (text == "json")
            format = FORMAT_JSON;
        else if (text == "object")
            format = FORMAT_OBJECT;
        else if (text == "msgpack")
            format = FORMAT_MSGPACK;
        else
            ThrowBadChannelOption("format", text);
    }
    if (FindString(j, "compressor", text)) {
        if (text == "none")
            compressor = COMPRESSOR_NONE;
        else if (text == "gz")
            compressor = COMPRESSOR_GZ;
        else
            ThrowBadChannelOption("compressor", text);
    }
    FindBool(j, "flush", flush);
}

void ozpGlobalConfig::Load(const json &j)
{
    // The ignore set, group, cache path and credentials survive a file that
    // no longer mentions them; everything else starts over.
    max_confidence = 80;
    max_device_age = 172800;
    max_http_user_agents = ozpUniqueSetConfig();
    max_ja4_clients = ozpUniqueSetConfig();
    max_mdns_services = ozpUniqueSetConfig();
    max_ssdp_user_agents = ozpUniqueSetConfig();
    process_all_macs = false;
    api_enable = false;
    api_url_index.clear();
    api_url_upload.clear();
    max_devices = 100000;
    max_identified = 200000;
    max_request_devices = 1000;

    LoadBound(j, "max_devices", max_devices);
    LoadBound(j, "max_identified", max_identified);
    LoadBound(j, "max_request_devices", max_request_devices);
    LoadLimit(j, "max_confidence", max_confidence);
    LoadLimit(j, "max_device_age", max_device_age);
    LoadSetLimits(j, "max_mdns_services", max_mdns_services, true);
    LoadSetLimits(j, "max_http_user_agents", max_http_user_agents, false);
    LoadSetLimits(j, "max_ssdp_user_agents", max_ssdp_user_agents, false);
    LoadSetLimits(j, "max_ja4_clients", max_ja4_clients, false);
    FindBool(j, "process_all_macs", process_all_macs);

    device_mac_ignore_rejected.clear();
    auto ignore = j.find("device_mac_ignore");
    if (ignore != j.end() && ignore->is_array()) {
        // Converted first so that a bad element leaves the old set in place.
        std::set<std::string> macs;
        for (const std::string &entry : ignore->get<std::vector<std::string>>()) {
            std::string mac = HostMac(entry);
            if (mac.empty())
                device_mac_ignore_rejected.push_back(entry);
            else
                macs.insert(std::move(mac));
        }
        device_mac_ignore = std::move(macs);
    }

    if (FindString(j, "device_mac_ignore_group", device_mac_ignore_group))
        ozInstance::GetInstance().addr_lookup.SetGroupFilename(device_mac_ignore_group);

    std::string path;
    if (FindString(j, "path_device_cache", path))
        path_device_cache = oz_expand_variables(path, ozGlobalConfig::GetInstance().variables);

    auto api = j.find("ostrel_api");
    if (api == j.end()) return;
    // A value that is not an object has no members: the host's URLs apply.
    FindBool(*api, "enable", api_enable);
    if (FindString(*api, "url", api_url_upload)) {
        // The host's credentials belong to the host's URLs; kept from an
        // earlier load they would go to whatever host the file names.
        api_auth.reset();
        return;
    }

    auto bootstrap
        = ozInstance::GetInstance().api_manager.GetBootstrapData(ozOstrelApiData::DATA_DEV_DISCOVERY);
    if (!bootstrap) return;
    auto index = bootstrap->urls.find("index");
    if (index != bootstrap->urls.end()) api_url_index = index->second;
    auto upload = bootstrap->urls.find("upload");
    if (upload != bootstrap->urls.end()) api_url_upload = upload->second;
    if (!api_url_index.empty() || !api_url_upload.empty()) api_auth = bootstrap->auth_method;
}
