// Heap kept by the device table: typical devices learnt from their flows.
#include <benchmark/benchmark.h>

#include "bench/support.h"

namespace ostrel_bench {
namespace {

void BM_TableMemory(benchmark::State &state)
{
    size_t count = static_cast<size_t>(state.range(0));
    HeapFigures heap;
    for (auto _ : state) {
        state.PauseTiming();
        auto plugin = MakePlugin("memory");
        auto flows = TableFlows(count);
        state.ResumeTiming();

        StartHeapCounting();
        Feed(*plugin, flows);
        heap = StopHeapCounting();

        state.PauseTiming();
        if (plugin->devices.size() != count) state.SkipWithError("table not built");
        plugin.reset();
        flows.clear();
        state.ResumeTiming();
    }

    state.counters["bytes_per_device"] = static_cast<double>(heap.live_bytes) / static_cast<double>(count);
    state.counters["allocs_per_device"]
        = static_cast<double>(heap.live_allocations) / static_cast<double>(count);
    state.counters["table_MiB"] = static_cast<double>(heap.live_bytes) / (1024 * 1024);
    state.counters["sizeof_device"] = sizeof(ozpDevice);
}
BENCHMARK(BM_TableMemory)
    ->ArgName("devices")
    ->Arg(1)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace ostrel_bench
