// Output gain control: a look-ahead peak limiter with a make-up floor that
// brings both channels to a fixed output peak of -1 dB full scale with one
// common gain.
//
// Both channels are delayed by 132 samples. The detector sees the delayed and
// the current samples of both channels, holds the largest magnitude over 44
// samples, releases it with a 50 ms time constant and never lets it fall below a
// smoothed threshold. Every delayed sample is divided by this envelope E and
// scaled to -1 dB: loud passages leave at a peak of 0.8912509, quiet ones with
// the fixed gain 0.8912509/threshold.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/blocks/sections.h"

namespace plumbra {

struct OutputAgc {
    static constexpr uint32_t kDelay = 132;       // look-ahead of the detector, samples
    static constexpr uint32_t kPeakWindow = 44;   // samples held by the peak maximum
    static constexpr float kCeiling = 0.8912509f; // -1 dB full scale
    static constexpr float kReleaseRate = 20.0f;  // 50 ms release
    static constexpr float kThresholdStep = 0.001f;   // threshold smoothing, per sample
    static constexpr float kThresholdKeep = 0.999f;

    Ring<ringLengthFor(kDelay)> delayA;  // channel A, read kDelay samples back
    Ring<ringLengthFor(kDelay)> delayB;  // channel B, read kDelay samples back
    SlidingMax<kPeakWindow> peaks;  // maximum of the last 44 q
    float a;           // release coefficient exp(-20/fs)
    float oma;         // 1 - a
    float theta;       // threshold 10^("OutAGC Threshold"/20), per block
    float t;           // smoothed threshold t[n-1]
    float envelope;    // E[n-1]

    struct Out {
        float a, b;  // output samples of channel A (first buffer) and B (second buffer)
    };

    void designFixed(const RateConstants& rc)
    {
        a = onePole(kReleaseRate, rc);
        oma = 1.0f - a;
        theta = 1.0f;
    }
    void setThreshold(float th) { theta = th; }
    void clear()
    {
        delayA.clear();
        delayB.clear();
        peaks.clear();
        t = 0.0f;
        envelope = 0.0f;
    }

    // How far the last sample's gain lay below the gain of a quiet passage
    // (ceiling/t): E/t, 1 where the limiter did not act.
    float reduction() const { return envelope / t; }

    // One sample of both channels; n is the shared ring counter.
    Out process(float yA, float yB, uint32_t n)
    {
        delayA.write(n, yA);
        delayB.write(n, yB);
        const float dA = delayA.tap(n, kDelay);
        const float dB = delayB.tap(n, kDelay);

        t = kThresholdStep * theta + kThresholdKeep * t;
        const float q = std::max({std::fabs(dA), std::fabs(dB), std::fabs(yA), std::fabs(yB), t});
        const float m = peaks.push(q);

        envelope = std::max(m, a * envelope + oma * m);

        // The ratio first: |D| <= E gives |D/E| <= 1 exactly, so the product never
        // exceeds the ceiling. Scaling first, 0.8912509*D/E, rounds one unit in
        // the last place above the ceiling when |D| equals E.
        return {(dA / envelope) * kCeiling, (dB / envelope) * kCeiling};
    }
};

static_assert(std::is_trivially_copyable_v<OutputAgc>);
static_assert(decltype(OutputAgc::delayA)::covers(OutputAgc::kDelay) && decltype(OutputAgc::delayB)::covers(OutputAgc::kDelay));

}  // namespace plumbra
