// The MACs a full device table refused, so that each device is counted and
// said once however many flows it sends, while a flood of spoofed MACs keeps
// only the last ones. Plug-in thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>

#include "config/log_limit.h"

// Refused MACs remembered so that each is counted once (about 0.5 MB).
constexpr size_t OZP_MAX_RECENT_REFUSED = 4096;

class ozpRefusedMacs
{
public:
    explicit ozpRefusedMacs(size_t max_recent = OZP_MAX_RECENT_REFUSED);

    // The table of `table_size` devices (`max_devices` at most) refused
    // `mac`. A MAC among the last `max_recent` refused is neither counted
    // nor said again; a repeat does not make it younger. True when counted.
    bool Refuse(const std::string &tag, const std::string &mac, size_t table_size, uint64_t max_devices);
    // The table had room: a MAC refused after this is a device refused
    // again. The count stays.
    void Reset();

    // Devices (distinct MACs) refused over the plug-in's life.
    uint64_t Count() const { return refused; }
    size_t Remembered() const { return recent.size(); }

private:
    size_t max_recent;
    // The MACs refused lately, and in the order they were.
    std::set<std::string> recent;
    std::deque<std::string> recent_order;
    uint64_t refused = 0;
    ozpLogLimit log;
};
