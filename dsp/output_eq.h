// Output equaliser: the final tonal balance of each channel and the removal of
// subsonic content before the output gain control. A fixed cascade of
// first-order shelves, a fifth-order Butterworth shelf that lifts the top by
// 9 dB, a peaking cut at 80 Hz and a 12th-order elliptic highpass at 40 Hz; only
// the first shelf follows a control ("Final 2k HF Shelf").
//
// One instance per output channel; all coefficients are fixed for a sample rate.
#pragma once

#include <array>

#include <emmintrin.h>

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

// A coefficient repeated in every lane.
using Splat4 = std::array<float, 4>;
inline Splat4 splat4(float v) { return {v, v, v, v}; }
inline __m128 load4(const std::array<float, 4>& a) { return _mm_loadu_ps(a.data()); }

// Sos::process on two channels.
struct SosX2 {
    Splat4 b0, b1, b2, a1, a2, ra0, g;
    std::array<float, 4> w1, w2;  // w[n-1], w[n-2] of each lane

    void setFrom(const Sos& s)
    {
        b0 = splat4(s.b0);
        b1 = splat4(s.b1);
        b2 = splat4(s.b2);
        a1 = splat4(s.a1);
        a2 = splat4(s.a2);
        ra0 = splat4(s.ra0);
        g = splat4(s.g);
    }
    void clear()
    {
        w1.fill(0.0f);
        w2.fill(0.0f);
    }
    // w = x - (a2*w2 + a1*w1)/a0, y = g*(b0*w + b1*w1 + b2*w2)/a0.
    __m128 process(__m128 x)
    {
        const __m128 w1v = load4(w1);
        const __m128 w2v = load4(w2);
        const __m128 r = load4(ra0);
        const __m128 fb = _mm_add_ps(_mm_mul_ps(load4(a2), w2v), _mm_mul_ps(load4(a1), w1v));
        const __m128 w = _mm_sub_ps(x, _mm_mul_ps(fb, r));
        const __m128 num = _mm_add_ps(_mm_add_ps(_mm_mul_ps(load4(b0), w), _mm_mul_ps(load4(b1), w1v)),
                                      _mm_mul_ps(load4(b2), w2v));
        const __m128 y = _mm_mul_ps(_mm_mul_ps(load4(g), num), r);
        _mm_storeu_ps(w2.data(), w1v);
        _mm_storeu_ps(w1.data(), w);
        return y;
    }
};

// A cascade of SosX2, first section first.
template <std::size_t N>
struct SosCascadeX2 {
    std::array<SosX2, N> s;

    void setFrom(const SosCascade<N>& c)
    {
        for (std::size_t j = 0; j < N; ++j) s[j].setFrom(c.s[j]);
    }
    void clear()
    {
        for (auto& x : s) x.clear();
    }
    __m128 process(__m128 x)
    {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((x = s[I].process(x)), ...);
        }(std::make_index_sequence<N>{});
        return x;
    }
};

// FirstOrderSplit on two channels.
struct FirstOrderSplitX2 {
    Splat4 c, omc, r1pc;
    std::array<float, 4> x1, l1, h1;  // x[n-1], l[n-1], h[n-1] of each lane

    struct Out {
        __m128 low, high;
    };

    void setFrom(const FirstOrderSplit& s)
    {
        c = splat4(s.c);
        omc = splat4(s.omc);
        r1pc = splat4(s.r1pc);
    }
    void clear()
    {
        x1.fill(0.0f);
        l1.fill(0.0f);
        h1.fill(0.0f);
    }
    // l = (x + x1 - (1-c)*l1)/(1+c), h = (c*x - c*x1 - (1-c)*h1)/(1+c).
    Out process(__m128 x)
    {
        const __m128 x1v = load4(x1);
        const __m128 cv = load4(c);
        const __m128 om = load4(omc);
        const __m128 r = load4(r1pc);
        const __m128 l = _mm_mul_ps(_mm_sub_ps(_mm_add_ps(x, x1v), _mm_mul_ps(om, load4(l1))), r);
        const __m128 h = _mm_mul_ps(
            _mm_sub_ps(_mm_sub_ps(_mm_mul_ps(cv, x), _mm_mul_ps(cv, x1v)), _mm_mul_ps(om, load4(h1))), r);
        _mm_storeu_ps(x1.data(), x);
        _mm_storeu_ps(l1.data(), l);
        _mm_storeu_ps(h1.data(), h);
        return {l, h};
    }
    // l + g*h.
    __m128 shelf(__m128 x, __m128 g)
    {
        const Out o = process(x);
        return _mm_add_ps(o.low, _mm_mul_ps(g, o.high));
    }
};

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
