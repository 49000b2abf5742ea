// Allocation guard: this program replaces the global operator new and delete
// with counting versions and checks that processBlock allocates nothing, for
// any block size and any control setting.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "dsp/mydsp.h"
#include "tests/support/counting_new.h"

namespace {

// Counts the allocations made while it is alive.
class AllocationCounter {
public:
    AllocationCounter() : fStart(plumbra::test::gAllocations.load()) {}
    long count() const { return plumbra::test::gAllocations.load() - fStart; }

private:
    long fStart;
};

}  // namespace

namespace {

using plumbra::mydsp;

TEST(AllocationGuard, CounterSeesAllocations)
{
    long seen = 0;
    {
        AllocationCounter guard;
        auto v = std::make_unique<std::vector<int>>(100);
        seen = guard.count();
    }
    EXPECT_GE(seen, 2);
}

TEST(AllocationGuard, ProcessBlockAllocatesNothing)
{
    auto p = std::make_unique<mydsp>();
    p->initialise(44100);
    std::vector<float> in(4096), o0(4096), o1(4096);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>((i * 7919u) % 2001u) / 1000.0f - 1.0f;
    float* ins[2] = {in.data(), in.data()};
    float* outs[2] = {o0.data(), o1.data()};

    long during = 0;
    {
        AllocationCounter guard;
        for (int len : {1, 7, 64, 512, 4096, 0, -1}) p->processBlock(len, ins, outs);
        p->controls().lowpassFreq = 1000.0f;
        p->controls().bweLevel = 24.0f;
        p->controls().finalHfShelf = -12.0f;
        for (int k = 0; k < 4; ++k) p->processBlock(4096, ins, outs);
        during = guard.count();
    }
    EXPECT_EQ(during, 0);
}

}  // namespace
