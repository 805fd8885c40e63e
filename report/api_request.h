// One exchange with the cloud device-discovery API on a thread of its own:
// the query form (GET of the index URL) or the upload form (POST of the
// changed devices to the upload URL).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "config/config.h"
#include "host/oz_api.h"

using json = nlohmann::json;

class ozpApiDeviceDiscovery : public ozOstrelApiThread
{
public:
    // Query form.
    explicit ozpApiDeviceDiscovery(const ozpGlobalConfig &config);
    // Upload form.
    ozpApiDeviceDiscovery(const ozpGlobalConfig &config, const json &payload);
    ~ozpApiDeviceDiscovery() override;

    void *Entry() override;

    int64_t GetApiResponseCode() const { return response_code; }
    Method GetMethod() const { return method; }
    const std::string &GetUrl() const { return url; }
    const std::string &GetBody() const { return body; }

private:
    // Taken from the configuration on the plug-in thread when the request is
    // built: a reload may rewrite the configuration while the request runs.
    std::string url;
    std::shared_ptr<ozOstrelApiAuthMethod::Base> auth;

    Method method;
    std::string body;
    std::string content_type;
    int64_t response_code = -1;
};
