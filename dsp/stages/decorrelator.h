// Pseudo-stereo decorrelator: turns the mono programme x into a left and a
// right channel. Sixty allpass sections in z^-2 followed by a 300-sample delay
// make a decorrelated copy d; left = x + d and right = x - d, so their sum
// carries the programme and their difference the decorrelated part.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "dsp/simd/lanes.h"
#include "dsp/blocks/layout.h"
#include "dsp/blocks/sections.h"
#include "dsp/blocks/stereo_pair.h"

namespace plumbra {

// The sections run skewed by one sample each: while sample n enters section 0,
// section s works on sample n - s, fed by section s - 1's output of the step
// before. The sections of one step do not depend on each other, so the chain
// costs about as much as its packed sections side by side, where the plain
// chain would wait on sixty dependent ones. The last section's output of
// sample n - 59 is ready at step n; the 300-sample delay that follows the
// chain takes up that lag, so the dispersed copy is bit for bit that of the
// sections run one after the other.
//
// The sections sit in 64 slots, sixteen groups of four lanes: section s in
// group s % 16, lane s / 16. A section's predecessor is then in the same lane
// of the group before, so a group is fed the previous step's outputs of the
// group below as they are; only group 0 takes its lanes from group 15 moved up
// one lane, lane 0 taking the input. The slots beyond the last section (group
// 12 to 15, lane 3) run allpasses whose outputs nothing reads. Groups m and
// m + 8 are kept side by side in memory, the eight lanes of one Pair<Lane4> or
// one AVX vector, so that both paths step through the same state.
struct Decorrelator {
    static constexpr std::size_t kSections = 60;
    static constexpr uint32_t kDelay = 300;  // delay of the dispersed copy, samples
    // Coefficient cycle, repeated fifteen times (the quadrature path of the
    // analytic pair): section s has kCycle[s % 4]. Every section of group k,
    // and so of group pair m, has the same one, kCycle[m % 4].
    static constexpr std::array<float, 4> kCycle = AnalyticPair::kPathB;
    static constexpr std::size_t kGroups = 16;
    static constexpr std::size_t kPairs = kGroups / 2;
    static constexpr uint32_t kLag = kSections - 1;  // samples by which the last section trails the input
    // The last section's place: group 11, lane 3, the high half of pair 3.
    static constexpr std::size_t kLastPair = (kSections - 1) % kGroups % kPairs;
    static constexpr std::size_t kLastLane = (kSections - 1) % kGroups / kPairs * 4 + (kSections - 1) / kGroups;
    static_assert(kGroups * 4 >= kSections && kGroups % 4 == 0 && kLag < kDelay);
    // The last section's output of sample n - kLag is written in step n, and
    // the delay reads sample n - kDelay: that far behind the newest value.
    static constexpr uint32_t kLongestTap = kDelay - kLag;

    using PairMemory = Mem<Pair<Lane4>>;  // groups m and m + 8
    // Every group's outputs of the last four steps, by step: out[n & 3][m].
    std::array<std::array<PairMemory, kPairs>, 4> out;
    // Pair 0's inputs of the last two steps, by parity.
    std::array<PairMemory, 2> firstIn;
    Ring<ringLengthFor(kLongestTap)> ring;  // output of the last section, by sample
    bool avx = false;  // runs with eight AVX lanes (see useAvx)

    void design() {}
    void clear()
    {
        for (auto& step : out)
            for (PairMemory& m : step) fill(m, 0.0f);
        for (PairMemory& m : firstIn) fill(m, 0.0f);
        ring.clear();
    }
    // Chooses the eight-lane AVX form where the build and the CPU have it;
    // returns whether it is in use. Both give the same bits.
    bool useAvx(bool on);

    // A run of up to kRunLength samples x[0..len-1] (the equalised programme)
    // from ring counter n0 on.
    void processRun(const float* x, float* left, float* right, int len, uint32_t n0);

    // processRun() with the group pairs in V: a Pair<Lane4>, or eight AVX lanes.
    template <class V>
    void processRunIn(const float* x, float* left, float* right, int len, uint32_t n0)
    {
        using L = decltype(lowHalf(V{}));
        for (int i = 0; i < len; ++i) {
            const uint32_t n = n0 + static_cast<uint32_t>(i);
            std::array<PairMemory, kPairs>& now = out[n & 3u];
            const std::array<PairMemory, kPairs>& back1 = out[(n - 1u) & 3u];
            const std::array<PairMemory, kPairs>& back2 = out[(n - 2u) & 3u];
            const std::array<PairMemory, kPairs>& back3 = out[(n - 3u) & 3u];
            // Pair 0: group 0 takes the input and group 15 moved up one lane,
            // group 8 takes group 7.
            const V last = load<V>(back1[kPairs - 1]);
            const L g15 = highHalf(last);
            const L shifted = shiftUpFrom(g15, x[i]);
            const V in = joinHalves(shifted, lowHalf(last), V{});
            PairMemory& in2 = firstIn[n & 1u];
            const V first = allpassZ2Step(kCycle[0], in, load<V>(in2), load<V>(back2[0]));
            store(in2, in);
            store(now[0], first);
            // The others: a section's input two samples back is its
            // predecessor's output three steps back.
            [&]<std::size_t... M>(std::index_sequence<M...>) {
                ((store(now[M + 1],
                        allpassZ2Step(kCycle[(M + 1) % 4], load<V>(back1[M]), load<V>(back3[M]), load<V>(back2[M + 1])))),
                 ...);
            }(std::make_index_sequence<kPairs - 1>{});
            ring.write(n - kLag, laneOf(now[kLastPair], kLastLane));
            const float d = ring.tap(n, kDelay);
            left[i] = x[i] + d;
            right[i] = x[i] - d;
        }
    }

    // One sample, a run of one.
    StereoPair process(float x, uint32_t n)
    {
        StereoPair p;
        processRun(&x, &p.left, &p.right, 1, n);
        return p;
    }
};

static_assert(std::is_trivially_copyable_v<Decorrelator>);
static_assert(decltype(Decorrelator::ring)::covers(Decorrelator::kLongestTap));

// The layout the AVX unit's copy of the type must share (dsp/avx/avx_path.h).
inline constexpr uint64_t kDecorrelatorLayout = layoutPrint<Decorrelator>(
    {offsetof(Decorrelator, out), offsetof(Decorrelator, firstIn), offsetof(Decorrelator, ring), offsetof(Decorrelator, avx)});

}  // namespace plumbra
