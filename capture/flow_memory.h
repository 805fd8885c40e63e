// What a flow holds between packets, and what it costs: the values an
// endpoint has given, remembered by hash so that none is given twice in a
// few bytes each, and the heap bytes of a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel_capture {

class SeenValues
{
public:
    enum Result { NEW, SEEN, FULL };

    // NEW: `value` was not given before and is remembered now. SEEN: it was.
    // FULL: it is new but `bound` values are remembered already, so it is not
    // given (and a later copy is FULL again, never NEW).
    Result Add(const std::string &value, size_t bound);
    size_t Memory() const { return hashes.capacity() * sizeof(uint64_t); }
    void Release() { std::vector<uint64_t>().swap(hashes); }

private:
    std::vector<uint64_t> hashes;
};

// What a string holds in place, without a heap block of its own.
inline const size_t STRING_IN_PLACE = std::string().capacity();

// Heap bytes of a text: none while it fits in the string itself. Inline:
// every packet of a flow counts its texts again.
inline size_t TextBytes(const std::string &text)
{
    return text.capacity() > STRING_IN_PLACE ? text.capacity() + 1 : 0;
}

} // namespace ostrel_capture
