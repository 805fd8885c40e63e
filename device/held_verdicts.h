// Cloud verdicts about MACs that this plug-in has neither seen nor asked
// about, kept apart until a flow brings the MAC. The classification service
// may answer every agent with the same index, so such a verdict is likely
// another site's device: it must take no place in the device table, the
// cache, the uploads or the sinks. Plug-in thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "device/device.h"

// One device's verdict as read from an answer: the label (cut to its bound),
// the score that becomes the confidence, and the verdict object as kept.
struct ozpVerdict {
    std::string mac;
    std::string label;
    uint32_t score = 0;
    nlohmann::json response;
};

class ozpHeldVerdicts
{
public:
    // Room for the index of a large site; a few megabytes at most.
    static constexpr size_t MAX_VERDICTS = 4096;
    static constexpr size_t MAX_BYTES = 8 * 1024 * 1024;

    explicit ozpHeldVerdicts(size_t max_verdicts = MAX_VERDICTS, size_t max_bytes = MAX_BYTES);

    // Keeps `verdict` in place of any held for its MAC; the oldest are given
    // up to stay within the bounds.
    void Hold(const ozpVerdict &verdict);
    // Moves the verdict held for `mac` into `verdict`; false when none is.
    bool Take(const std::string &mac, ozpVerdict &verdict);
    // Gives `device`, new in the table under `mac`, the verdict held for it,
    // if any, and says so with `tag`; false when none is held.
    bool TakeInto(const std::string &tag, const std::string &mac, ozpDevice &device);
    void Drop(const std::string &mac);

    bool empty() const { return held.empty(); }
    size_t size() const { return held.size(); }
    size_t bytes() const { return held_bytes; }
    // Verdicts given up to the bounds so far.
    uint64_t GivenUp() const { return given_up; }

private:
    // The verdict object is kept as its text: 16 KiB of text may take many
    // times that as a value.
    struct Held {
        std::string label;
        uint32_t score;
        std::string response;
        uint64_t age;
    };
    using Map = std::map<std::string, Held>;

    static size_t Size(const std::string &mac, const Held &verdict);
    void Erase(Map::iterator entry);

    size_t max_verdicts;
    size_t max_bytes;
    Map held;
    // MAC by arrival, oldest first.
    std::map<uint64_t, std::string> by_age;
    uint64_t next_age = 0;
    size_t held_bytes = 0;
    uint64_t given_up = 0;
};
