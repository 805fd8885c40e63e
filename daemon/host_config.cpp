#include "daemon/host_config.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "fileio/durable_file.h"

using json = nlohmann::json;

namespace ostrel_host {

namespace {

// Reads fields of one file and names the file and field in every error.
class Reader
{
public:
    Reader(std::string file, ozVariableMap variables)
        : file(std::move(file))
        , variables(std::move(variables))
    {
    }

    [[noreturn]] void Fail(const std::string &field, const std::string &why) const
    {
        throw std::runtime_error(file + ": " + field + ": " + why);
    }

    const json &Object(const std::string &field, const json &value) const
    {
        if (!value.is_object()) Fail(field, "must be an object");
        return value;
    }

    std::string String(const std::string &field, const json &value, bool expand = true) const
    {
        if (!value.is_string()) Fail(field, "must be a string");
        return expand ? oz_expand_variables(value.get<std::string>(), variables) : value.get<std::string>();
    }

    std::string NonEmpty(const std::string &field, const json &value) const
    {
        std::string text = String(field, value);
        if (text.empty()) Fail(field, "must not be empty");
        return text;
    }

    // A value that goes into a request line or header: a CR or LF in it
    // would end the header and start one of the file's choosing.
    std::string HeaderSafe(const std::string &field, const json &value) const
    {
        std::string text = String(field, value);
        for (unsigned char c : text) {
            if (c < 0x20 || c == 0x7f) {
                char code[8];
                snprintf(code, sizeof(code), "0x%02x", c);
                Fail(field, std::string("must not hold control characters (found ") + code + ")");
            }
        }
        return text;
    }

    bool Bool(const std::string &field, const json &value) const
    {
        if (!value.is_boolean()) Fail(field, "must be true or false");
        return value.get<bool>();
    }

    uint64_t Unsigned(const std::string &field, const json &value, uint64_t max) const
    {
        if (!value.is_number_unsigned() || value.get<uint64_t>() > max)
            Fail(field, "must be a whole number from 0 to " + std::to_string(max));
        return value.get<uint64_t>();
    }

    void Unknown(const std::string &field) const { Fail(field, "unknown key"); }

    const std::string file;
    ozVariableMap variables;
};

void ReadPlugins(const Reader &reader, const json &value, HostConfig &config)
{
    if (!value.is_array()) reader.Fail("plugins", "must be an array of objects");
    for (size_t i = 0; i < value.size(); i++) {
        const std::string at = "plugins[" + std::to_string(i) + "]";
        reader.Object(at, value[i]);
        PluginSpec desc;
        for (const auto &item : value[i].items()) {
            const std::string field = at + "." + item.key();
            if (item.key() == "tag")
                desc.tag = reader.NonEmpty(field, item.value());
            else if (item.key() == "library")
                desc.library = reader.NonEmpty(field, item.value());
            else if (item.key() == "conf_filename")
                desc.conf_filename = reader.NonEmpty(field, item.value());
            else
                reader.Unknown(field);
        }
        if (desc.tag.empty()) reader.Fail(at + ".tag", "missing");
        for (const PluginSpec &other : config.plugins) {
            if (other.tag == desc.tag) reader.Fail(at + ".tag", "\"" + desc.tag + "\" is used twice");
        }
        config.plugins.push_back(desc);
    }
}

void ReadUuids(const Reader &reader, const json &value, HostConfig &config)
{
    reader.Object("uuids", value);
    for (const auto &item : value.items()) {
        const std::string field = "uuids." + item.key();
        ozUUID kind = UUID_NONE;
        if (item.key() == "agent")
            kind = UUID_AGENT;
        else if (item.key() == "site")
            kind = UUID_SITE;
        else if (item.key() == "serial")
            kind = UUID_SERIAL;
        else
            reader.Fail(field, "unknown UUID kind (agent, site or serial)");
        config.uuids[kind] = reader.HeaderSafe(field, item.value());
    }
}

ApiSpec ReadApi(const Reader &reader, const std::string &at, const json &value)
{
    reader.Object(at, value);
    ApiSpec desc;
    for (const auto &item : value.items()) {
        const std::string field = at + "." + item.key();
        if (item.key() == "urls") {
            reader.Object(field, item.value());
            for (const auto &url : item.value().items()) {
                const std::string name = field + "." + url.key();
                reader.HeaderSafe(name, url.value());
                desc.urls[url.key()] = reader.NonEmpty(name, url.value());
            }
        } else if (item.key() == "auth_method") {
            desc.auth_method = reader.String(field, item.value(), false);
            ozOstrelApiAuthMethod::Type type = ozOstrelApiAuthMethod::GetType(desc.auth_method);
            if (type == ozOstrelApiAuthMethod::AUTH_INVALID)
                reader.Fail(field, "unknown method \"" + desc.auth_method + "\" (basic, bearer or mtls)");
        } else if (item.key() == "username")
            desc.username = reader.HeaderSafe(field, item.value());
        else if (item.key() == "password")
            desc.password = reader.HeaderSafe(field, item.value());
        else if (item.key() == "token")
            desc.token = reader.HeaderSafe(field, item.value());
        else if (item.key() == "cert_file")
            desc.cert_file = reader.String(field, item.value());
        else if (item.key() == "key_file")
            desc.key_file = reader.String(field, item.value());
        else
            reader.Unknown(field);
    }
    // Each method needs its credentials; an empty one would fail only at the
    // first request, far from its cause.
    switch (ozOstrelApiAuthMethod::GetType(desc.auth_method)) {
    case ozOstrelApiAuthMethod::AUTH_BASIC:
        if (desc.username.empty()) reader.Fail(at + ".username", "missing; auth_method basic needs it");
        break;
    case ozOstrelApiAuthMethod::AUTH_BEARER:
        if (desc.token.empty()) reader.Fail(at + ".token", "missing; auth_method bearer needs it");
        break;
    case ozOstrelApiAuthMethod::AUTH_MTLS:
        if (desc.cert_file.empty()) reader.Fail(at + ".cert_file", "missing; auth_method mtls needs it");
        if (desc.key_file.empty()) reader.Fail(at + ".key_file", "missing; auth_method mtls needs it");
        break;
    default:
        break;
    }
    return desc;
}

void ReadApis(const Reader &reader, const json &value, HostConfig &config)
{
    reader.Object("api", value);
    for (const auto &item : value.items()) {
        const std::string field = "api." + item.key();
        ozOstrelApiData::Type type = ozOstrelApiData::GetType(item.key());
        if (type == ozOstrelApiData::DATA_INVALID)
            reader.Fail(field, "unknown API (agent, intel or dev-discovery)");
        config.apis[type] = ReadApi(reader, field, item.value());
    }
}

void ReadHttp(const Reader &reader, const json &value, HostConfig &config)
{
    reader.Object("http", value);
    config.has_http_options = true;
    ostrel_standin::HttpOptions &options = config.http_options;
    for (const auto &item : value.items()) {
        const std::string field = "http." + item.key();
        // A day bounds every time-out; larger values are typing errors.
        if (item.key() == "connect_timeout_ms")
            options.connect_timeout_ms = static_cast<long>(reader.Unsigned(field, item.value(), 86400000));
        else if (item.key() == "total_timeout_ms")
            options.total_timeout_ms = static_cast<long>(reader.Unsigned(field, item.value(), 86400000));
        else if (item.key() == "max_response_bytes")
            options.max_response_bytes = reader.Unsigned(field, item.value(), 1024u * 1024 * 1024);
        else if (item.key() == "ca_file")
            options.ca_file = reader.String(field, item.value());
        else
            reader.Unknown(field);
    }
}

void ReadSinks(const Reader &reader, const json &value, HostConfig &config)
{
    reader.Object("sinks", value);
    for (const auto &sink : value.items()) {
        const std::string at = "sinks." + sink.key();
        reader.Object(at, sink.value());
        for (const auto &channel : sink.value().items()) {
            const std::string field = at + "." + channel.key();
            SinkChannelSpec desc {sink.key(), channel.key(), std::string(), false};
            if (channel.value().is_string()) {
                desc.path = reader.NonEmpty(field, channel.value());
            } else if (channel.value().is_object()) {
                for (const auto &item : channel.value().items()) {
                    if (item.key() == "path")
                        desc.path = reader.NonEmpty(field + ".path", item.value());
                    else if (item.key() == "view") {
                        std::string view = reader.String(field + ".view", item.value(), false);
                        if (view != "table" && view != "encoded")
                            reader.Fail(field + ".view", "unknown view \"" + view + "\" (encoded or table)");
                        desc.table = view == "table";
                    } else
                        reader.Unknown(field + "." + item.key());
                }
                if (desc.path.empty()) reader.Fail(field + ".path", "missing");
            } else {
                reader.Fail(field, "must be an output path (\"-\" for stdout) or an object with \"path\"");
            }
            config.sinks.push_back(desc);
        }
    }
}

} // namespace

HostConfig LoadHostConfig(const std::string &path, const ozVariableMap &variables)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot open: " + strerror(errno));
    json doc;
    try {
        doc = json::parse(in, nullptr, true, true);
    } catch (const json::exception &e) {
        throw std::runtime_error(path + ": not valid JSON: " + e.what());
    }
    if (!doc.is_object()) throw std::runtime_error(path + ": must hold one JSON object");

    HostConfig config;
    ozVariableMap built_in {{"config_dir", ozpFolderOf(path)}};

    // Variables first: every other string may use them.
    if (doc.contains("variables")) {
        Reader early(path, built_in);
        early.Object("variables", doc["variables"]);
        for (const auto &item : doc["variables"].items())
            config.variables[item.key()] = early.String("variables." + item.key(), item.value());
    }
    for (const auto &item : variables)
        config.variables[item.first] = item.second;
    ozVariableMap expansion = built_in;
    for (const auto &item : config.variables)
        expansion[item.first] = item.second;
    Reader reader(path, expansion);

    for (const auto &item : doc.items()) {
        const std::string &key = item.key();
        const json &value = item.value();
        if (key == "variables") continue;
        if (key == "plugins")
            ReadPlugins(reader, value, config);
        else if (key == "update_interval") {
            if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0.05
                || value.get<double>() > 86400)
                reader.Fail(key, "must be a number of seconds from 0.05 to 86400");
            config.update_interval = value.get<double>();
        } else if (key == "debug") {
            if (reader.Bool(key, value)) config.flags |= ozGlobalConfig::GF_DEBUG;
        } else if (key == "verbose") {
            if (reader.Bool(key, value)) config.flags |= ozGlobalConfig::GF_VERBOSE;
        } else if (key == "debug_payload") {
            if (reader.Bool(key, value)) config.flags |= ozGlobalConfig::GF_DEBUG_PAYLOAD;
        } else if (key == "debug_level") {
            config.debug_level = static_cast<uint8_t>(reader.Unsigned(key, value, 255));
        } else if (key == "flags") {
            config.flags |= reader.Unsigned(key, value, UINT64_MAX);
        } else if (key == "uuids")
            ReadUuids(reader, value, config);
        else if (key == "address_groups") {
            reader.Object(key, value);
            for (const auto &group : value.items())
                config.address_groups[group.key()] = reader.NonEmpty(key + "." + group.key(), group.value());
        } else if (key == "api")
            ReadApis(reader, value, config);
        else if (key == "http")
            ReadHttp(reader, value, config);
        else if (key == "sinks")
            ReadSinks(reader, value, config);
        else
            reader.Unknown(key);
    }
    return config;
}

ozOstrelApiData::Bootstrap MakeBootstrap(const ApiSpec &desc)
{
    ozOstrelApiData::Bootstrap bootstrap;
    bootstrap.urls = desc.urls;
    switch (ozOstrelApiAuthMethod::GetType(desc.auth_method)) {
    case ozOstrelApiAuthMethod::AUTH_BASIC:
        bootstrap.auth_method = std::make_shared<ozOstrelApiAuthMethod::Basic>(desc.username, desc.password);
        break;
    case ozOstrelApiAuthMethod::AUTH_BEARER:
        bootstrap.auth_method = std::make_shared<ozOstrelApiAuthMethod::Bearer>(desc.token);
        break;
    case ozOstrelApiAuthMethod::AUTH_MTLS:
        bootstrap.auth_method = std::make_shared<ozOstrelApiAuthMethod::Mtls>(desc.cert_file, desc.key_file);
        break;
    default:
        break;
    }
    return bootstrap;
}

void ApplyHostConfig(const HostConfig &config, ozGlobalConfig &global, ozInstance &instance)
{
    global.flags = config.flags;
    global.debug_level = config.debug_level;
    for (const auto &uuid : config.uuids)
        ostrel_standin::SetUUID(global, uuid.first, uuid.second);
    global.variables = config.variables;
    for (const auto &group : config.address_groups) {
        if (!ostrel_standin::AddGroupFile(instance.addr_lookup, group.first, group.second))
            throw std::runtime_error(
                "address_groups." + group.first + ": " + group.second + ": cannot be read");
    }
    for (const auto &api : config.apis)
        ostrel_standin::SetBootstrapData(instance.api_manager, api.first, MakeBootstrap(api.second));
    if (config.has_http_options) ostrel_standin::SetHttpOptions(instance.api_manager, config.http_options);
}

} // namespace ostrel_host
