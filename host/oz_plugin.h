// Host plug-in bases. A processor plug-in is a thread that the host starts
// and feeds with events; it hands payloads to the host's sinks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "host/oz_export.h"
#include "host/oz_flow.h"
#include "host/oz_thread.h"

using json = nlohmann::json;

// A set of bits of the enumeration E.
template <typename E> class ozFlags
{
public:
    using value_type = std::underlying_type_t<E>;

    ozFlags() = default;
    ozFlags(E flag)
        : bits(static_cast<value_type>(flag))
    {
    }

    ozFlags &operator|=(E flag)
    {
        bits = static_cast<value_type>(bits | static_cast<value_type>(flag));
        return *this;
    }
    bool operator&(E flag) const { return bits & static_cast<value_type>(flag); }
    value_type Value() const { return bits; }

private:
    value_type bits = 0;
};

// Host objects that some events carry; this plug-in ignores them.
class ozFlowMap;
class ozInterface;
class ozPacketStats;
class ozInstanceStatus;

class OZ_HOST_API ozPlugin : public ozThread
{
public:
    using Params = std::map<std::string, std::string>;

    enum Type : unsigned { TYPE_BASE = 0, TYPE_PROCESSOR = 1, TYPE_PROCESSOR_PASSIVE = 2, TYPE_SINK = 3 };

    enum Event { EVENT_RELOAD = 0, EVENT_STATUS = 1 };

    enum DispatchFlags : uint8_t {
        DF_FORMAT_JSON = 0x01,
        DF_FORMAT_OBJECT = 0x02,
        DF_FORMAT_MSGPACK = 0x04,
        DF_FLUSH = 0x08,
        DF_ADD_HEADER = 0x10,
        DF_GZ_DEFLATE = 0x20,
    };

    ozPlugin(const std::string &tag, Type type);
    ~ozPlugin() override;

    virtual void GetLibrary(std::string &library) = 0;
    virtual void GetName(std::string &name) = 0;
    virtual void GetVersion(std::string &version) = 0;
    virtual void GetStatus(json &status);
    virtual void DisplayStatus(const json &status);
    virtual void DispatchEvent(Event event, void *param = nullptr);

    Type GetType() const { return type; }

    // Hands `payload` to the named channels of a host sink, encoded as
    // `flags` say.
    void DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels,
        const json &payload, ozFlags<DispatchFlags> flags);

protected:
    Type type;
};

class OZ_HOST_API ozPluginProcessor : public ozPlugin
{
public:
    // Every unsigned number is an Event: a host may pass events this list
    // does not name, and the plug-in must be able to look at them to ignore
    // them (an enumeration without a fixed type only holds 0 to 15).
    enum Event : unsigned {
        EVENT_INIT = 1,
        EVENT_FLOW_NEW = 2,
        EVENT_FLOW_EXPIRING = 3,
        EVENT_FLOW_EXPIRED = 4,
        EVENT_FLOW_STATS = 5,
        EVENT_FLOW_DPI_UPDATE = 6,
        EVENT_FLOW_MAP = 7,
        EVENT_FLOW_DPI_COMPLETE = 8,
        EVENT_INTERFACES = 9,
        EVENT_PKT_GLOBAL_STATS = 10,
        EVENT_PKT_CAPTURE_STATS = 11,
        EVENT_INSTANCE_STATUS = 12,
        EVENT_UPDATE = 13,
    };

    // Reads "conf_filename" from `params`.
    ozPluginProcessor(const std::string &tag, const Params &params);
    ~ozPluginProcessor() override;

    virtual void DispatchProcessorEvent(Event event, ozFlowMap *flow_map);
    virtual void DispatchProcessorEvent(Event event, std::shared_ptr<ozFlow> &flow);
    virtual void DispatchProcessorEvent(Event event, std::shared_ptr<ozFlow> &flow, json &result);
    virtual void DispatchProcessorEvent(
        Event event, std::map<std::string, std::shared_ptr<ozInterface>> *interfaces);
    virtual void DispatchProcessorEvent(Event event, const std::string &iface, ozPacketStats *stats);
    virtual void DispatchProcessorEvent(Event event, ozPacketStats *stats);
    virtual void DispatchProcessorEvent(Event event, ozInstanceStatus *status);
    virtual void DispatchProcessorEvent(Event event);

protected:
    std::string conf_filename;
};

// What a plug-in library exports.
struct ozPluginAbi {
    uint32_t magic;
    uint32_t size;
    uint32_t version;
    uint32_t stamp;
    uint32_t reserved[4];
};
static_assert(sizeof(ozPluginAbi) == 32, "the ABI record is 32 bytes");

constexpr uint32_t OZ_PLUGIN_ABI_MAGIC = 0x4f504142;
constexpr uint32_t OZ_PLUGIN_ABI_VERSION = 15;

#define OZ_PLUGIN_ABI_SYMBOL "oz_plugin_abi"
#define OZ_PLUGIN_INIT_SYMBOL "ozPluginInit"

using ozPluginInitFunction = ozPlugin *(*)(const std::string &tag, const ozPlugin::Params &params);
