// Four envelope followers side by side, one per lane of a packed
// single-precision vector, whose release lengthens while the level keeps
// rising. Every lane computes, for its magnitude m:
//   f  = 1 if m - Es > 0, else 0            (level above the smoothed envelope)
//   h  = max(f, c*h + (1 - c)*f)            (rising indicator, instant attack)
//   r  = max(0, 2*(h - 0.5))                (release lengthening 0 .. 1)
//   cr = exp(-T/(r + base))                 (release coefficient)
//   E  = max(m, cr*E + (1 - cr)*m)          (envelope, instant attack)
//   Es = s*Es + (1 - s)*E                   (smoothed envelope)
// The band slow envelopes and the width detectors' channel envelopes are such
// followers. The packed operations are exact per lane, so each lane gives the
// same values as the follower computed alone; max(a, b) is taken as
// _mm_max_ps(b, a), which like std::max(a, b) returns a unless a < b.
// The exponentials are computed only when some lane's r differs from its
// previous value (r mostly rests at 0 or 1).
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <type_traits>

#include <emmintrin.h>

#include "dsp/chainmath.h"

namespace plumbra {

struct RisingEnvelopeX4 {
    static constexpr int kLanes = 4;
    using Lanes = std::array<float, kLanes>;

    // Coefficients, the same in every lane.
    float hold, omHold;      // rising-indicator hold c and 1 - c
    float smooth, omSmooth;  // envelope smoothing s and 1 - s
    float T;                 // sampling period
    float releaseBase;       // shortest release, s

    // State.
    Lanes h, E, Es;                      // rising indicator, envelope, smoothed envelope
    std::array<uint32_t, kLanes> rBits;  // bits of each lane's last r
    Lanes cr;                            // release coefficient of that r

    void design(float holdCoefficient, float smoothCoefficient, float period, float base)
    {
        hold = holdCoefficient;
        omHold = 1.0f - holdCoefficient;
        smooth = smoothCoefficient;
        omSmooth = 1.0f - smoothCoefficient;
        T = period;
        releaseBase = base;
        for (int j = 0; j < kLanes; ++j) {
            rBits[static_cast<std::size_t>(j)] = std::bit_cast<uint32_t>(0.0f);
            cr[static_cast<std::size_t>(j)] = releaseCoefficient(0.0f);
        }
    }

    void clear()
    {
        h.fill(0.0f);
        E.fill(0.0f);
        Es.fill(0.0f);
    }

    // Release coefficient exp(-T/(r + base)).
    float releaseCoefficient(float r) const { return chainmath::exp(-T / (r + releaseBase)); }

    // One sample of the four followers for the magnitudes m; the smoothed
    // envelopes are left in Es.
    void process(__m128 m)
    {
        const __m128 one = _mm_set1_ps(1.0f);
        const __m128 zero = _mm_setzero_ps();
        const __m128 es = _mm_loadu_ps(Es.data());
        const __m128 f = _mm_and_ps(_mm_cmpgt_ps(_mm_sub_ps(m, es), zero), one);
        const __m128 held = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(hold), _mm_loadu_ps(h.data())),
                                       _mm_mul_ps(_mm_set1_ps(omHold), f));
        const __m128 hv = _mm_max_ps(held, f);
        _mm_storeu_ps(h.data(), hv);
        const __m128 r = _mm_max_ps(_mm_mul_ps(_mm_set1_ps(2.0f), _mm_sub_ps(hv, _mm_set1_ps(0.5f))), zero);

        // Release coefficients: recomputed only in the lanes whose r changed.
        const __m128i same = _mm_cmpeq_epi32(_mm_castps_si128(r),
                                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(rBits.data())));
        if (_mm_movemask_ps(_mm_castsi128_ps(same)) != 0xF) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(rBits.data()), _mm_castps_si128(r));
            const __m128 z = _mm_div_ps(_mm_set1_ps(-T), _mm_add_ps(r, _mm_set1_ps(releaseBase)));
            _mm_storeu_ps(cr.data(), chainmath::expX4(z));
        }
        const __m128 c = _mm_loadu_ps(cr.data());
        const __m128 follow = _mm_add_ps(_mm_mul_ps(c, _mm_loadu_ps(E.data())), _mm_mul_ps(_mm_sub_ps(one, c), m));
        const __m128 ev = _mm_max_ps(follow, m);
        _mm_storeu_ps(E.data(), ev);
        _mm_storeu_ps(Es.data(), _mm_add_ps(_mm_mul_ps(_mm_set1_ps(smooth), es), _mm_mul_ps(_mm_set1_ps(omSmooth), ev)));
    }
};

static_assert(std::is_trivially_copyable_v<RisingEnvelopeX4>);

}  // namespace plumbra
