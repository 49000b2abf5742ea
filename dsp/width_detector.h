// Stereo-width detector of one band: compares the envelopes of the band's
// levelled left and right signals and decides how much of the band's
// difference (side) signal reaches the outputs.
//
// While left and right are alike the band is reproduced in mono, raised by the
// mono compensation gain cm = 1.414 to make up for the removed side signal; the
// more they differ, the more side signal is let through (wf up to 1, cm down to 1).
#pragma once

#include <algorithm>
#include <array>
#include <type_traits>

#include "dsp/chainmath.h"
#include "dsp/rising_envelope.h"
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
    template <class V>
    static void designFollowers(RisingEnvelopeT<V>& f, const RateConstants& rc)
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

static_assert(std::is_trivially_copyable_v<WidthDetector>);

}  // namespace plumbra
