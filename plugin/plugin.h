// The device-discovery processor plug-in. Host threads only set the pending
// flags and queue flows; everything else runs on the plug-in's own thread
// (Entry), which alone touches the configuration, sinks, devices,
// `identified`, the request thread and the cache.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "config/config.h"
#include "config/log_limit.h"
#include "device/device.h"
#include "device/device_table.h"
#include "device/held_verdicts.h"
#include "device/refused_macs.h"
#include "host/ozhost.h"
#include "report/api_request.h"
#include "report/cache_claim.h"

using json = nlohmann::json;

constexpr const char *OZP_PLUGIN_LIBRARY = "ostrel-proc-dev-discovery";
constexpr const char *OZP_PLUGIN_NAME = "Ostrel Device Discovery Processor Plugin";
constexpr const char *OZP_PLUGIN_VERSION = "1.2.11";

// A cache file above this size is refused, not read. A typical device takes
// about 660 bytes in the cache, one with every value set full about 15 KB:
// a million typical devices (0.7 GB), or the default table bound of devices
// that large (1.5 GB), stay below it.
constexpr uint64_t OZP_MAX_CACHE_BYTES = uint64_t(2) << 30;

// The groups of a device that each report carries (ozpDevice::Encode).
// The sinks get every group but the confidence, which they read from
// "response"; the cloud gets what it needs to identify a device.
constexpr unsigned char OZP_SINK_ENCODE_FLAGS = ozpDevice::ENCODE_DHCP | ozpDevice::ENCODE_MDNS
    | ozpDevice::ENCODE_HTTP | ozpDevice::ENCODE_SSDP | ozpDevice::ENCODE_JA4 | ozpDevice::ENCODE_IP
    | ozpDevice::ENCODE_RESPONSE;
constexpr unsigned char OZP_REQUEST_ENCODE_FLAGS = ozpDevice::ENCODE_DHCP | ozpDevice::ENCODE_MDNS
    | ozpDevice::ENCODE_HTTP | ozpDevice::ENCODE_SSDP | ozpDevice::ENCODE_JA4 | ozpDevice::ENCODE_IP;
static_assert(OZP_SINK_ENCODE_FLAGS == 0xDF && OZP_REQUEST_ENCODE_FLAGS == 0x5F, "report groups moved");

class ozpPlugin : public ozPluginProcessor
{
public:
    using ChannelMap = std::map<std::string, ozpChannelConfig>;
    using SinkMap = std::map<std::string, ChannelMap>;
    using DeviceMap = ozpDeviceTable::Map;

    ozpPlugin(const std::string &tag, const ozPlugin::Params &params);
    ~ozpPlugin() override;

    // Host interface (plugin/plugin.cpp).
    void *Entry() override;
    // Also wakes the thread from its wait for a flow, so that it stops at once.
    void Terminate() override;
    void GetLibrary(std::string &library) override;
    void GetName(std::string &name) override;
    void GetVersion(std::string &version) override;
    void GetStatus(json &status) override;
    void DisplayStatus(const json &status) override;
    void DispatchEvent(ozPlugin::Event event, void *param = nullptr) override;
    void DispatchProcessorEvent(ozPluginProcessor::Event event, ozFlowMap *flow_map) override;
    void DispatchProcessorEvent(ozPluginProcessor::Event event, std::shared_ptr<ozFlow> &flow) override;
    using ozPluginProcessor::DispatchProcessorEvent;
    void DispatchProcessorEvent(ozPluginProcessor::Event event,
        std::map<std::string, std::shared_ptr<ozInterface>> *interfaces) override;
    void DispatchProcessorEvent(
        ozPluginProcessor::Event event, const std::string &iface, ozPacketStats *stats) override;
    void DispatchProcessorEvent(ozPluginProcessor::Event event, ozPacketStats *stats) override;
    void DispatchProcessorEvent(ozPluginProcessor::Event event, ozInstanceStatus *status) override;
    void DispatchProcessorEvent(ozPluginProcessor::Event event) override;

    // One pass of the main loop (plugin/plugin.cpp).
    void RunPass();

    // Configuration (config/reload.cpp).
    void Reload();

    // Device observation (device/).
    void ProcessFlow(const std::shared_ptr<ozFlow> &flow);
    bool IgnoreDeviceMac(const std::string &mac);
    bool AddUpdateDevice(const std::string &mac, const ozpDevice &device, bool merge);
    bool AddUpdateDevice(const std::string &mac, ozpDevice &&device, bool merge);
    uint64_t PurgeDevices();
    // Retires a MAC: its later flows are ignored.
    void AddIdentified(const std::string &mac);
    void PrintDeviceDebug(const ozpDevice &device) const;

    // Reporting and cloud exchange (report/).
    void ProcessUpdate();
    void DispatchPayload(json &payload);
    void ProcessApiResponse();
    // The checks and merge of ProcessApiResponse on an answer given as its
    // parts, so that answers can be checked without a request thread. True
    // when the request was answered well, and then the changes `reported`
    // counts are reported; a failure is said always, once.
    bool ProcessApiAnswer(int64_t response_code, const std::string &content_type, const std::string &body,
        const std::string &request_error = std::string(),
        const ozpApiDeviceDiscovery::Reported &reported = ozpApiDeviceDiscovery::Reported());
    size_t LoadDevices(const std::string &path);
    void SaveDevices(const std::string &path);

    std::atomic<bool> reload_pending {true};
    std::atomic<bool> update_pending {false};
    ozpGlobalConfig config;
    ozpChannelConfig channel_defaults;
    SinkMap sinks;
    DeviceMap devices;
    int64_t last_cache_save = 0;
    std::deque<std::shared_ptr<ozFlow>> flow_queue;
    std::mutex flow_lock;
    std::condition_variable flow_ready;
    std::set<std::string> identified;
    // The members of `identified` in the order they were retired, so that
    // the oldest is forgotten first once `max_identified` is reached.
    std::deque<std::string> identified_order;
    std::unique_ptr<ozpApiDeviceDiscovery> api_thread;

    // The cache path whose file has been read (or found absent) in this run;
    // until then a save would overwrite devices never loaded (report/).
    std::string cache_loaded_path;
    bool cache_loaded = false;
    bool IsCacheLoaded(const std::string &path) const;

    // The changes of `devices` and whether the cache file holds them.
    ozpDeviceTable device_table;

    // Devices (distinct MACs) refused because the table held `max_devices`
    // already: a MAC counts once while the table stays full, as long as it
    // is among the last OZP_MAX_RECENT_REFUSED refused.
    ozpRefusedMacs refused_macs;

    // Flows taken from the queue and processed over the thread's life, and
    // flows left unprocessed when it stopped. Written by the plug-in thread;
    // the host may read them at any time, and finally after Join.
    std::atomic<uint64_t> flows_processed {0};
    std::atomic<uint64_t> flows_dropped {0};

    // Changes of each device that no good answer of the cloud has covered
    // yet, by MAC; uploads are built from here (report/).
    std::map<std::string, uint32_t> unreported;
    // The last MAC of the last upload: the next one starts after it, so that
    // a table larger than one request is sent in turns.
    std::string last_uploaded_mac;
    // The most one upload body may hold: half of the 8 MiB that the
    // classification service accepts, room for proxies with smaller limits
    // and still hundreds of devices with long texts.
    size_t max_request_bytes = 4 * 1024 * 1024;
    // Failed requests are said always, but not a line per second while the
    // cloud is down.
    ozpLogLimit request_failures;
    // Verdicts for MACs neither in `devices` nor asked about, until a flow
    // brings the MAC (report/).
    ozpHeldVerdicts held_verdicts;

    // How long one pass waits for a flow.
    std::chrono::milliseconds flow_wait {1000};
    // How long the thread, told to stop, goes on with the flows still queued
    // before it saves and ends (the host waits for it).
    std::chrono::milliseconds stop_flow_limit {10000};

    // Wall-clock seconds since the Unix epoch, for the age of cached devices
    // across restarts; the host's own clock is monotonic.
    std::function<int64_t()> wall_clock = [] { return static_cast<int64_t>(std::time(nullptr)); };
    uint64_t max_cache_bytes = OZP_MAX_CACHE_BYTES;
    // The cache path this instance uses, kept from other instances (report/).
    ozpCacheClaim cache_claim;
    // Cache lines that would otherwise repeat with every update tick.
    ozpLogLimit cache_log {5, 3600};
    // Saves failed in a row since the last one that went through.
    uint64_t cache_save_failures = 0;

private:
    // The reload step of a pass, but for the request it may start; true when
    // the configuration was read.
    bool ReloadAndCache();
    void CollectRequest();
    void StartQuery();
    // Makes and starts the request thread; one that fails to start is said
    // and dropped. True when it runs.
    bool StartRequest(const std::function<std::unique_ptr<ozpApiDeviceDiscovery>()> &make);
    void ProcessQueuedFlow(const std::shared_ptr<ozFlow> &flow);
    void ProcessFlowsAtStop();
    // SaveDevices at the configured path from the loop: a failure is said
    // at once the first time, then a few times an hour.
    void SaveCache();
    bool WriteDevices(const std::string &path);
    void StopWithoutConfiguration();
    template <typename Device> bool AddOrMerge(const std::string &mac, Device &&device, bool merge);
    void StartUpload();
    // Moves the MAC into `identified` and drops the device; returns the
    // entry after it.
    DeviceMap::iterator RetireDevice(DeviceMap::iterator entry);
    // `kept_due` gets the MACs whose verdicts were skipped.
    std::string ApplyApiAnswer(int64_t response_code, const std::string &content_type,
        const std::string &body, const std::set<std::string> &sent, std::set<std::string> &kept_due,
        bool &said);
    void ApplyVerdict(ozpVerdict &verdict, const std::set<std::string> &sent);
    // ozpCountReported, then the other endpoints' devices it leaves with
    // nothing due are retired.
    void CountReported(
        const ozpApiDeviceDiscovery::Reported &reported, const std::set<std::string> &kept_due);

    // A reload has read the configuration in this run.
    bool config_read = false;
    ozpLogLimit verdict_faults;
    // ProcessFlow's observation, kept so that its storage is reused.
    const ozpDevice blank_observation;
    ozpDevice flow_observation;
};
