// Presence equaliser: four fixed peaking sections between 4.6 and 6 kHz that
// lift the upper presence region and dip just below it. "Disable WRMI EQ"
// bypasses the stage while the sections keep running, so switching jumps
// between two continuous signals.
#pragma once

#include <algorithm>
#include <array>

#include "dsp/blocks/sections.h"
#include "dsp/blocks/skewed_cascade.h"

namespace plumbra {

struct PresenceEq {
    static constexpr float kPeakGain = 1.4125375f;  // g, +3 dB

    struct Band {
        float f0;    // centre frequency, Hz
        float bw;    // bandwidth B, Hz
        bool boost;  // +3 dB at f0 if true, else -3 dB
    };
    static constexpr std::array<Band, 4> kBands = {{
        {6000.0f, 2000.0f, true},
        {5500.0f, 1000.0f, true},
        {5100.0f, 300.0f, true},
        {4600.0f, 1000.0f, false},
    }};

    // The sections in processing order, run skewed in four lanes.
    SkewedCascadeT<Lane4, kBands.size()> sections;

    // Peaking section at f0 with bandwidth B, k = 1/tan(pi*f0/fs),
    // beta = pi*B / (fs*sin(2*pi*f0/fs)):
    //   boost: numerator damping g*beta, denominator damping beta (gain g at f0)
    //   cut:   numerator damping beta, denominator damping g*beta (gain 1/g at f0)
    void design(const RateConstants& rc)
    {
        for (std::size_t j = 0; j < kBands.size(); ++j) {
            const Band& b = kBands[j];
            const float k = prewarp(b.f0, rc);
            const float beta = kPi * b.bw / (rc.fs * chainmath::sin(2.0f * rc.piT * b.f0));
            const float gBeta = kPeakGain * beta;
            Sos s{};
            if (b.boost)
                designPeaking(s, k, beta, gBeta);
            else
                designPeaking(s, k, gBeta, beta);
            sections.set(j, s);
        }
    }
    void clear() { sections.clear(); }

    // A run x[0..len-1] (len <= kRunLength) in place. The sections always run;
    // with bypass on the stage input is returned.
    void processRun(float* x, int len, bool bypass)
    {
        std::array<float, kRunLength> bypassed;
        float* y = x;
        if (bypass) {
            std::copy(x, x + len, bypassed.begin());
            y = bypassed.data();
        }
        sections.processRun(y, len, [](const SosT<Lane4>& s, SosT<Lane4>::History& h, Lane4 v) { return s.processWith(h, v); });
    }
    // One sample, a run of one.
    float process(float x, bool bypass)
    {
        processRun(&x, 1, bypass);
        return x;
    }
};

static_assert(std::is_trivially_copyable_v<PresenceEq>);

}  // namespace plumbra
