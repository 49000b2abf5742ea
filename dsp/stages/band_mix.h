// Band mix: the twelve band outputs are added into channel A (mid plus side,
// first output) and channel B (mid minus side, second output). Each mixed
// channel then passes a fixed 5 kHz first-order high shelf and a two-sample
// delay, which form the main path of the bandwidth expander; the unshelved mix
// feeds the expander's detector and harmonic generator.
#pragma once

#include <cstddef>
#include <cstdint>

#include <emmintrin.h>

#include "dsp/stages/band_outputs.h"
#include "dsp/simd/lanes.h"
#include "dsp/blocks/sections.h"

namespace plumbra {

// Adds the bass bands (mono, identical in both channels) and bands 3..12
// (mid S plus or minus the width-weighted side wf*D, at the mono compensation
// gain cm) into the unshelved mix of channel A (lane 0) and channel B (lane 1);
// lanes 2 and 3 are 0. The band outputs already carry their level and
// polarity. The bands' terms are formed four at a time, then added one after
// the other from band 3 up, A and B side by side.
inline Lane2 mixBands(const BandOutputs& in)
{
    static_assert(kBandsPerGroup == 4 && kNumBands - kStereoBands == 2);
    const Mem<Lane4>& low = in.sum[0];
    __m128 ab = _mm_set1_ps(low[0] + low[1]);  // bands 1 and 2
    for (std::size_t k = 0; k < static_cast<std::size_t>(kBandGroups); ++k) {
        const Lane4 side = load<Lane4>(in.width[k]) * load<Lane4>(in.diff[k]);
        const Lane4 s = load<Lane4>(in.sum[k]);
        const Lane4 cm = load<Lane4>(in.monoGain[k]);
        const Lane4 a = cm * (s + side);
        const Lane4 b = cm * (s - side);
        const __m128 first = _mm_unpacklo_ps(a.v, b.v);   // a0 b0 a1 b1
        const __m128 second = _mm_unpackhi_ps(a.v, b.v);  // a2 b2 a3 b3
        if (k > 0) {
            ab = _mm_add_ps(ab, first);
            ab = _mm_add_ps(ab, _mm_movehl_ps(first, first));
        }
        ab = _mm_add_ps(ab, second);
        ab = _mm_add_ps(ab, _mm_movehl_ps(second, second));
    }
    return {_mm_movelh_ps(ab, _mm_setzero_ps())};
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
