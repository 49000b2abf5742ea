// Envelope followers whose release lengthens while the level keeps rising.
// Every lane computes, for its magnitude m:
//   f  = 1 if m - Es > 0, else 0            (level above the smoothed envelope)
//   h  = max(f, c*h + (1 - c)*f)            (rising indicator, instant attack)
//   r  = max(0, 2*(h - 0.5))                (release lengthening 0 .. 1)
//   cr = exp(-T/(r + base))                 (release coefficient)
//   E  = max(m, cr*E + (1 - cr)*m)          (envelope, instant attack)
//   Es = s*Es + (1 - s)*E                   (smoothed envelope)
// The band slow and fast envelopes and the width detectors' channel envelopes
// are such followers, run several lanes at a time. The exponentials are
// computed only when some lane's r differs from its previous value (r mostly
// rests at 0 or 1).
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/lanes.h"

namespace plumbra {

template <class V>
struct RisingEnvelopeT {
    // Coefficients, the same in every lane.
    float hold, omHold;      // rising-indicator hold c and 1 - c
    float smooth, omSmooth;  // envelope smoothing s and 1 - s
    float T;                 // sampling period
    float releaseBase;       // shortest release, s
    bool smallArguments;     // every exponent -T/(r + base) lies within exp's small-argument range

    // State.
    Mem<V> h, E, Es;  // rising indicator, envelope, smoothed envelope
    Mem<V> r;         // last r of each lane (compared by its bits)
    Mem<V> cr;        // release coefficient of that r

    void design(float holdCoefficient, float smoothCoefficient, float period, float base)
    {
        hold = holdCoefficient;
        omHold = 1.0f - holdCoefficient;
        smooth = smoothCoefficient;
        omSmooth = 1.0f - smoothCoefficient;
        T = period;
        releaseBase = base;
        // A valid pair of r and coefficient, whatever the state.
        const float largest = -T / (0.0f + releaseBase);  // r = 0: the exponent farthest from 0
        fill(r, 0.0f);
        fill(cr, chainmath::exp(largest));
        // r + base >= base, so |-T/(r + base)| never exceeds that exponent's
        // magnitude: at a rate where it lies in exp's small-argument range,
        // every exponent does, and the range test is left out.
        smallArguments = largest > -chainmath::detail::kExpSmall;
    }

    void clear()
    {
        fill(h, 0.0f);
        fill(E, 0.0f);
        fill(Es, 0.0f);
    }

    // One sample of the followers for the magnitudes m; the smoothed envelopes
    // are left in Es.
    [[gnu::always_inline]] void process(V m)
    {
        const V one = splat<V>(1.0f);
        const V zero = splat<V>(0.0f);
        const V es = load<V>(Es);
        const V f = select(greater(m - es, zero), one, zero);
        const V hv = max(f, splat<V>(hold) * load<V>(h) + splat<V>(omHold) * f);
        store(h, hv);
        const V rv = max(zero, splat<V>(2.0f) * (hv - splat<V>(0.5f)));
        refreshChanged(rv, r, cr, [this](auto x) __attribute__((always_inline)) {
            using H = decltype(x);
            const H z = splat<H>(-T) / (x + splat<H>(releaseBase));
            return smallArguments ? laneExpSmall(z) : laneExp(z);
        });
        const V c = load<V>(cr);
        const V ev = max(m, c * load<V>(E) + (one - c) * m);
        store(E, ev);
        store(Es, splat<V>(smooth) * es + splat<V>(omSmooth) * ev);
    }
};

// Two followers of the same design side by side, as one follower W of twice
// the lanes (its state in memory is the two followers' state, a's first), and
// back: a run of samples can go through both with their operations interleaved.
template <class W, class V>
void joinFollowers(RisingEnvelopeT<W>& w, const RisingEnvelopeT<V>& a, const RisingEnvelopeT<V>& b)
{
    static_assert(std::is_same_v<Mem<W>, PairMem<Mem<V>>>);
    w.hold = a.hold;
    w.omHold = a.omHold;
    w.smooth = a.smooth;
    w.omSmooth = a.omSmooth;
    w.T = a.T;
    w.releaseBase = a.releaseBase;
    w.smallArguments = a.smallArguments;
    w.h = {a.h, b.h};
    w.E = {a.E, b.E};
    w.Es = {a.Es, b.Es};
    w.r = {a.r, b.r};
    w.cr = {a.cr, b.cr};
}
template <class W, class V>
void splitFollowers(const RisingEnvelopeT<W>& w, RisingEnvelopeT<V>& a, RisingEnvelopeT<V>& b)
{
    static_assert(std::is_same_v<Mem<W>, PairMem<Mem<V>>>);
    a.h = w.h[0];
    b.h = w.h[1];
    a.E = w.E[0];
    b.E = w.E[1];
    a.Es = w.Es[0];
    b.Es = w.Es[1];
    a.r = w.r[0];
    b.r = w.r[1];
    a.cr = w.cr[0];
    b.cr = w.cr[1];
}

static_assert(std::is_trivially_copyable_v<RisingEnvelopeT<float>>);

}  // namespace plumbra
