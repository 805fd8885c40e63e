// The device cache: writing the whole table and reading it back.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include "bench/support.h"

namespace ostrel_bench {
namespace {

std::string CachePath(size_t count)
{
    return TempFolder() + "/cache-" + std::to_string(count) + ".json";
}

// SaveDevices refuses to write over a cache it has not read; a missing file
// counts as read.
void AllowSave(ozpPlugin &plugin, const std::string &path)
{
    unlink(path.c_str());
    plugin.LoadDevices(path);
}

// Answered devices, as a table that has been running for a while.
ozpPlugin &Table(size_t count)
{
    ozpPlugin &plugin = SharedTable(count);
    SetAnswered(plugin, true);
    return plugin;
}

void BM_SaveDevices(benchmark::State &state)
{
    size_t count = static_cast<size_t>(state.range(0));
    ozpPlugin &plugin = Table(count);
    std::string path = CachePath(count);
    AllowSave(plugin, path);
    SettleHeap();

    for (auto _ : state)
        plugin.SaveDevices(path);

    int64_t bytes = FileSize(path);
    if (plugin.devices.size() != count || bytes <= 0) state.SkipWithError("cache not written");

    // Heap held at the peak of one more save, beyond the table itself.
    StartHeapCounting();
    plugin.SaveDevices(path);
    HeapFigures heap = StopHeapCounting();

    state.SetBytesProcessed(state.iterations() * bytes);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
    state.counters["file_bytes"] = static_cast<double>(bytes);
    state.counters["peak_heap_MiB"] = static_cast<double>(heap.peak_bytes) / (1024 * 1024);
}
BENCHMARK(BM_SaveDevices)
    ->ArgName("devices")
    ->Arg(10000)
    ->Arg(100000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_LoadDevices(benchmark::State &state)
{
    size_t count = static_cast<size_t>(state.range(0));
    std::string path = CachePath(count);
    {
        ozpPlugin &table = Table(count);
        AllowSave(table, path);
        table.SaveDevices(path);
        // One live instance per cache path: the table lets go of the file
        // so that another instance may read it.
        table.cache_claim.Release();
    }
    int64_t bytes = FileSize(path);
    auto plugin = MakePlugin("load-" + std::to_string(count));

    for (auto _ : state) {
        state.PauseTiming();
        plugin->devices.clear();
        SettleHeap();
        state.ResumeTiming();
        if (plugin->LoadDevices(path) != count) {
            state.SkipWithError("devices not loaded");
            break;
        }
    }

    plugin->devices.clear();
    StartHeapCounting();
    plugin->LoadDevices(path);
    HeapFigures heap = StopHeapCounting();

    state.SetBytesProcessed(state.iterations() * bytes);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
    state.counters["file_bytes"] = static_cast<double>(bytes);
    state.counters["peak_heap_MiB"] = static_cast<double>(heap.peak_bytes) / (1024 * 1024);
}
BENCHMARK(BM_LoadDevices)
    ->ArgName("devices")
    ->Arg(10000)
    ->Arg(100000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace ostrel_bench
