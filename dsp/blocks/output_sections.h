// Filter sections shared by the output stages (band mix, bandwidth expander,
// output equaliser): the sixth-order elliptic highpass and the first-order
// bilinear lowpass. Their corners are held by kOutputCorners (sections.h).
#pragma once

#include <algorithm>
#include <array>
#include <utility>

#include "dsp/blocks/sections.h"

namespace plumbra {

// Sixth-order elliptic highpass: three sections with the analog prototypes
// (p*s^2 + q)/(s^2 + d*s + e) below, bilinear with k = 1/tan(pi*f/fs). Gain
// 0.97724 (-0.2 dB) at the Nyquist frequency, 0.0001 (-80 dB) at DC, with
// transmission zeros at 0.48044, 0.36222 and 0.13667 times the corner.
template <class V>
struct EllipticHighpassT {
    struct Prototype {
        float d, e, p, q;
    };
    static constexpr std::array<Prototype, 3> kPrototypes = {{
        {3.1897273f, 4.0767817f, 0.0017661728f, 0.0004076782f},
        {0.74313045f, 1.4500711f, 11.0520525f, 1.4500711f},
        {0.15748216f, 0.9351402f, 50.06381f, 0.9351402f},
    }};

    SosCascadeT<V, 3> sections;

    void design(float k)
    {
        for (std::size_t j = 0; j < kPrototypes.size(); ++j) {
            const Prototype& pr = kPrototypes[j];
            designBilinear(sections.s[j], k, pr.d, pr.e, pr.p, pr.q);
        }
    }
    void clear() { sections.clear(); }
    V process(V x) { return sections.process(x); }
};
using EllipticHighpass = EllipticHighpassT<float>;

// The sections of two paths side by side in one value of Joined<V>, each
// half given the coefficients of its own float design: lo to the first
// kLanesOf<V> lanes, hi to the rest.
template <class V, std::size_t N>
inline void setJoinedHalves(std::array<SosT<Joined<V>>, N>& s, const std::array<Sos, N>& lo, const std::array<Sos, N>& hi)
{
    constexpr std::size_t half = kLanesOf<V>;
    for (std::size_t j = 0; j < N; ++j)
        for (std::size_t lane = 0; lane < 2 * half; ++lane) s[j].setLane(lane, lane < half ? lo[j] : hi[j]);
}

// First-order bilinear lowpass at c = 1/tan(pi*f/fs), the low half of a
// FirstOrderSplit: l[n] = (x[n] + x[n-1] - (1 - c)*l[n-1]) / (1 + c).
template <class V>
struct FirstOrderLowpassT {
    Mem<V> omc;   // 1 - c
    Mem<V> r1pc;  // 1/(1 + c)
    Mem<V> x1;    // x[n-1]
    Mem<V> l1;    // l[n-1]

    void design(float c)
    {
        fill(omc, 1.0f - c);
        fill(r1pc, 1.0f / (1.0f + c));
    }
    void clear()
    {
        fill(x1, 0.0f);
        fill(l1, 0.0f);
    }
    V process(V x)
    {
        const V l = (x + load<V>(x1) - load<V>(omc) * load<V>(l1)) * load<V>(r1pc);
        store(x1, x);
        store(l1, l);
        return l;
    }
};
using FirstOrderLowpass = FirstOrderLowpassT<float>;

// The magnitude of an analytic sample with the floor of the expander's
// envelopes: sqrt(P) when the power P reaches 1.0000001e-06, otherwise 0.001
// (also for a NaN power).
template <class V>
inline V flooredMagnitude(V power)
{
    return select(greaterEqual(power, splat<V>(1.0000001e-06f)), sqrt(power), splat<V>(0.001f));
}

static_assert(std::is_trivially_copyable_v<EllipticHighpass>);
static_assert(std::is_trivially_copyable_v<FirstOrderLowpass>);

}  // namespace plumbra
