#include "report/api_request.h"

#include "report/json_text.h"

#include <cstdint>
#include <exception>
#include <map>

#include "host/oz_config.h"
#include "host/oz_log.h"

namespace {

// Sent on every request, "-" standing for a UUID the host does not have.
const std::map<ozUUID, std::string> &UuidHeaders()
{
    static const std::map<ozUUID, std::string> headers = {
        {UUID_AGENT, "X-UUID"},
        {UUID_SITE, "X-UUID-Site"},
        {UUID_SERIAL, "X-UUID-Serial"},
    };
    return headers;
}

// Readable in debug mode, compact otherwise.
int UploadIndent()
{
    return ozGlobalConfig::GetInstance().IsDebug() ? 4 : -1;
}

std::string Dump(const json &value, int indent)
{
    // Device texts come from the network: bad UTF-8 must not stop the upload.
    return value.dump(indent, ' ', true, json::error_handler_t::replace);
}

std::string UploadBody(const json &payload)
{
    return Dump(payload, UploadIndent());
}

} // namespace

ozpApiDeviceDiscovery::ozpApiDeviceDiscovery(const ozpGlobalConfig &config)
    : ozOstrelApiThread("api-dev-disc-get")
    , url(config.api_url_index)
    , auth(config.api_auth)
    , method(METHOD_GET)
{
}

ozpApiDeviceDiscovery::ozpApiDeviceDiscovery(const ozpGlobalConfig &config, const json &payload)
    : ozOstrelApiThread("api-dev-disc-post")
    , url(config.api_url_upload)
    , auth(config.api_auth)
    , method(METHOD_POST)
    , body(UploadBody(payload))
    , content_type("application/json")
{
}

ozpApiDeviceDiscovery::ozpApiDeviceDiscovery(const ozpGlobalConfig &config, ozpUploadBody &&payload)
    : ozOstrelApiThread("api-dev-disc-post")
    , url(config.api_url_upload)
    , auth(config.api_auth)
    , method(METHOD_POST)
    , body(payload.Finish())
    , content_type("application/json")
{
}

// The thread reads this object's members: it must be gone before they are.
ozpApiDeviceDiscovery::~ozpApiDeviceDiscovery()
{
    Terminate();
    Join();
}

void *ozpApiDeviceDiscovery::Entry()
{
    ozGlobalConfig &global = ozGlobalConfig::GetInstance();

    headers.clear();
    for (const auto &header : UuidHeaders()) {
        std::string value = "-";
        if (!global.LoadUUID(header.first, value))
            oz_dprintf("%s: no UUID set for: %s\n", tag.c_str(), header.second.c_str());
        headers.insert({header.second, value});
    }

    SetAuthMethod(auth);

    if (!content_type.empty()) headers.insert({"Content-Type", content_type});

    if (global.IsDebugPayload())
        oz_dprintf("%s: payload:\n%s\n", tag.c_str(), body.empty() ? "(none)" : body.c_str());

    try {
        Perform(method, url, body);
    } catch (const std::exception &e) {
        // Kept for the plug-in thread, which says it always, rate-limited.
        error = e.what();
        oz_dprintf("%s: API request error: %s\n", tag.c_str(), e.what());
    }

    response_code = GetResponseCode();
    return nullptr;
}

namespace {

// As the whole payload's dump writes it: ASCII only.
void AppendString(std::string &out, const std::string &text)
{
    ozpAppendJsonString(out, text, true);
}

// Writes the members of one object, each on a line of its own when indented.
class ObjectText
{
public:
    ObjectText(std::string &out, int indent, unsigned level)
        : out(out)
        , indent(indent)
        , level(level)
    {
        out += '{';
    }

    void Key(const char *key)
    {
        if (!first) out += ',';
        first = false;
        NewLine(out, indent, level + 1);
        out += '"';
        out += key;
        out += indent >= 0 ? "\": " : "\":";
    }
    void End()
    {
        if (!first) NewLine(out, indent, level);
        out += '}';
    }

    static void NewLine(std::string &out, int indent, unsigned level)
    {
        if (indent < 0) return;
        out += '\n';
        out.append(static_cast<size_t>(indent) * level, ' ');
    }

    std::string &out;
    const int indent;
    const unsigned level;

private:
    bool first = true;
};

template <typename Values> void AppendStrings(ObjectText &object, const Values &values)
{
    std::string &out = object.out;
    if (values.empty()) {
        out += "[]";
        return;
    }
    out += '[';
    bool first = true;
    for (const std::string &value : values) {
        if (!first) out += ',';
        first = false;
        ObjectText::NewLine(out, object.indent, object.level + 2);
        AppendString(out, value);
    }
    ObjectText::NewLine(out, object.indent, object.level + 1);
    out += ']';
}

// The report form of ozpDevice::Encode as text, members in the order of the
// JSON object's keys.
void AppendDevice(std::string &out, const ozpDevice &device, unsigned char flags, int indent, unsigned level)
{
    ObjectText object(out, indent, level);
    if (flags & ozpDevice::ENCODE_RESPONSE) {
        object.Key("cached");
        out += device.cached ? "true" : "false";
    }
    if (flags & ozpDevice::ENCODE_CONFIDENCE) {
        object.Key("confidence");
        out += std::to_string(device.confidence);
    }
    if (flags & ozpDevice::ENCODE_DHCP) {
        object.Key("dhcp");
        ObjectText dhcp(out, indent, level + 1);
        dhcp.Key("fingerprint");
        AppendString(out, device.dhcp_fingerprint);
        dhcp.Key("hostname");
        AppendString(out, device.dhcp_hostname);
        dhcp.Key("vendor");
        AppendString(out, device.dhcp_vendor);
        dhcp.End();
    }
    if (flags & ozpDevice::ENCODE_HTTP) {
        object.Key("http_user_agents");
        AppendStrings(object, device.http_user_agents);
    }
    if (flags & ozpDevice::ENCODE_IP) {
        object.Key("ip_address");
        AppendString(out, device.ip_list.empty() ? std::string() : device.ip_list.front());
        object.Key("ip_count");
        out += std::to_string(device.ip_list.size());
    }
    if (flags & ozpDevice::ENCODE_JA4) {
        object.Key("ja4_clients");
        AppendStrings(object, device.ja4_clients);
    }
    object.Key("mac");
    AppendString(out, device.mac);
    if (flags & ozpDevice::ENCODE_MDNS) {
        object.Key("mdns_services");
        AppendStrings(object, device.mdns_services);
    }
    if (flags & ozpDevice::ENCODE_RESPONSE) {
        object.Key("response");
        // Any JSON: the library's own writer, at this depth.
        nlohmann::detail::serializer<json> serializer(
            nlohmann::detail::output_adapter<char>(out), ' ', json::error_handler_t::replace);
        bool indented = indent >= 0;
        auto step = indented ? static_cast<unsigned>(indent) : 0u;
        serializer.dump(device.response, indented, true, step, step * (level + 1));
    }
    if (flags & ozpDevice::ENCODE_SSDP) {
        object.Key("ssdp_user_agents");
        AppendStrings(object, device.ssdp_user_agents);
    }
    object.End();
}

} // namespace

ozpUploadBody::ozpUploadBody()
    : indent(UploadIndent())
{
}

size_t ozpUploadBody::Encode(const ozpDevice &device, unsigned char flags)
{
    encoded.clear();
    // Inside the array each device starts a line of its own, indented once;
    // devices are separated by ",".
    ObjectText::NewLine(encoded, indent, 1);
    AppendDevice(encoded, device, flags, indent, 1);
    return encoded.size() + 1;
}

void ozpUploadBody::Add()
{
    body += count == 0 ? '[' : ',';
    body += encoded;
    count++;
}

std::string ozpUploadBody::Finish()
{
    if (count == 0) return "[]";
    ObjectText::NewLine(body, indent, 0);
    body += ']';
    return std::move(body);
}
