// The daemon's own configuration: which plug-ins to run, the host's global
// flags, UUIDs, variables, address groups, cloud API bootstrap data, HTTP
// options and sinks. Read once at start-up on the main thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/oz_api.h"
#include "host/oz_config.h"
#include "host/oz_util.h"
#include "host/standin/control.h"

namespace ostrel_host {

struct PluginSpec {
    std::string tag;
    std::string library;
    std::string conf_filename;
};

struct SinkChannelSpec {
    std::string sink;
    std::string channel;
    std::string path; // "-": stdout
    bool table = false;
};

struct ApiSpec {
    std::map<std::string, std::string> urls;
    std::string auth_method; // empty: no authentication
    std::string username;
    std::string password;
    std::string token;
    std::string cert_file;
    std::string key_file;
};

struct HostConfig {
    std::vector<PluginSpec> plugins;
    double update_interval = 15;
    uint64_t flags = 0;
    uint8_t debug_level = 0;
    std::map<ozUUID, std::string> uuids;
    ozVariableMap variables;
    std::map<std::string, std::string> address_groups;
    std::map<ozOstrelApiData::Type, ApiSpec> apis;
    bool has_http_options = false;
    ostrel_standin::HttpOptions http_options;
    std::vector<SinkChannelSpec> sinks;
};

// Reads the file (JSON, comments allowed). `variables` (from the command
// line) win over the file's own; "${config_dir}" is the file's folder. Every
// path, URL and credential is expanded with them. Throws std::runtime_error
// "FILE: FIELD: why".
HostConfig LoadHostConfig(const std::string &path, const ozVariableMap &variables);

// Hands the configuration to the host singletons. Throws std::runtime_error
// naming the field when an address group file cannot be read.
void ApplyHostConfig(const HostConfig &config, ozGlobalConfig &global, ozInstance &instance);

// Bootstrap data of one API, with its authentication method.
ozOstrelApiData::Bootstrap MakeBootstrap(const ApiSpec &desc);

} // namespace ostrel_host
