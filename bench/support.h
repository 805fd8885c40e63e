// Shared pieces of the benchmarks: host singletons, realistic flows and
// device tables, a heap counter and process memory figures. The benchmarks
// call the plug-in's operations directly on the benchmark thread, which
// stands in for the plug-in thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/ozhost.h"
#include "plugin/plugin.h"
#include "tests/support/heap_counter.h"
#include "tests/support/memory.h"

namespace ostrel_bench {

// The host's global configuration and instance, with debug off so that
// nothing is formatted or logged, and a sink handler that drops payloads.
void InstallHost();

// A folder under the system's temporary folder, removed at exit.
const std::string &TempFolder();

// A plug-in object as the host creates it, with a configuration file in
// TempFolder() (`name` tells the files of several plug-ins apart). Not started.
std::unique_ptr<ozpPlugin> MakePlugin(const std::string &name, const std::string &config_text = "{}");

// The MAC text of device `index`; `prefix` keeps sets of devices apart.
std::string DeviceMac(size_t index, unsigned prefix = 0x0a);

// The flows through which a typical device becomes known: a DHCP request,
// two HTTP requests, three mDNS announcements and one TLS client hello, from
// three addresses. Processed in order they give the device 3 addresses,
// 2 HTTP user agents, 3 mDNS names, 1 JA4 and its three DHCP texts.
std::vector<std::shared_ptr<ozFlow>> DeviceFlows(size_t index, unsigned prefix = 0x0a);
constexpr size_t FLOWS_PER_DEVICE = 7;

// Flows of `count` devices, device by device.
std::vector<std::shared_ptr<ozFlow>> TableFlows(size_t count, unsigned prefix = 0x0a);

// Feeds `flows` through ProcessFlow.
void Feed(ozpPlugin &plugin, const std::vector<std::shared_ptr<ozFlow>> &flows);

// A plug-in holding `count` typical devices, built once per size and kept for
// the run. Benchmarks set up the device state they need before timing.
ozpPlugin &SharedTable(size_t count);

// Gives every device of the table a cloud answer below max_confidence (label,
// confidence and response), or takes it away again.
void SetAnswered(ozpPlugin &plugin, bool answered);

// Heap counting (it counts while a benchmark turns it on), process memory
// and file sizes come from the test support.
using ostrel_test::FileSize;
using ostrel_test::HeapFigures;
using ostrel_test::PeakResidentBytes;
using ostrel_test::ResetPeakResident;
using ostrel_test::ResidentBytes;
using ostrel_test::SettleHeap;
using ostrel_test::StartHeapCounting;
using ostrel_test::StopHeapCounting;

} // namespace ostrel_bench
