// One exchange with the cloud device-discovery API on a thread of its own:
// the query form (GET of the index URL) or the upload form (POST of the
// changed devices to the upload URL).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/config.h"
#include "device/device.h"
#include "host/oz_api.h"

using json = nlohmann::json;

class ozpApiDeviceDiscovery : public ozOstrelApiThread
{
public:
    // Query form.
    explicit ozpApiDeviceDiscovery(const ozpGlobalConfig &config);
    // Upload form, of a payload array or of a body written by ozpUploadBody.
    ozpApiDeviceDiscovery(const ozpGlobalConfig &config, const json &payload);
    ozpApiDeviceDiscovery(const ozpGlobalConfig &config, class ozpUploadBody &&payload);
    ~ozpApiDeviceDiscovery() override;

    void *Entry() override;

    // The devices an upload reports, each with the number of its changes
    // that the payload carries. The plug-in thread sets it before Create and
    // counts those changes as reported once the answer is good.
    using Reported = std::vector<std::pair<std::string, uint32_t>>;
    void SetReported(Reported devices) { reported = std::move(devices); }
    const Reported &GetReported() const { return reported; }

    // A body is at most this much more than the sum of what its devices add
    // (ozpUploadBody::Encode).
    static constexpr size_t UPLOAD_BODY_OVERHEAD = 4;

    int64_t GetApiResponseCode() const { return response_code; }
    // Why no response was had; empty when one was.
    const std::string &GetError() const { return error; }
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
    std::string error;
    Reported reported;
};

// An upload body written device by device as text, without a JSON value per
// device: the bytes that dumping the array of the devices' report forms
// gives, compact, or indented in debug mode, ASCII only, bad UTF-8 replaced.
class ozpUploadBody
{
public:
    ozpUploadBody();

    // Writes the report form of `device` (the groups of `flags`) aside and
    // returns the bytes it would add to the body, separator included.
    size_t Encode(const ozpDevice &device, unsigned char flags);
    // Adds the device written last.
    void Add();
    bool empty() const { return count == 0; }
    // The body; the object is spent.
    std::string Finish();

private:
    int indent;
    size_t count = 0;
    std::string body;
    std::string encoded;
};
