#include "report/api_request.h"

#include <algorithm>
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

size_t ozpApiDeviceDiscovery::UploadBytes(const json &device)
{
    int indent = UploadIndent();
    std::string text = Dump(device, indent);
    if (indent < 0) return text.size() + 1; // ","
    // Inside the array every line of the device is indented once more, and
    // devices are separated by ",\n".
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    return text.size() + lines * static_cast<size_t>(indent) + 2;
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
