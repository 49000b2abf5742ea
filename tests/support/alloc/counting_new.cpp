// The counting global operator new and delete; see counting_new.h.
#include "tests/support/counting_new.h"

#include <cstdlib>
#include <new>

namespace plumbra::test {

std::atomic<long> gAllocations{0};

namespace {

void* countedAlloc(std::size_t size)
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace
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
