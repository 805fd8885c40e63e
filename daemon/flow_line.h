// Reader of one line of a flow capture (JSON Lines): turns the text into the
// flow record the host hands to processor plug-ins. Pure: no logging, no
// globals, never throws, so any text can be fed to it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "host/oz_flow.h"
#include "host/oz_plugin.h"

namespace ostrel_host {

// Longest line the reader accepts; a capture line is a few hundred bytes.
constexpr size_t FLOW_LINE_MAX_BYTES = 64 * 1024;

struct FlowLine {
    enum Status { FLOW, SKIP, ERROR };

    // SKIP: a blank line or a '#' comment. ERROR: `error` says why.
    Status status = SKIP;
    std::shared_ptr<ozFlow> flow;
    ozPluginProcessor::Event event = ozPluginProcessor::EVENT_FLOW_DPI_COMPLETE;
    // Seconds from the start of the capture; negative when the line has none.
    double time = -1;
    std::string error;
};

FlowLine ParseFlowLine(const std::string &text);

} // namespace ostrel_host
