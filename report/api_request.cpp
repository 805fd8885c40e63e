#include "report/api_request.h"

ozpApiDeviceDiscovery::ozpApiDeviceDiscovery(const ozpGlobalConfig &config)
    : ozOstrelApiThread("api-dev-disc-get"), url(config.api_url_index), auth(config.api_auth), method(METHOD_GET)
{
}

ozpApiDeviceDiscovery::ozpApiDeviceDiscovery(const ozpGlobalConfig &config, const json &)
    : ozOstrelApiThread("api-dev-disc-post"), url(config.api_url_upload), auth(config.api_auth), method(METHOD_POST)
{
}

ozpApiDeviceDiscovery::~ozpApiDeviceDiscovery()
{
    Terminate();
    Join();
}

void *ozpApiDeviceDiscovery::Entry()
{
    return nullptr;
}
