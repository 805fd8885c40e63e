// The packet path on its own: decoding, flow tracking and extraction over a
// capture held in memory, on one core. The input is made by
// bench/make_throughput_capture.py (scripts/bench_capture.sh does it); its
// path comes from OSTREL_THROUGHPUT_CAPTURE.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/support.h"
#include "capture/pcap_source.h"
#include "capture/tracker.h"

namespace ostrel_bench {
namespace {

struct HeldFrame {
    size_t offset = 0;
    size_t caplen = 0;
    size_t wirelen = 0;
    int64_t time_usec = 0;
};

struct HeldCapture {
    int link_type = 0;
    std::vector<uint8_t> bytes;
    std::vector<HeldFrame> frames;
    std::string error;
};

const HeldCapture &Input()
{
    static HeldCapture held = [] {
        HeldCapture capture;
        const char *path = std::getenv("OSTREL_THROUGHPUT_CAPTURE");
        if (path == nullptr || *path == '\0') {
            capture.error = "OSTREL_THROUGHPUT_CAPTURE is not set (scripts/bench_capture.sh sets it)";
            return capture;
        }
        ostrel_capture::PcapSource source;
        if (!source.OpenFile(path)) {
            capture.error = source.Error();
            return capture;
        }
        capture.link_type = source.LinkType();
        ostrel_capture::CapturedFrame frame;
        while (source.Next(frame) == ostrel_capture::PcapSource::FRAME) {
            capture.frames.push_back({capture.bytes.size(), frame.caplen, frame.wirelen, frame.time_usec});
            capture.bytes.insert(capture.bytes.end(), frame.data, frame.data + frame.caplen);
        }
        return capture;
    }();
    return held;
}

// Every frame through a fresh tracker; the sink touches each event the way a
// daemon copying it to its processors would.
void BM_CapturePackets(benchmark::State &state)
{
    const HeldCapture &input = Input();
    if (!input.error.empty()) {
        state.SkipWithError(input.error.c_str());
        for (auto _ : state) { }
        return;
    }
    uint64_t events = 0, flows = 0;
    size_t peak_flows = 0;
    for (auto _ : state) {
        ostrel_capture::Tracker tracker({}, [&events](ostrel_capture::FlowEvent &&event) {
            events++;
            benchmark::DoNotOptimize(event.flow.user_agent.data());
        });
        for (const HeldFrame &frame : input.frames) {
            tracker.Frame(input.link_type, input.bytes.data() + frame.offset, frame.caplen, frame.wirelen,
                frame.time_usec);
        }
        tracker.Flush(input.frames.empty() ? 0 : input.frames.back().time_usec);
        flows = tracker.Counters().flows;
        peak_flows = tracker.Counters().peak_flows;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * input.frames.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.bytes.size()));
    state.counters["packets"] = static_cast<double>(input.frames.size());
    state.counters["flows"] = static_cast<double>(flows);
    state.counters["peak_flows"] = static_cast<double>(peak_flows);
    state.counters["events"] = static_cast<double>(events / state.iterations());
}
BENCHMARK(BM_CapturePackets)->Unit(benchmark::kMillisecond);

// Heap the flow table keeps: at its peak over the input, and per tracked flow.
void BM_CaptureFlowMemory(benchmark::State &state)
{
    const HeldCapture &input = Input();
    if (!input.error.empty()) {
        state.SkipWithError(input.error.c_str());
        for (auto _ : state) { }
        return;
    }
    HeapFigures heap;
    size_t peak_flows = 0;
    for (auto _ : state) {
        StartHeapCounting();
        {
            ostrel_capture::Tracker tracker({}, [](ostrel_capture::FlowEvent &&) {});
            for (const HeldFrame &frame : input.frames) {
                tracker.Frame(input.link_type, input.bytes.data() + frame.offset, frame.caplen, frame.wirelen,
                    frame.time_usec);
            }
            peak_flows = tracker.Counters().peak_flows;
        }
        heap = StopHeapCounting();
    }
    state.counters["peak_flows"] = static_cast<double>(peak_flows);
    state.counters["peak_table_KiB"] = static_cast<double>(heap.peak_bytes) / 1024;
    state.counters["bytes_per_flow"]
        = peak_flows == 0 ? 0 : static_cast<double>(heap.peak_bytes) / static_cast<double>(peak_flows);
}
BENCHMARK(BM_CaptureFlowMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace ostrel_bench
