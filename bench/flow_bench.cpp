// Flow processing: one flow on the plug-in thread (ProcessFlow), and the whole
// road from host threads through the queue to the table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "bench/support.h"

namespace ostrel_bench {
namespace {

// Every flow of a device already in the table, with nothing new in it: the
// common case once a network has been seen for a while.
void BM_ProcessFlowKnownDevice(benchmark::State &state)
{
    size_t count = static_cast<size_t>(state.range(0));
    ozpPlugin &plugin = SharedTable(count);
    // As after an update cycle: nothing left to report.
    for (auto &entry : plugin.devices)
        entry.second.pending_updates = 0;
    auto flows = TableFlows(count);
    SettleHeap();

    size_t next = 0;
    for (auto _ : state) {
        plugin.ProcessFlow(flows[next]);
        if (++next == flows.size()) next = 0;
    }

    size_t changed = 0;
    for (auto &entry : plugin.devices)
        changed += entry.second.pending_updates != 0;
    if (changed != 0) state.SkipWithError("a known flow changed a device");
    state.SetItemsProcessed(state.iterations());
    state.counters["devices"] = static_cast<double>(plugin.devices.size());
}
BENCHMARK(BM_ProcessFlowKnownDevice)->ArgName("devices")->Arg(1000)->Arg(10000)->Arg(100000);

// The first flow (a DHCP request) of a device not yet in the table. Batches
// of new devices are added and taken out again between timed runs.
void BM_ProcessFlowNewDevice(benchmark::State &state)
{
    constexpr size_t BATCH = 1000;
    size_t count = static_cast<size_t>(state.range(0));
    ozpPlugin &plugin = SharedTable(count);

    std::vector<std::shared_ptr<ozFlow>> flows;
    std::vector<std::string> macs;
    for (size_t index = 0; index < BATCH; index++) {
        flows.push_back(DeviceFlows(index, 0x0e).front());
        macs.push_back(DeviceMac(index, 0x0e));
    }
    SettleHeap();

    for (auto _ : state) {
        for (const auto &flow : flows)
            plugin.ProcessFlow(flow);
        state.PauseTiming();
        if (plugin.devices.size() != count + BATCH) {
            state.SkipWithError("new devices not added");
            break;
        }
        for (const auto &mac : macs)
            plugin.devices.erase(mac);
        state.ResumeTiming();
    }

    state.SetItemsProcessed(state.iterations() * BATCH);
    state.counters["time_per_flow"] = benchmark::Counter(static_cast<double>(state.iterations() * BATCH),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ProcessFlowNewDevice)->ArgName("devices")->Arg(1000)->Arg(10000)->Arg(100000);

int64_t QueueLength(ozpPlugin &plugin)
{
    std::lock_guard<std::mutex> guard(plugin.flow_lock);
    return static_cast<int64_t>(plugin.flow_queue.size());
}

// Host threads hand flows to the running plug-in as fast as they can; the
// plug-in thread runs its loop. Flows are those of 1000 typical devices,
// over and over: the first round creates the devices, the rest find them.
void BM_EndToEnd(benchmark::State &state)
{
    constexpr size_t FLOWS = 1000000;
    const size_t threads = static_cast<size_t>(state.range(0));
    const auto flows = TableFlows(1000);

    int64_t peak_queue = 0;
    int64_t peak_resident = 0;
    double seconds = 0;
    for (auto _ : state) {
        auto plugin = MakePlugin(
            "end-to-end", R"({"path_device_cache": ")" + TempFolder() + R"(/end-to-end-cache.json"})");
        plugin->reload_pending = true;
        plugin->Create();
        // The first pass (reload, cache load) is over before flows come.
        while (plugin->reload_pending.load())
            std::this_thread::yield();

        // Freed memory goes back first, so that the growth is this run's.
        SettleHeap();
        ResetPeakResident();
        int64_t resident_before = ResidentBytes();
        std::atomic<size_t> producing {threads};
        auto start = std::chrono::steady_clock::now();

        std::vector<std::thread> producers;
        for (size_t thread = 0; thread < threads; thread++) {
            producers.emplace_back([&, thread] {
                size_t next = thread * 7919 % flows.size();
                for (size_t sent = 0; sent < FLOWS / threads; sent++) {
                    auto flow = flows[next];
                    plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE, flow);
                    if (++next == flows.size()) next = 0;
                }
                producing--;
            });
        }

        // Queue length sampled every 100 microseconds; the run ends once the
        // producers are done and the plug-in has taken every flow.
        for (;;) {
            bool done = producing.load() == 0;
            int64_t length = QueueLength(*plugin);
            peak_queue = std::max(peak_queue, length);
            if (done && length == 0) break;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        auto end = std::chrono::steady_clock::now();
        peak_resident = std::max(peak_resident, PeakResidentBytes() - resident_before);

        for (auto &producer : producers)
            producer.join();
        double elapsed = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;

        plugin->Terminate();
        // Wakes the loop from its one-second wait.
        auto wake = flows.front();
        plugin->DispatchProcessorEvent(ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE, wake);
        plugin->Join();
        if (plugin->devices.size() != 1000) state.SkipWithError("devices missing");
    }

    double processed = static_cast<double>(state.iterations() * (FLOWS / threads * threads));
    state.SetItemsProcessed(static_cast<int64_t>(processed));
    state.counters["flows_per_second"] = processed / seconds;
    state.counters["peak_queue"] = static_cast<double>(peak_queue);
    state.counters["peak_rss_growth_MiB"] = static_cast<double>(peak_resident) / (1024 * 1024);
}
BENCHMARK(BM_EndToEnd)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("host_threads")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace ostrel_bench
