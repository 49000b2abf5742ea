// Output equaliser: the final tonal balance of each channel and the removal of
// subsonic content before the output gain control. A fixed cascade of
// first-order shelves, a fifth-order Butterworth shelf that lifts the top by
// 9 dB, a peaking cut at 80 Hz and a 12th-order elliptic highpass at 40 Hz; only
// the first shelf follows a control ("Final 2k HF Shelf").
//
// One instance per output channel; all coefficients are fixed for a sample rate.
#pragma once

#include <array>

#include "dsp/output_sections.h"
#include "dsp/sections.h"

namespace plumbra {

// Fifth-order Butterworth split at corner k = 1/tan(pi*f/fs), output
// lowpass + g*highpass. Each branch is a first-order bilinear section followed by
// the sections with damping 1.618034 and 0.618034 (lowpass numerator 1, highpass
// numerator s^2, so b0 = b2 = k^2, b1 = -2k^2). For an odd-order Butterworth pair
// the plain sum has unit magnitude everywhere, so the result is a shelf with gain
// 1 at DC and g at the Nyquist frequency, without a dip at the crossover.
struct ButterworthShelf5 {
    static constexpr std::array<float, 2> kD = {1.618034f, 0.618034f};

    FirstOrderSplit split;  // first-order lowpass and highpass of the input
    SosCascade<2> low;      // lowpass branch sections
    SosCascade<2> high;     // highpass branch sections
    float g;                // gain of the highpass branch

    void design(float k, float gain)
    {
        split.design(k);
        for (std::size_t j = 0; j < kD.size(); ++j) {
            designBilinear(low.s[j], k, kD[j], 1.0f, 0.0f, 1.0f);
            designBilinear(high.s[j], k, kD[j], 1.0f, 1.0f, 0.0f);
        }
        g = gain;
    }
    void clear()
    {
        split.clear();
        low.clear();
        high.clear();
    }
    float process(float x)
    {
        const FirstOrderSplit::Out o = split.process(x);
        const float l = low.process(o.low);
        const float h = high.process(o.high);
        return l + g * h;
    }
};

struct OutputEqualiser {
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

    FirstOrderSplit shelf2k;  // g = G_hf
    float hfShelf;            // G_hf = 10^("Final 2k HF Shelf"/20)
    FirstOrderSplit shelf1k;
    ButterworthShelf5 lift;   // +9 dB above 9720 Hz
    FirstOrderSplit shelf7k;
    FirstOrderSplit shelf4k;
    Sos cut80;                // -3 dB peaking cut at 80 Hz
    EllipticHighpass highpassA;  // 40 Hz, twice in cascade: 12th-order elliptic
    EllipticHighpass highpassB;

    // Fixed coefficients of the sample rate. The 80 Hz cut has the prototype
    // (s^2 + beta*s + 1)/(s^2 + alpha*s + 1) with alpha = (355.0094/fs)/sin(2*pi*80/fs)
    // and beta = (251.32741/fs)/sin(2*pi*80/fs).
    void designFixed(const RateConstants& rc)
    {
        shelf2k.design(limitedPrewarp(kShelf2kHz, rc));
        shelf1k.design(limitedPrewarp(kShelf1kHz, rc));
        lift.design(limitedPrewarp(kLiftHz, rc), kLiftGain);
        shelf7k.design(limitedPrewarp(kShelf7kHz, rc));
        shelf4k.design(limitedPrewarp(kShelf4kHz, rc));
        const float f0 = limitCorner(kCutHz, rc);
        const float sine = chainmath::sin(2.0f * rc.piT * f0);
        designPeaking(cut80, prewarp(f0, rc), (kCutPoleWidth / rc.fs) / sine, (kCutZeroWidth / rc.fs) / sine);
        const float k40 = limitedPrewarp(kHighpassHz, rc);
        highpassA.design(k40);
        highpassB.design(k40);
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
        cut80.clear();
        highpassA.clear();
        highpassB.clear();
    }

    float process(float y)
    {
        float v = shelf2k.shelf(y, hfShelf);
        v = shelf1k.shelf(v, kShelf1kGain);
        v = lift.process(v);
        v = shelf7k.shelf(v, kShelf7kGain);
        v = shelf4k.shelf(v, kShelf4kGain);
        v = cut80.process(v);
        v = highpassA.process(v);
        return highpassB.process(v);
    }
};

static_assert(std::is_trivially_copyable_v<OutputEqualiser>);

// ---------------------------------------------------------------------------
// Both output channels side by side in the lanes of a packed single-precision
// vector (SSE2): channel A in lane 0, channel B in lane 1, lanes 2 and 3 idle.
// The two channels share every coefficient and keep separate state. Each lane
// performs the operations of the scalar sections above in the same order, so
// lane 0 and lane 1 give bit for bit what two OutputEqualiser instances give.

// The output equaliser of both channels: the coefficients of a designed
// OutputEqualiser in every lane, the states of channels A and B in lanes 0 and 1.
struct OutputEqualiserX2 {
    FirstOrderSplitX2 shelf2k;
    Splat4 hfShelf;
    FirstOrderSplitX2 shelf1k;
    FirstOrderSplitX2 liftSplit;
    SosCascadeX2<2> liftLow;
    SosCascadeX2<2> liftHigh;
    Splat4 liftGain;
    FirstOrderSplitX2 shelf7k;
    FirstOrderSplitX2 shelf4k;
    SosX2 cut80;
    SosCascadeX2<3> highpassA;
    SosCascadeX2<3> highpassB;

    void designFixed(const RateConstants& rc)
    {
        OutputEqualiser eq;
        eq.designFixed(rc);
        shelf2k.setFrom(eq.shelf2k);
        hfShelf = splat4(eq.hfShelf);
        shelf1k.setFrom(eq.shelf1k);
        liftSplit.setFrom(eq.lift.split);
        liftLow.setFrom(eq.lift.low);
        liftHigh.setFrom(eq.lift.high);
        liftGain = splat4(eq.lift.g);
        shelf7k.setFrom(eq.shelf7k);
        shelf4k.setFrom(eq.shelf4k);
        cut80.setFrom(eq.cut80);
        highpassA.setFrom(eq.highpassA.sections);
        highpassB.setFrom(eq.highpassB.sections);
    }

    void setHfShelf(float g) { hfShelf = splat4(g); }

    void clear()
    {
        shelf2k.clear();
        shelf1k.clear();
        liftSplit.clear();
        liftLow.clear();
        liftHigh.clear();
        shelf7k.clear();
        shelf4k.clear();
        cut80.clear();
        highpassA.clear();
        highpassB.clear();
    }

    // OutputEqualiser::process of each lane.
    __m128 process(__m128 y)
    {
        __m128 v = shelf2k.shelf(y, load4(hfShelf));
        v = shelf1k.shelf(v, _mm_set1_ps(OutputEqualiser::kShelf1kGain));
        const FirstOrderSplitX2::Out o = liftSplit.process(v);
        const __m128 l = liftLow.process(o.low);
        const __m128 h = liftHigh.process(o.high);
        v = _mm_add_ps(l, _mm_mul_ps(load4(liftGain), h));
        v = shelf7k.shelf(v, _mm_set1_ps(OutputEqualiser::kShelf7kGain));
        v = shelf4k.shelf(v, _mm_set1_ps(OutputEqualiser::kShelf4kGain));
        v = cut80.process(v);
        v = highpassA.process(v);
        return highpassB.process(v);
    }
};

static_assert(std::is_trivially_copyable_v<OutputEqualiserX2>);

}  // namespace plumbra
