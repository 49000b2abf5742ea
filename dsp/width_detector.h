// Stereo-width detector of one band: compares the envelopes of the band's
// levelled left and right signals and decides how much of the band's
// difference (side) signal reaches the outputs.
//
// While left and right are alike the band is reproduced in mono, raised by the
// mono compensation gain cm = 1.414 to make up for the removed side signal; the
// more they differ, the more side signal is let through (wf up to 1, cm down to 1).
//
// WidthDetector decides for one band; WidthDecisionX4 decides for four bands
// at once, one per lane of a packed single-precision vector, with the same
// operations in the same order, so each lane gives bit for bit the decisions
// of a WidthDetector fed that lane's envelopes.
#pragma once

#include <algorithm>
#include <array>
#include <type_traits>

#include "dsp/chainmath.h"
#include "dsp/rising_envelope_x4.h"
#include "dsp/sections.h"

namespace plumbra {

struct WidthDetector {
    static constexpr float kReleaseBase = 0.03f;     // shortest envelope release, s
    static constexpr float kLowpassHz = 30.0f;       // corner of both ratio smoothers
    static constexpr float kCurveGain = 2.2387211f;  // +7 dB after the tangent curve
    static constexpr float kMonoBoost = 0.414f;      // cm = 1 + 0.414*(1 - wf)

    Sos ratioLowpass;           // 30 Hz Butterworth lowpass on the envelope ratio
    Sos curveLowpass;           // 30 Hz Butterworth lowpass on the curve, +7 dB folded in
    float wf;                   // width factor of the current sample, 0..1
    float cm;                   // mono compensation gain of the current sample, 1..1.414

    // The envelope followers of the band's levelled left and right signals,
    // whose release lengthens from 0.03 s to 1.03 s while the level keeps
    // rising (rising-indicator hold 60 ms, smoothing 1 ms). The band bank runs
    // them four channels at a time, on the magnitudes of analytic envelope
    // detectors (see BandBank::process()).
    static void designFollowers(RisingEnvelopeX4& f, const RateConstants& rc)
    {
        f.design(onePole(16.666666f, rc), onePole(1000.0f, rc), rc.T, kReleaseBase);
    }

    void design(const RateConstants& rc)
    {
        const float k = prewarp(kLowpassHz, rc);
        designButterworthLowpass(ratioLowpass, k);
        designButterworthLowpass(curveLowpass, k);
        curveLowpass.g = kCurveGain;  // u = 2.2387211*(w' + 2w'1 + w'2)/a0
    }

    void clear()
    {
        ratioLowpass.clear();
        curveLowpass.clear();
        wf = cm = 0.0f;
    }

    // Width factor and mono compensation gain of the current sample from the
    // smoothed envelopes esL, esR of the band's levelled left and right signals.
    void decide(float esL, float esR)
    {
        // Both envelopes are at least the detector floor after one sample, so the ratio is defined.
        const float rho = std::max(esL, esR) / std::min(esL, esR);
        const float rhof = ratioLowpass.processLowpass(rho);
        float t = 0.0f;
        if (rhof > 1.0f) {
            t = chainmath::tan(rhof - 1.0f);
            if (!(t > 0.0f)) t = 0.0f;  // past 1 + pi/2 the tangent turns negative
        }
        const float u = curveLowpass.processLowpass(t);
        wf = std::min(1.0f, std::max(0.0f, u));
        cm = 1.0f + kMonoBoost * (1.0f - wf);
    }
};

// Four width detectors side by side (SSE2). Every lane computes
//   rho = max(esL, esR)/min(esL, esR),  rhof = 30 Hz lowpass of rho,
//   t = tan(rhof - 1) if rhof > 1 and that is positive, else 0,
//   u = 30 Hz lowpass of t with +7 dB,  wf = min(1, max(0, u)),
//   cm = 1 + 0.414*(1 - wf).
// The packed maximum and minimum return their second operand unless the first
// is larger (smaller), so std::max(a, b) is taken as _mm_max_ps(b, a) and
// std::min(a, b) as _mm_min_ps(b, a). The tangent is evaluated per lane, only
// in the lanes that carry a band and whose rhof exceeds 1; a lane without a
// band gets t = 0 and rests at wf = 0, cm = 1.414.
struct WidthDecisionX4 {
    static constexpr int kLanes = 4;
    using Lanes = std::array<float, kLanes>;

    SosX4 ratioLowpass;  // 30 Hz Butterworth lowpass on the envelope ratio
    SosX4 curveLowpass;  // 30 Hz Butterworth lowpass on the curve, +7 dB folded in
    Lanes wf;            // width factors of the current sample, 0..1
    Lanes cm;            // mono compensation gains of the current sample, 1..1.414
    int bandLanes;       // bit j set: lane j carries a band

    // Lanes 0 .. bands - 1 carry a band; the sections are those of WidthDetector.
    void design(const RateConstants& rc, int bands)
    {
        WidthDetector d{};
        d.design(rc);
        for (std::size_t j = 0; j < kLanes; ++j) {
            ratioLowpass.setLane(j, d.ratioLowpass);
            curveLowpass.setLane(j, d.curveLowpass);
        }
        bandLanes = (1 << bands) - 1;
    }

    void clear()
    {
        ratioLowpass.clear();
        curveLowpass.clear();
        wf.fill(0.0f);
        cm.fill(0.0f);
    }

    // WidthDetector::decide() of every lane, for the smoothed envelopes esL,
    // esR of the bands' levelled left and right signals. Lanes without a band
    // must still be given positive envelopes (1 will do).
    void decide(__m128 esL, __m128 esR)
    {
        const __m128 one = _mm_set1_ps(1.0f);
        const __m128 zero = _mm_setzero_ps();
        const __m128 rho = _mm_div_ps(_mm_max_ps(esR, esL), _mm_min_ps(esR, esL));
        const __m128 rhof = ratioLowpass.processLowpass(rho);
        __m128 t = zero;
        const int curved = _mm_movemask_ps(_mm_cmpgt_ps(rhof, one)) & bandLanes;
        if (curved != 0) {
            Lanes x;
            _mm_storeu_ps(x.data(), _mm_sub_ps(rhof, one));
            Lanes tl{};
            for (std::size_t j = 0; j < kLanes; ++j) {
                if ((curved >> j) & 1) tl[j] = chainmath::tan(x[j]);
            }
            t = _mm_loadu_ps(tl.data());
            t = _mm_and_ps(_mm_cmpgt_ps(t, zero), t);  // past 1 + pi/2 the tangent turns negative
        }
        const __m128 u = curveLowpass.processLowpass(t);
        const __m128 w = _mm_min_ps(_mm_max_ps(u, zero), one);  // std::min(1, std::max(0, u))
        _mm_storeu_ps(wf.data(), w);
        _mm_storeu_ps(cm.data(), _mm_add_ps(one, _mm_mul_ps(_mm_set1_ps(WidthDetector::kMonoBoost), _mm_sub_ps(one, w))));
    }
};

static_assert(std::is_trivially_copyable_v<WidthDetector>);
static_assert(std::is_trivially_copyable_v<WidthDecisionX4>);

}  // namespace plumbra
