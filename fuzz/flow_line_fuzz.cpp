// The stand-in daemon's flow-line reader from any text; a flow it accepts
// goes on into the plug-in, as the daemon would send it.
#include "fuzz/fuzz_support.h"
#include "daemon/flow_line.h"

namespace {

using ostrel_fuzz::FuzzHost;
using ostrel_fuzz::Require;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    ostrel_host::FlowLine line = ostrel_host::ParseFlowLine(text);

    switch (line.status) {
    case ostrel_host::FlowLine::SKIP:
        Require(!line.flow && line.error.empty(), "a skipped line carries nothing");
        return 0;
    case ostrel_host::FlowLine::ERROR:
        // One line of the daemon's log per bad input line, whatever it held.
        Require(!line.flow && !line.error.empty() && line.error.size() <= 512
                && line.error.find('\n') == std::string::npos,
            "an error is one short line");
        return 0;
    case ostrel_host::FlowLine::FLOW:
        Require(line.flow != nullptr && line.error.empty(), "a flow line carries a flow");
        Require(line.time < 0 || (line.time >= 0 && line.time <= 315360000.0), "a time is in range");
        break;
    }

    FuzzHost &host = FuzzHost::Get();
    auto plugin = host.MakePlugin();
    plugin->config.process_all_macs = true;
    plugin->DispatchProcessorEvent(line.event, line.flow);
    std::shared_ptr<ozFlow> queued;
    {
        std::lock_guard<std::mutex> guard(plugin->flow_lock);
        if (!plugin->flow_queue.empty()) queued = plugin->flow_queue.front();
    }
    if (queued) plugin->ProcessFlow(queued);
    json payload;
    for (const auto &device : plugin->devices)
        device.second.Encode(payload, 0xFF);
    return 0;
}
