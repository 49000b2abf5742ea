// Envelope followers whose release lengthens while the level keeps rising.
// Every lane computes, for its magnitude m:
//   f  = 1 if m - Es > 0, else 0            (level above the smoothed envelope)
//   h  = max(f, c*h + (1 - c)*f)            (rising indicator, instant attack)
//   r  = max(0, 2*(h - 0.5))                (release lengthening 0 .. 1)
//   cr = exp(-T/(r + base))                 (release coefficient)
//   E  = max(m, cr*E + (1 - cr)*m)          (envelope, instant attack)
//   Es = s*Es + (1 - s)*E                   (smoothed envelope)
// The band slow and fast envelopes and the width detectors' channel envelopes
// are such followers, run several lanes at a time.
//
// h, r and cr depend on the envelope only through f, and for f = 1 they are
// constants: h <= 1, so c*h + (1 - c) <= 1 and h = 1, r = 1, cr = exp(-T/(1 + base)).
// So each sample works out r and cr for f = 0 from the previous h alone, and f
// then only chooses between those and the constants. The exponential thereby
// stays out of the loop from one sample's envelope to the next, which would
// otherwise wait on it at every sample of a falling indicator. The
// exponentials of f = 0 are computed only when some lane's r differs from its
// previous value (r mostly rests at 0).
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/simd/lanes.h"

namespace plumbra {

template <class V>
struct RisingEnvelopeT {
    // Coefficients, the same in every lane.
    float hold, omHold;      // rising-indicator hold c and 1 - c
    float smooth, omSmooth;  // envelope smoothing s and 1 - s
    float T;                 // sampling period
    float releaseBase;       // shortest release, s
    bool smallArguments;     // every exponent -T/(r + base) lies within exp's small-argument range
    float crRising;          // cr of f = 1: exp(-T/(1 + base))

    // State.
    Mem<V> h, E, Es;  // rising indicator, envelope, smoothed envelope
    Mem<V> r;         // last r of each lane for f = 0 (compared by its bits)
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
        crRising = releaseCoefficient(1.0f);
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
        // h, r and cr for f = 0.
        const V hFalling = max(zero, splat<V>(hold) * load<V>(h) + splat<V>(omHold) * zero);
        const V rFalling = max(zero, splat<V>(2.0f) * (hFalling - splat<V>(0.5f)));
        if constexpr (kWideDoubles<V>) {
            // With four double lanes per vector the exponentials of the whole
            // value cost less than a test per half and its often mispredicted
            // branch: one test, for a value whose lanes all rest.
            if (bitsDiffer(rFalling, r)) {
                store(r, rFalling);
                store(cr, releaseCoefficient(rFalling));
            }
        } else {
            refreshChanged(rFalling, r, cr, [&](auto x) __attribute__((always_inline)) { return releaseCoefficient(x); });
        }
        // f chooses.
        const V es = load<V>(Es);
        const auto rising = greater(m - es, zero);
        store(h, select(rising, one, hFalling));
        const V c = select(rising, splat<V>(crRising), load<V>(cr));
        const V ev = max(m, c * load<V>(E) + (one - c) * m);
        store(E, ev);
        store(Es, splat<V>(smooth) * es + splat<V>(omSmooth) * ev);
    }

private:
    // cr = exp(-T/(r + base)) of the lanes of r.
    template <class H>
    [[gnu::always_inline]] H releaseCoefficient(H x) const
    {
        const H z = splat<H>(-T) / (x + splat<H>(releaseBase));
        return smallArguments ? laneExpSmall(z) : laneExp(z);
    }
};

static_assert(std::is_trivially_copyable_v<RisingEnvelopeT<float>>);

}  // namespace plumbra
