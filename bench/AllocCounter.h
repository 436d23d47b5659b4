// Counts heap allocations of the whole program, for benchmarks that must
// show a path allocates nothing. Include in exactly one file of a benchmark.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

inline std::atomic<unsigned long> g_ulAllocations{0};

// These are the replaced global operators themselves: new takes memory from
// malloc and delete gives it back with free, which GCC cannot see when it
// inlines them into one another.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t unSize)
{
    g_ulAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(unSize != 0 ? unSize : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t unSize)
{
    return operator new(unSize);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
