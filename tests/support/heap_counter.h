// Live heap figures of the code under measurement, counted by replacing the
// global operator new and delete (heap_counter.cpp, its own target: only a
// program that links it has its allocations counted). Counting is for one
// thread at a time; it is off until turned on.
#pragma once

#include <cstdint>

namespace ostrel_test {

struct HeapFigures {
    int64_t live_bytes = 0;
    int64_t live_allocations = 0;
    int64_t peak_bytes = 0;
};

void StartHeapCounting();
HeapFigures StopHeapCounting();

} // namespace ostrel_test
