// The update cycle over a whole table, with the cloud API off and one sink
// channel, so that both payloads are built and the sink payload dispatched.
#include <benchmark/benchmark.h>

#include "bench/support.h"

namespace ostrel_bench {
namespace {

void PrepareTable(ozpPlugin &plugin, bool answered)
{
    plugin.config.api_enable = false;
    plugin.sinks.clear();
    plugin.sinks["bench"]["devices"] = ozpChannelConfig();
    // Answered devices go to the sinks too on each report.
    SetAnswered(plugin, answered);
    for (auto &entry : plugin.devices)
        entry.second.pending_updates = 0;
    SettleHeap();
}

void Report(benchmark::State &state, size_t count)
{
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
    state.counters["time_per_device"] = benchmark::Counter(static_cast<double>(state.iterations() * count),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ProcessUpdateAllChanged(benchmark::State &state)
{
    size_t count = static_cast<size_t>(state.range(0));
    ozpPlugin &plugin = SharedTable(count);
    PrepareTable(plugin, state.range(1) != 0);

    for (auto _ : state) {
        state.PauseTiming();
        for (auto &entry : plugin.devices)
            entry.second.pending_updates = 1;
        state.ResumeTiming();
        plugin.ProcessUpdate();
    }

    if (plugin.devices.size() != count) state.SkipWithError("devices retired");
    Report(state, count);
}
BENCHMARK(BM_ProcessUpdateAllChanged)
    ->ArgNames({"devices", "answered"})
    ->ArgsProduct({{1000, 10000, 100000}, {1, 0}})
    ->Unit(benchmark::kMillisecond);

void BM_ProcessUpdateNoneChanged(benchmark::State &state)
{
    size_t count = static_cast<size_t>(state.range(0));
    ozpPlugin &plugin = SharedTable(count);
    PrepareTable(plugin, true);

    for (auto _ : state)
        plugin.ProcessUpdate();

    Report(state, count);
}
BENCHMARK(BM_ProcessUpdateNoneChanged)
    ->ArgName("devices")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace ostrel_bench
