// Memory figures of this process: heap bytes in use (from the sanitizer's
// allocator when there is one, else from malloc), resident and peak sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel_test {

size_t HeapInUse();

// A "Vm...:" line of /proc/self/status in kB, 0 when absent.
size_t StatusKb(const std::string &field);

inline int64_t ResidentBytes()
{
    return static_cast<int64_t>(StatusKb("VmRSS")) * 1024;
}
inline int64_t PeakResidentBytes()
{
    return static_cast<int64_t>(StatusKb("VmHWM")) * 1024;
}
inline size_t ResidentMb()
{
    return StatusKb("VmRSS") / 1024;
}
inline size_t PeakResidentMb()
{
    return StatusKb("VmHWM") / 1024;
}

// Lowers the peak resident figure to the current one.
void ResetPeakResident();

// Hands freed memory back (malloc_trim), so that what one measurement freed
// is not counted against the next.
void SettleHeap();

// The file's size in bytes, -1 when it is absent.
int64_t FileSize(const std::string &path);

} // namespace ostrel_test
