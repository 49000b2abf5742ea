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

#include "dsp/simd/chainmath.h"
#include "dsp/blocks/rising_envelope.h"
#include "dsp/blocks/sections.h"

namespace plumbra {

// Written over a lane type, one band per lane.
template <class V>
struct WidthDetectorT {
    static constexpr float kReleaseBase = 0.03f;     // shortest envelope release, s
    static constexpr float kLowpassHz = 30.0f;       // corner of both ratio smoothers
    static constexpr float kCurveGain = 2.2387211f;  // +7 dB after the tangent curve
    static constexpr float kMonoBoost = 0.414f;      // cm = 1 + 0.414*(1 - wf)

    SosT<V> ratioLowpass;  // 30 Hz Butterworth lowpass on the envelope ratio
    SosT<V> curveLowpass;  // 30 Hz Butterworth lowpass on the curve, +7 dB folded in
    Mem<V> wf;             // width factor of the current sample, 0..1
    Mem<V> cm;             // mono compensation gain of the current sample, 1..1.414

    // The envelope followers of the band's levelled left and right signals,
    // whose release lengthens from 0.03 s to 1.03 s while the level keeps
    // rising (rising-indicator hold 60 ms, smoothing 1 ms). The band bank runs
    // them on the magnitudes of analytic envelope detectors (see BandGroup).
    template <class F>
    static void designFollowers(RisingEnvelopeT<F>& f, const RateConstants& rc)
    {
        f.design(onePole(16.666666f, rc), onePole(1000.0f, rc), rc.T, kReleaseBase);
    }

    void design(const RateConstants& rc)
    {
        const float k = prewarp(kLowpassHz, rc);
        designButterworthLowpass(ratioLowpass, k);
        designButterworthLowpass(curveLowpass, k);
        fill(curveLowpass.g, kCurveGain);  // u = 2.2387211*(w' + 2w'1 + w'2)/a0
    }

    void clear()
    {
        ratioLowpass.clear();
        curveLowpass.clear();
        fill(wf, 0.0f);
        fill(cm, 0.0f);
    }

    // Width factor and mono compensation gain of the current sample from the
    // smoothed envelopes esL, esR of the band's levelled left and right signals.
    void decide(V esL, V esR) { settle(curve(ratio(esL, esR))); }

    // The three parts of decide(), which a run of samples can take one after
    // the other: only the two lowpasses carry anything from sample to sample.
    // The smoothed envelope ratio rhof.
    V ratio(V esL, V esR)
    {
        // Both envelopes are at least the detector floor after one sample, so the ratio is defined.
        const V rho = max(esL, esR) / min(esL, esR);
        return ratioLowpass.processLowpass(rho);
    }
    // The curve t of rhof: tan(rhof - 1) above 1, else 0; past 1 + pi/2 the
    // tangent turns negative, also 0.
    static V curve(V rhof)
    {
        const V one = splat<V>(1.0f);
        const V zero = splat<V>(0.0f);
        const V tangent = laneTan(rhof - one);
        return select(greater(rhof, one), select(greater(tangent, zero), tangent, zero), zero);
    }
    // wf and cm from the curve t.
    void settle(V t)
    {
        const V one = splat<V>(1.0f);
        const V u = curveLowpass.processLowpass(t);
        const V w = min(one, max(splat<V>(0.0f), u));
        store(wf, w);
        store(cm, one + splat<V>(kMonoBoost) * (one - w));
    }
};
using WidthDetector = WidthDetectorT<float>;

static_assert(std::is_trivially_copyable_v<WidthDetector>);

}  // namespace plumbra
