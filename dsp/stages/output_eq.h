// Output equaliser: the final tonal balance of each channel and the removal of
// subsonic content before the output gain control. A fixed cascade of
// first-order shelves, a fifth-order Butterworth shelf that lifts the top by
// 9 dB, a peaking cut at 80 Hz and a 12th-order elliptic highpass at 40 Hz; only
// the first shelf follows a control ("Final 2k HF Shelf").
//
// Written over a lane type: the float instance is one channel, the processor
// runs both output channels side by side (Lane2). All coefficients are fixed
// for a sample rate.
#pragma once

#include <array>
#include <cstddef>

#include "dsp/blocks/layout.h"
#include "dsp/blocks/output_sections.h"
#include "dsp/blocks/pipeline.h"
#include "dsp/blocks/sections.h"
#include "dsp/blocks/skewed_cascade.h"

namespace plumbra {

// Fifth-order Butterworth split at corner k = 1/tan(pi*f/fs), output
// lowpass + g*highpass. Each branch is a first-order bilinear section followed by
// the sections with damping 1.618034 and 0.618034 (lowpass numerator 1, highpass
// numerator s^2, so b0 = b2 = k^2, b1 = -2k^2). For an odd-order Butterworth pair
// the plain sum has unit magnitude everywhere, so the result is a shelf with gain
// 1 at DC and g at the Nyquist frequency, without a dip at the crossover. The
// two branches' sections run side by side in one value of Joined<V>.
template <class V>
struct ButterworthShelf5T {
    using W = Joined<V>;  // the two branches side by side: [lowpass, highpass]
    using J = JoinedOf<V>;
    static constexpr std::array<float, 2> kD = {1.618034f, 0.618034f};

    FirstOrderSplitT<V> split;  // first-order lowpass and highpass of the input
    SosCascadeT<W, 2> branches; // lowpass and highpass branch sections
    float g;                    // gain of the highpass branch

    void design(float k, float gain)
    {
        split.design(k);
        SosCascade<2> low, high;
        for (std::size_t j = 0; j < kD.size(); ++j) {
            designBilinear(low.s[j], k, kD[j], 1.0f, 0.0f, 1.0f);
            designBilinear(high.s[j], k, kD[j], 1.0f, 1.0f, 0.0f);
        }
        setJoinedHalves<V>(branches.s, low.s, high.s);
        g = gain;
    }
    void clear()
    {
        split.clear();
        branches.clear();
    }
    // The split of x, as the branches' input.
    W divide(V x)
    {
        const typename FirstOrderSplitT<V>::Out o = split.process(x);
        return J::join(o.low, o.high);
    }
    // The output l + g*h from the branches' outputs [l, h].
    V combine(W b) const { return J::low(b) + splat<V>(g) * J::high(b); }
};

template <class V>
struct OutputEqualiserT {
    static constexpr float kShelf2kHz = 2000.0f;
    static constexpr float kShelf1kHz = 1000.0f;
    static constexpr float kShelf1kGain = 0.70794576f;   // -3 dB
    static constexpr float kLiftHz = 9720.0f;
    static constexpr float kLiftGain = 2.818383f;        // +9 dB
    static constexpr float kShelf7kHz = 7000.0f;
    static constexpr float kShelf7kGain = 0.25118864f;   // -12 dB
    static constexpr float kShelf4kHz = 4000.0f;
    static constexpr float kShelf4kGain = 0.70794576f;   // -3 dB
    static constexpr float kCutHz = 80.0f;
    static constexpr float kCutPoleWidth = 355.0094f;    // pi * 113.003: pole bandwidth
    static constexpr float kCutZeroWidth = 251.32741f;   // pi * 80: zero bandwidth, -3 dB at 80 Hz
    static constexpr float kHighpassHz = 40.0f;

    FirstOrderSplitT<V> shelf2k;  // g = G_hf
    float hfShelf;                // G_hf = 10^("Final 2k HF Shelf"/20)
    FirstOrderSplitT<V> shelf1k;
    ButterworthShelf5T<V> lift;   // +9 dB above 9720 Hz
    FirstOrderSplitT<V> shelf7k;
    FirstOrderSplitT<V> shelf4k;
    // The last seven sections, skewed in lanes: a -3 dB peaking cut at 80 Hz,
    // then the three sections of a 40 Hz elliptic highpass twice (12th order).
    static constexpr std::size_t kCut80 = 0, kHighpassA = 1, kHighpassB = 4;
    SkewedCascadeT<SkewedLanes<V>, 7, V> tail;

    // Fixed coefficients of the sample rate. The 80 Hz cut has the prototype
    // (s^2 + beta*s + 1)/(s^2 + alpha*s + 1) with alpha = (355.0094/fs)/sin(2*pi*80/fs)
    // and beta = (251.32741/fs)/sin(2*pi*80/fs).
    void designFixed(const RateConstants& rc)
    {
        shelf2k.design(kOutputCorners.prewarp(kShelf2kHz, rc));
        shelf1k.design(kOutputCorners.prewarp(kShelf1kHz, rc));
        lift.design(kOutputCorners.prewarp(kLiftHz, rc), kLiftGain);
        shelf7k.design(kOutputCorners.prewarp(kShelf7kHz, rc));
        shelf4k.design(kOutputCorners.prewarp(kShelf4kHz, rc));
        const float f0 = kOutputCorners.corner(kCutHz, rc);
        const float sine = chainmath::sin(2.0f * rc.piT * f0);
        Sos cut80{};
        designPeaking(cut80, prewarp(f0, rc), (kCutPoleWidth / rc.fs) / sine, (kCutZeroWidth / rc.fs) / sine);
        tail.set(kCut80, cut80);
        EllipticHighpass highpass;
        highpass.design(kOutputCorners.prewarp(kHighpassHz, rc));
        for (std::size_t j = 0; j < highpass.sections.s.size(); ++j) {
            tail.set(kHighpassA + j, highpass.sections.s[j]);
            tail.set(kHighpassB + j, highpass.sections.s[j]);
        }
        hfShelf = 1.0f;
    }

    // The control-dependent gain of the first shelf, once per block.
    void setHfShelf(float g) { hfShelf = g; }

    void clear()
    {
        shelf2k.clear();
        shelf1k.clear();
        lift.clear();
        shelf7k.clear();
        shelf4k.clear();
        tail.clear();
    }

    // One sample, a run of one.
    V process(V y)
    {
        Mem<V> m;
        store(m, y);
        processRun(&m, 1);
        return load<V>(m);
    }

    // A run y[0..len-1] in place: the first shelves and the lift's split, the
    // lift's branches and the last shelves in three stages of one pipelined
    // loop (dsp/pipeline.h), then the cut and the highpasses skewed in lanes.
    void processRun(Mem<V>* y, int len)
    {
        using W = typename ButterworthShelf5T<V>::W;  // the lift's branches [low, high]
        std::array<Mem<V>, kRunLength> shelved;
        runPipelinedInto(
            y, shelved.data(), len,
            [this](const Mem<V>& m) {
                V v = shelf2k.shelf(load<V>(m), splat<V>(hfShelf));
                v = shelf1k.shelf(v, splat<V>(kShelf1kGain));
                return lift.divide(v);
            },
            [this](W b) { return lift.combine(lift.branches.process(b)); },
            [this](V v) {
                Mem<V> m;
                store(m, shelf4k.shelf(shelf7k.shelf(v, splat<V>(kShelf7kGain)), splat<V>(kShelf4kGain)));
                return m;
            });
        tail.processRun(shelved.data(), y, len, [](const auto& s, auto& h, auto v) { return s.processWith(h, v); });
    }
};
using OutputEqualiser = OutputEqualiserT<float>;

static_assert(std::is_trivially_copyable_v<OutputEqualiser>);

// The layout the AVX unit's copy of the type must share (dsp/avx/avx_path.h).
template <class V>
inline constexpr uint64_t kEqualiserLayout = layoutPrint<OutputEqualiserT<V>>(
    {offsetof(OutputEqualiserT<V>, shelf2k), offsetof(OutputEqualiserT<V>, hfShelf), offsetof(OutputEqualiserT<V>, shelf1k),
     offsetof(OutputEqualiserT<V>, lift), offsetof(OutputEqualiserT<V>, shelf7k), offsetof(OutputEqualiserT<V>, shelf4k),
     offsetof(OutputEqualiserT<V>, tail)});

}  // namespace plumbra
