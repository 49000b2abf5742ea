// Band mix: the twelve band outputs are added into channel A (mid plus side,
// first output) and channel B (mid minus side, second output). Each mixed
// channel then passes a fixed 5 kHz first-order high shelf and a two-sample
// delay, which form the main path of the bandwidth expander; the unshelved mix
// feeds the expander's detector and harmonic generator.
#pragma once

#include <cstdint>

#include "dsp/band_outputs.h"
#include "dsp/lanes.h"
#include "dsp/sections.h"

namespace plumbra {

// The unshelved mix of both channels for one sample.
struct MixedPair {
    float a;  // channel A: M1 + M2 + sum cm*(S + wf*D)
    float b;  // channel B: M1 + M2 + sum cm*(S - wf*D)
};

// Adds the bass bands (mono, identical in both channels) and bands 3..12
// (mid S plus or minus the width-weighted side wf*D, at the mono compensation
// gain cm). The band outputs already carry their level and polarity.
inline MixedPair mixBands(const BandOutputs& in)
{
    const float mono = in.m1 + in.m2;
    float a = mono;
    float b = mono;
    for (int j = 0; j < kStereoBands; ++j) {
        const float side = in.width[j] * in.diff[j];
        a += in.monoGain[j] * (in.sum[j] + side);
        b += in.monoGain[j] * (in.sum[j] - side);
    }
    return {a, b};
}

// Main path of one channel: a first-order high shelf at 5 kHz, unity at DC and
// -12 dB (0.25118864) at the Nyquist frequency, read two samples late so that it
// stays in step with the harmonics, which are formed from the analytic signal
// two samples back. Written over a lane type: the float instance is one
// channel's path, the processor runs both channels side by side (Lane2).
template <class V>
struct MainPathT {
    static constexpr float kCornerHz = 5000.0f;
    static constexpr float kShelfGain = 0.25118864f;  // -12 dB
    static constexpr uint32_t kDelay = 2;             // the shelf output is read this many samples late

    FirstOrderSplitT<V> split;  // 5 kHz split of the mix, l + h = x
    Mem<V> s1;                  // shelf output one sample back
    Mem<V> s2;                  // shelf output two samples back

    // c = 1/tan(pi*5000/fs); kept below half the rate at low rates.
    void design(float c) { split.design(c); }
    void clear()
    {
        split.clear();
        fill(s1, 0.0f);
        fill(s2, 0.0f);
    }

    // Takes the channel's mix x[n] and returns the main-path value m[n] = s[n-2].
    V process(V x)
    {
        const V s = split.shelf(x, splat<V>(kShelfGain));
        const V m = load<V>(s2);
        s2 = s1;
        store(s1, s);
        return m;
    }
};
using MainPath = MainPathT<float>;

static_assert(std::is_trivially_copyable_v<MainPath>);

}  // namespace plumbra
