// Filter sections shared by the output stages (band mix, bandwidth expander,
// output equaliser): the sixth-order elliptic highpass, the first-order bilinear
// lowpass, and the corner limits that keep every section stable at any rate.
#pragma once

#include <algorithm>
#include <array>
#include <utility>

#include <emmintrin.h>

#include "dsp/sections.h"

namespace plumbra {

// Highest corner, as a fraction of the sample rate, that an output-stage filter
// is designed at. At and above half the rate the bilinear prewarp tan(pi*f/fs) is
// infinite or negative and the poles leave the unit circle, so a corner at or
// above the limit is designed at the limit instead. The highest corner of the
// output stages is 15400 Hz (Lowpass Filter at its top plus 400 Hz), well
// below the limit at 44100 Hz and above; the limit only acts at lower rates.
inline constexpr float kMaxCornerRatio = 0.49f;

// Corner frequency f limited to just below half the sample rate.
inline float limitCorner(float f, const RateConstants& rc) { return std::min(f, kMaxCornerRatio * rc.fs); }

// Prewarp k = 1/tan(pi*f/fs) of a corner limited by limitCorner.
inline float limitedPrewarp(float f, const RateConstants& rc) { return prewarp(limitCorner(f, rc), rc); }

// Sixth-order elliptic highpass: three sections with the analog prototypes
// (p*s^2 + q)/(s^2 + d*s + e) below, bilinear with k = 1/tan(pi*f/fs). Gain
// 0.97724 (-0.2 dB) at the Nyquist frequency, 0.0001 (-80 dB) at DC, with
// transmission zeros at 0.48044, 0.36222 and 0.13667 times the corner.
struct EllipticHighpass {
    struct Prototype {
        float d, e, p, q;
    };
    static constexpr std::array<Prototype, 3> kPrototypes = {{
        {3.1897273f, 4.0767817f, 0.0017661728f, 0.0004076782f},
        {0.74313045f, 1.4500711f, 11.0520525f, 1.4500711f},
        {0.15748216f, 0.9351402f, 50.06381f, 0.9351402f},
    }};

    SosCascade<3> sections;

    void design(float k)
    {
        for (std::size_t j = 0; j < kPrototypes.size(); ++j) {
            const Prototype& pr = kPrototypes[j];
            designBilinear(sections.s[j], k, pr.d, pr.e, pr.p, pr.q);
        }
    }
    void clear() { sections.clear(); }
    float process(float x) { return sections.process(x); }
};

// First-order bilinear lowpass at c = 1/tan(pi*f/fs), the low half of a
// FirstOrderSplit: l[n] = (x[n] + x[n-1] - (1 - c)*l[n-1]) / (1 + c).
struct FirstOrderLowpass {
    float omc;   // 1 - c
    float r1pc;  // 1/(1 + c)
    float x1;    // x[n-1]
    float l1;    // l[n-1]

    void design(float c)
    {
        omc = 1.0f - c;
        r1pc = 1.0f / (1.0f + c);
    }
    void clear() { x1 = l1 = 0.0f; }
    float process(float x)
    {
        const float l = (x + x1 - omc * l1) * r1pc;
        x1 = x;
        l1 = l;
        return l;
    }
};

// The magnitude of an analytic sample with the floor of the expander's
// envelopes: sqrt(P) when the power P reaches 1.0000001e-06, otherwise 0.001.
inline float flooredMagnitude(float power)
{
    return power >= 1.0000001e-06f ? std::sqrt(power) : 0.001f;
}

// ---------------------------------------------------------------------------
// The sections above on the lanes of a packed single-precision vector (SSE2),
// every lane with the same coefficients and its own state: the output stages
// run channels A and B side by side (lanes 0 and 1), and where a stage has two
// parallel paths with one design, the second path in lanes 2 and 3. Each lane
// performs the scalar operations in the same order, so it gives bit for bit
// what the scalar section fed that lane's samples gives.

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
    // Sos::processLowpass: y = g*(w + 2w1 + w2)/a0.
    __m128 processLowpass(__m128 x)
    {
        const __m128 w1v = load4(w1);
        const __m128 w2v = load4(w2);
        const __m128 r = load4(ra0);
        const __m128 fb = _mm_add_ps(_mm_mul_ps(load4(a2), w2v), _mm_mul_ps(load4(a1), w1v));
        const __m128 w = _mm_sub_ps(x, _mm_mul_ps(fb, r));
        const __m128 num = _mm_add_ps(_mm_add_ps(w, _mm_mul_ps(_mm_set1_ps(2.0f), w1v)), w2v);
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
    // Every section from designButterworthLowpass.
    __m128 processLowpass(__m128 x)
    {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((x = s[I].processLowpass(x)), ...);
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

// FirstOrderLowpass on every lane.
struct FirstOrderLowpassX2 {
    Splat4 omc, r1pc;
    std::array<float, 4> x1, l1;

    void setFrom(const FirstOrderLowpass& s)
    {
        omc = splat4(s.omc);
        r1pc = splat4(s.r1pc);
    }
    void clear()
    {
        x1.fill(0.0f);
        l1.fill(0.0f);
    }
    __m128 process(__m128 x)
    {
        const __m128 l = _mm_mul_ps(_mm_sub_ps(_mm_add_ps(x, load4(x1)), _mm_mul_ps(load4(omc), load4(l1))), load4(r1pc));
        _mm_storeu_ps(x1.data(), x);
        _mm_storeu_ps(l1.data(), l);
        return l;
    }
};

static_assert(std::is_trivially_copyable_v<EllipticHighpass>);
static_assert(std::is_trivially_copyable_v<FirstOrderLowpass>);

}  // namespace plumbra
