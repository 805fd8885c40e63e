// Memory figures of this process: heap bytes in use (from the sanitizer's
// allocator when there is one, else from malloc), resident and peak sizes.
#pragma once

#include <cstddef>
#include <fstream>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSTREL_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSTREL_SANITIZER_HEAP 1
#endif
#endif

#ifdef OSTREL_SANITIZER_HEAP
// Both sanitizer runtimes export it; g++ ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace ostrel_test {

inline size_t HeapInUse()
{
#ifdef OSTREL_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// A "Vm...:" line of /proc/self/status in kB, 0 when absent.
inline size_t StatusKb(const std::string &field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stoul(line.substr(field.size() + 1));
    }
    return 0;
}

inline size_t ResidentMb()
{
    return StatusKb("VmRSS") / 1024;
}

inline size_t PeakResidentMb()
{
    return StatusKb("VmHWM") / 1024;
}

} // namespace ostrel_test
