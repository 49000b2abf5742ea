// Pseudo-stereo decorrelator: turns the mono programme x into a left and a
// right channel. Sixty allpass sections in z^-2 followed by a 300-sample delay
// make a decorrelated copy d; left = x + d and right = x - d, so their sum
// carries the programme and their difference the decorrelated part.
#pragma once

#include <array>
#include <cstdint>

#include <emmintrin.h>

#include "dsp/lanes.h"
#include "dsp/sections.h"
#include "dsp/stereo_pair.h"

namespace plumbra {

// The sixty sections run in fifteen groups of four lanes, skewed by one
// sample per section: while sample n enters section 0, section s works on
// sample n - s, fed by section s - 1's output of the step before. The sections
// of one step do not depend on each other, so the whole chain costs about as
// much as fifteen independent packed sections per sample, where the plain
// chain would wait on sixty dependent ones. The last section's output of
// sample n - 59 is ready at step n; the 300-sample delay that follows the
// chain takes up that lag, so the dispersed copy is bit for bit that of the
// sections run one after the other.
struct Decorrelator {
    static constexpr std::size_t kSections = 60;
    static constexpr uint32_t kDelay = 300;  // delay of the dispersed copy, samples
    // Coefficient cycle, repeated fifteen times (the quadrature path of the
    // analytic pair): section s has kCycle[s % 4], the coefficient of lane s % 4.
    static constexpr std::array<float, 4> kCycle = AnalyticPair::kPathB;
    static constexpr std::size_t kGroups = kSections / 4;
    static constexpr uint32_t kLag = kSections - 1;  // samples by which the last section trails the input
    static_assert(kSections % 4 == 0 && kLag < kDelay);

    Mem<Lane4> c;  // coefficients of lanes 0..3
    // Histories by step parity: slot p = n & 1 holds each section's input and
    // output of step n - 2 on entry and receives those of step n. Group k holds
    // sections 4k .. 4k + 3.
    std::array<std::array<Mem<Lane4>, kGroups>, 2> inHist;
    std::array<std::array<Mem<Lane4>, kGroups>, 2> outHist;
    Ring<512> ring;  // output of the last section, by sample

    void design()
    {
        for (std::size_t j = 0; j < 4; ++j) c[j] = kCycle[j];
    }
    void clear()
    {
        for (auto* h : {&inHist, &outHist})
            for (auto& parity : *h)
                for (Mem<Lane4>& m : parity) fill(m, 0.0f);
        ring.clear();
    }

    // A run of up to kRunLength samples x[0..len-1] (the equalised programme)
    // from ring counter n0 on.
    void processRun(const float* x, float* left, float* right, int len, uint32_t n0)
    {
        const Lane4 cv = load<Lane4>(c);
        for (int i = 0; i < len; ++i) {
            const uint32_t n = n0 + static_cast<uint32_t>(i);
            const uint32_t p = n & 1u;
            const uint32_t q = p ^ 1u;
            // Each group is fed its own outputs of the last step moved up one
            // lane, lane 0 taking the last lane of the group before (the input
            // sample for group 0).
            __m128 carry = _mm_set_ss(x[i]);
            for (std::size_t k = 0; k < kGroups; ++k) {
                const __m128 last = load<Lane4>(outHist[q][k]).v;
                const Lane4 in{_mm_move_ss(_mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(last), 4)), carry)};
                carry = _mm_shuffle_ps(last, last, _MM_SHUFFLE(3, 3, 3, 3));
                const Lane4 y = AllpassZ2T<Lane4>::stepWith(cv, in, load<Lane4>(inHist[p][k]), load<Lane4>(outHist[p][k]));
                store(inHist[p][k], in);
                store(outHist[p][k], y);
            }
            ring.write(n - kLag, laneOf(outHist[p][kGroups - 1], 3));
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

}  // namespace plumbra
