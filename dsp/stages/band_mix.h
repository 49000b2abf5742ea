// Band mix: the twelve band outputs are added into channel A (mid plus side,
// first output) and channel B (mid minus side, second output). Each mixed
// channel then passes a fixed 5 kHz first-order high shelf and a two-sample
// delay, which form the main path of the bandwidth expander; the unshelved mix
// feeds the expander's detector and harmonic generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "dsp/stages/band_bank.h"
#include "dsp/stages/band_outputs.h"
#include "dsp/simd/lanes.h"
#include "dsp/blocks/sections.h"

namespace plumbra {

// The lanes of band group K that hold stereo bands.
template <std::size_t K>
inline Lane4 stereoLanes()
{
    return []<int... J>(std::integer_sequence<int, J...>) {
        return laneMask<bandDefinition(static_cast<int>(K) * kBandsPerGroup + J + 1).stereo...>(Lane4{});
    }(std::make_integer_sequence<int, kBandsPerGroup>{});
}

// Adds the twelve band outputs into the unshelved mix of channel A (lane 0)
// and channel B (lane 1); lanes 2 and 3 are 0. A mono band adds its output to
// both, a stereo band its mid S plus (A) or minus (B) the width-weighted side
// wf*D, at the mono compensation gain cm. The band outputs already carry
// their level and polarity. The bands' terms are formed four at a time, then
// added one after the other from band 1 up, A and B side by side.
inline Lane2 mixBands(const BandOutputs& in)
{
    static_assert(kBandsPerGroup == 4);
    Lane4 ab{};
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        ([&] {
            constexpr std::size_t first = K * kBandsPerGroup;
            const Lane4 s = loadFrom<Lane4>(&in.sum[first]);
            const Lane4 side = loadFrom<Lane4>(&in.width[first]) * loadFrom<Lane4>(&in.diff[first]);
            const Lane4 cm = loadFrom<Lane4>(&in.monoGain[first]);
            const Lane4 stereo = stereoLanes<K>();
            const Lane4 a = select(stereo, cm * (s + side), s);
            const Lane4 b = select(stereo, cm * (s - side), s);
            const Lane4 lower = interleaveLow(a, b);   // A and B of the group's first two bands
            const Lane4 upper = interleaveHigh(a, b);  // and of its last two
            ab = K == 0 ? lower : ab + lower;
            ab = ab + upperLanes(lower);
            ab = ab + upper;
            ab = ab + upperLanes(upper);
        }(), ...);
    }(std::make_index_sequence<kBandGroups>{});
    return lowerLanes(ab);
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
