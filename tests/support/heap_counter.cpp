// Counts the heap that the code under measurement keeps: every allocation of
// the benchmark binary goes through these operators. Sizes are what malloc
// hands out (malloc_usable_size), so rounding is included; malloc's own
// 8-byte chunk header is not.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/support/heap_counter.h"

namespace {

std::atomic<bool> counting {false};
std::atomic<int64_t> live_bytes {0};
std::atomic<int64_t> live_allocations {0};
std::atomic<int64_t> peak_bytes {0};

void *Allocate(std::size_t size)
{
    void *memory = std::malloc(size == 0 ? 1 : size);
    if (memory != nullptr && counting.load(std::memory_order_relaxed)) {
        int64_t now = live_bytes.fetch_add(
                          static_cast<int64_t>(malloc_usable_size(memory)), std::memory_order_relaxed)
            + static_cast<int64_t>(malloc_usable_size(memory));
        live_allocations.fetch_add(1, std::memory_order_relaxed);
        int64_t peak = peak_bytes.load(std::memory_order_relaxed);
        while (now > peak && !peak_bytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) { }
    }
    return memory;
}

void Release(void *memory)
{
    if (memory == nullptr) return;
    if (counting.load(std::memory_order_relaxed)) {
        live_bytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(memory)), std::memory_order_relaxed);
        live_allocations.fetch_sub(1, std::memory_order_relaxed);
    }
    std::free(memory);
}

} // namespace

void *operator new(std::size_t size)
{
    void *memory = Allocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void *operator new[](std::size_t size)
{
    return operator new(size);
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return Allocate(size);
}

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return Allocate(size);
}

void operator delete(void *memory) noexcept
{
    Release(memory);
}

void operator delete[](void *memory) noexcept
{
    Release(memory);
}

void operator delete(void *memory, std::size_t) noexcept
{
    Release(memory);
}

void operator delete[](void *memory, std::size_t) noexcept
{
    Release(memory);
}

void operator delete(void *memory, const std::nothrow_t &) noexcept
{
    Release(memory);
}

void operator delete[](void *memory, const std::nothrow_t &) noexcept
{
    Release(memory);
}

namespace ostrel_test {

void StartHeapCounting()
{
    live_bytes = 0;
    live_allocations = 0;
    peak_bytes = 0;
    counting = true;
}

HeapFigures StopHeapCounting()
{
    counting = false;
    HeapFigures figures;
    figures.live_bytes = live_bytes.load();
    figures.live_allocations = live_allocations.load();
    figures.peak_bytes = peak_bytes.load();
    return figures;
}

} // namespace ostrel_test
