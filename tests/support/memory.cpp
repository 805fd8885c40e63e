#include "tests/support/memory.h"

#include <malloc.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

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
#endif

namespace ostrel_test {

size_t HeapInUse()
{
#ifdef OSTREL_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

size_t StatusKb(const std::string &field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = field + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return static_cast<size_t>(std::strtoull(line.c_str() + prefix.size(), nullptr, 10));
    }
    return 0;
}

void ResetPeakResident()
{
    // "5" resets the peak resident set size (VmHWM).
    std::ofstream("/proc/self/clear_refs") << "5";
}

void SettleHeap()
{
    malloc_trim(0);
}

int64_t FileSize(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

} // namespace ostrel_test
