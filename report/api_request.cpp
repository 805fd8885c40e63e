#include "report/api_request.h"

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

std::string UploadBody(const json &payload)
{
    int indent = ozGlobalConfig::GetInstance().IsDebug() ? 4 : -1;
    // Device texts come from the network: bad UTF-8 must not stop the upload.
    return payload.dump(indent, ' ', true, json::error_handler_t::replace);
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
        oz_dprintf("%s: API request error: %s\n", tag.c_str(), e.what());
    }

    response_code = GetResponseCode();
    return nullptr;
}
