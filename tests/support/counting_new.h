// Counting replacements of the global operator new and delete, for the tests
// that check an audio path allocates nothing. A test program links the object
// library plumbra_counting_new; the program, and a plug-in library it loads,
// then allocate through these. The replacements live in their own source file
// so that no call site sees malloc behind operator new.
#pragma once

#include <atomic>

namespace plumbra::test {

// Allocations made since the program started.
extern std::atomic<long> gAllocations;

// The count where the program links the counting operators and says so with
// PLUMBRA_COUNTS_ALLOCATIONS; 0 in builds that keep their runtime's own (the
// ThreadSanitizer ones), whose allocation checks then pass without counting.
inline long allocationsSoFar()
{
#ifdef PLUMBRA_COUNTS_ALLOCATIONS
    return gAllocations.load();
#else
    return 0;
#endif
}

}  // namespace plumbra::test
