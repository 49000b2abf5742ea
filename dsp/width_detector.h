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
#include "dsp/sections.h"

namespace plumbra {

struct WidthDetector {
    static constexpr float kReleaseBase = 0.03f;     // shortest envelope release, s
    static constexpr float kLowpassHz = 30.0f;       // corner of both ratio smoothers
    static constexpr float kCurveGain = 2.2387211f;  // +7 dB after the tangent curve
    static constexpr float kMonoBoost = 0.414f;      // cm = 1 + 0.414*(1 - wf)

    // Envelope follower of one channel, with a release that lengthens while the
    // level keeps rising. The magnitude it follows comes from an analytic
    // envelope detector on the channel's levelled band signal, which the band
    // bank runs four at a time (see BandBank::process()).
    struct Channel {
        float h;                    // rising indicator
        float E;                    // envelope
        float Es;                   // smoothed envelope
        LastResult release;         // cr of r

        void clear()
        {
            h = E = Es = 0.0f;
        }
    };

    std::array<Channel, 2> ch;  // left, right
    Sos ratioLowpass;           // 30 Hz Butterworth lowpass on the envelope ratio
    Sos curveLowpass;           // 30 Hz Butterworth lowpass on the curve, +7 dB folded in
    float T;                    // sampling period
    float cw, omcw;             // rising-indicator hold exp(-16.666666*T) (60 ms) and 1 - cw
    float c1, omc1;             // envelope smoothing exp(-1000*T) (1 ms) and 1 - c1
    float wf;                   // width factor of the current sample, 0..1
    float cm;                   // mono compensation gain of the current sample, 1..1.414

    void design(const RateConstants& rc)
    {
        T = rc.T;
        for (Channel& c : ch) {
            c.release.seed(0.0f, [this](float r) { return releaseCoefficient(r); });
        }
        cw = onePole(16.666666f, rc);
        omcw = 1.0f - cw;
        c1 = onePole(1000.0f, rc);
        omc1 = 1.0f - c1;
        const float k = prewarp(kLowpassHz, rc);
        designButterworthLowpass(ratioLowpass, k);
        designButterworthLowpass(curveLowpass, k);
        curveLowpass.g = kCurveGain;  // u = 2.2387211*(w' + 2w'1 + w'2)/a0
    }

    void clear()
    {
        for (Channel& c : ch) c.clear();
        ratioLowpass.clear();
        curveLowpass.clear();
        wf = cm = 0.0f;
    }

    // Release coefficient exp(-T/(r + 0.03)) for the release lengthening r
    // (0 .. 1): 0.03 s .. 1.03 s.
    float releaseCoefficient(float r) const { return chainmath::exp(-T / (r + kReleaseBase)); }

    // Envelope of one channel from the magnitude m of its levelled band signal.
    float follow(Channel& c, float m) const
    {
        const float f = (m - c.Es > 0.0f) ? 1.0f : 0.0f;
        c.h = std::max(f, cw * c.h + omcw * f);
        const float r = std::max(0.0f, 2.0f * (c.h - 0.5f));
        const float cr = c.release(r, [this](float x) { return releaseCoefficient(x); });
        c.E = std::max(m, cr * c.E + (1.0f - cr) * m);
        c.Es = c1 * c.Es + omc1 * c.E;
        return c.Es;
    }

    // One sample in two halves, so that the envelopes of several detectors can
    // run before their decisions. envelopes() updates both channels' envelopes
    // from the magnitudes mL, mR of the band's levelled left and right signals;
    // decide() forms the width factor from them.
    void envelopes(float mL, float mR)
    {
        follow(ch[0], mL);
        follow(ch[1], mR);
    }
    void decide()
    {
        const float esL = ch[0].Es;
        const float esR = ch[1].Es;
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
