// Counting replacements of the global operator new and delete, for the tests
// that check an audio path allocates nothing. Include it in exactly one source
// file of a test program: the program, and a plug-in library it loads, then
// allocate through these.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace plumbra::test {

// Allocations made since the program started.
inline std::atomic<long> gAllocations{0};

inline void* countedAlloc(std::size_t size)
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace plumbra::test

void* operator new(std::size_t size) { return plumbra::test::countedAlloc(size); }
void* operator new[](std::size_t size) { return plumbra::test::countedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return plumbra::test::countedAlloc(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return plumbra::test::countedAlloc(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
