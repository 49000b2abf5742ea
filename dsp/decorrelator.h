// Pseudo-stereo decorrelator: turns the mono programme x into a left and a
// right channel. Sixty allpass sections in z^-2 followed by a 300-sample delay
// make a decorrelated copy d; left = x + d and right = x - d, so their sum
// carries the programme and their difference the decorrelated part.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/sections.h"
#include "dsp/stereo_pair.h"

namespace plumbra {

struct Decorrelator {
    static constexpr std::size_t kSections = 60;
    static constexpr uint32_t kDelay = 300;  // delay of the dispersed copy, samples
    // Coefficient cycle, repeated fifteen times (the quadrature path of the
    // analytic pair).
    static constexpr std::array<float, 4> kCycle = AnalyticPair::kPathB;

    // Sections 1..59 keep their own histories; the 60th writes its output into
    // the delay ring and reads its own output two samples back from there.
    std::array<AllpassZ2, kSections - 1> chain;
    float cLast;       // coefficient of the 60th section
    float lastIn1;     // input of the 60th section one sample back
    float lastIn2;     // input of the 60th section two samples back
    Ring<512> ring;    // output of the 60th section
    std::array<float, kRunLength> chained;  // a run through sections 1..59

    void design()
    {
        for (std::size_t s = 0; s < chain.size(); ++s) chain[s].c = kCycle[s % kCycle.size()];
        cLast = kCycle[(kSections - 1) % kCycle.size()];
    }
    void clear()
    {
        for (auto& s : chain) s.clear();
        lastIn1 = lastIn2 = 0.0f;
        ring.clear();
    }

    // A run of up to kRunLength samples x[0..len-1] (the equalised programme)
    // from ring counter n0 on, each section over the whole run in turn.
    void processRun(const float* x, float* left, float* right, int len, uint32_t n0)
    {
        for (int i = 0; i < len; ++i) chained[i] = x[i];
        for (AllpassZ2& s : chain) s.processRun(chained.data(), len, n0);
        for (int i = 0; i < len; ++i) {
            const uint32_t n = n0 + static_cast<uint32_t>(i);
            const float y = chained[i];
            const float out = cLast * (y + ring.tap(n, 2)) - lastIn2;
            lastIn2 = lastIn1;
            lastIn1 = y;
            ring.write(n, out);
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
