// Input normaliser and dynamic noise reduction.
//
// The band-limited input u is divided by a look-ahead peak envelope, so that
// the noise reduction sees a signal of roughly constant level. The noise
// reduction is a first-order lowpass whose cutoff follows the amount of
// high-frequency content of the normalised signal (measured 125 samples ahead
// of the sample being filtered): dull programme is filtered harder, bright
// programme passes. The filtered signal is multiplied by the envelope again.
// The programme is delayed by 221 + 125 = 346 samples.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "dsp/stages/input_lowpass.h"
#include "dsp/simd/lanes.h"
#include "dsp/blocks/pipeline.h"
#include "dsp/blocks/sections.h"

namespace plumbra {

struct NoiseReduction {
    static constexpr uint32_t kLookAhead = 221;  // peak look-ahead of the normaliser
    static constexpr uint32_t kFilterTap = 125;  // detector look-ahead of the dynamic lowpass
    static constexpr float kDetectFloor = 1e-05f;  // floor of the rectified highpass
    static constexpr float kCutoffMax = 22000.0f;  // requested cutoff is limited to 1000..22000 Hz
    static constexpr float kCutoffMin = 1000.0f;
    static constexpr float kCutoffScale = 500.0f;  // Hz per unit of smoothed detector output
    static constexpr float kDetectHz = 1000.0f;    // corner of the detector highpass
    static constexpr float kSlowSmoothingHz = 10.0f;
    static constexpr float kFastSmoothingHz = 100.0f;
    // Longest reads of the rings: the normaliser reads u kLookAhead back; the
    // dynamic lowpass reads v kFilterTap + 1 back once the detection has
    // written the whole run, up to kRunLength - 1 samples ahead of it.
    static constexpr uint32_t kLongestUTap = kLookAhead;
    static constexpr uint32_t kLongestVTap = kFilterTap + 1 + (kRunLength - 1);

    // Fixed coefficients.
    float piT;        // prewarp factor pi*T of the dynamic lowpass
    float cAtt;       // normaliser attack exp(-500*T), 2 ms
    float cRel;       // normaliser release exp(-2*T), 0.5 s
    float k1;         // 1/tan(pi*T*1000), first-order highpass of the detector
    float omk1;       // 1 - k1
    float r1pk1;      // 1/(k1 + 1)
    float k1r;        // k1/(k1 + 1)
    float fCeiling;   // cutoff ceiling just below fs/2 (above 22000 Hz from 44100 Hz on)
    // Second-order Butterworth smoothing of the rectified highpass, its output
    // scale folded into the final 1/a0 factor (designScaledLowpass).
    Sos lp10;   // 10 Hz
    Sos lp100;  // 100 Hz, scaled by 500 Hz

    // State.
    Ring<ringLengthFor(kLongestUTap)> uRing;  // input-lowpass output u
    Ring<ringLengthFor(kLongestVTap)> vRing;  // normalised signal v
    float env1;       // env[n-1], look-ahead peak envelope
    float h1;         // h[n-1], detector highpass output
    float z1;         // z[n-1], dynamic lowpass output
    float cutoff;     // cutoff F of the current sample, Hz (read-only view)

    void design(const RateConstants& rc)
    {
        piT = rc.piT;
        cAtt = onePole(500.0f, rc);
        cRel = onePole(2.0f, rc);
        k1 = kInputCorners.prewarp(kDetectHz, rc);  // held below fs/2 at rates under 2 kHz
        omk1 = 1.0f - k1;
        r1pk1 = 1.0f / (k1 + 1.0f);
        k1r = k1 / (k1 + 1.0f);
        fCeiling = kInputCorners.ceiling(rc);
        designScaledLowpass(lp10, kInputCorners.prewarp(kSlowSmoothingHz, rc), 1.0f);
        designScaledLowpass(lp100, kInputCorners.prewarp(kFastSmoothingHz, rc), kCutoffScale);
    }

    void clear()
    {
        uRing.clear();
        vRing.clear();
        env1 = h1 = z1 = cutoff = 0.0f;
        lp10.clear();
        lp100.clear();
    }

    // A run u[0..len-1] (len <= kRunLength) of input-lowpass output, in place,
    // from ring counter n0 on; s is the sensitivity ("DNR Sensitivity") and fMin
    // the cutoff floor (22000 Hz with "DNR LPF Disable" on, else 0). Sample by
    // sample the stage is one long dependent chain (normaliser, detector,
    // cutoff, tangent, lowpass); run by run its three parts go one after the
    // other: the cutoffs of the run, their prewarps four at a time, then the
    // dynamic lowpass, each sample as process() computes it.
    void processRun(float* x, int len, uint32_t n0, float s, float fMin)
    {
        // The detection's four recursions (envelope, highpass, the two
        // smoothing lowpasses) as the stages of a pipelined loop, so that they
        // overlap.
        std::array<Detected, kRunLength> det;
        uint32_t n = n0;
        runPipelinedInto(
            x, det.data(), len, [&](float u) { return normalise(u, n++); },
            [this](const Normalised& a) { return Normalised{highpassMeasure(a.v, a.n), a.d, a.n}; },
            [this](const Normalised& a) { return Normalised{lp10.processScaledLowpass(a.v), a.d, a.n}; },
            [this, s, fMin](const Normalised& a) { return Detected{cutoffOf(a.v, s, fMin), a.d}; });
        std::array<float, kRunLength> f, d;
        for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
            f[i] = det[i].f;
            d[i] = det[i].d;
        }
        std::array<float, kRunLength> kd;
        int i = 0;
        for (; i + 4 <= len; i += 4) {
            const std::size_t j = static_cast<std::size_t>(i);
            storeTo(&kd[j], prewarpOf(loadFrom<Lane4>(&f[j]), piT));
        }
        for (; i < len; ++i) kd[static_cast<std::size_t>(i)] = prewarpOf(f[static_cast<std::size_t>(i)], piT);
        for (i = 0; i < len; ++i)
            x[i] = filter(kd[static_cast<std::size_t>(i)], d[static_cast<std::size_t>(i)], n0 + static_cast<uint32_t>(i));
    }

    // One sample, a run of one.
    float process(float u, uint32_t n, float s, float fMin)
    {
        processRun(&u, 1, n, s, fMin);
        return u;
    }

    float currentCutoff() const { return cutoff; }

private:
    struct Detected {
        float f;  // cutoff of the dynamic lowpass, Hz
        float d;  // normaliser divisor
    };

    // The normaliser's output for one sample: v (or a value derived from it
    // by the detector's stages), the divisor d and the ring counter n.
    struct Normalised {
        float v;
        float d;
        uint32_t n;
    };

    // Normaliser: look-ahead peak envelope, divisor d and normalised signal v.
    Normalised normalise(float u, uint32_t n)
    {
        uRing.write(n, u);
        const float uLate = uRing.tap(n, kLookAhead);
        const float p = std::max(std::fabs(uLate), std::fabs(u));
        const float c = p < env1 ? cRel : cAtt;
        const float env = p * (1.0f - c) + env1 * c;
        const float d = std::max(env, kPowerFloor);
        const float v = uLate / d;
        vRing.write(n, v);
        env1 = env;
        return {v, d, n};
    }

    // High-frequency measure of the normalised signal v: 1000 Hz first-order
    // highpass, rectified, then (lp10, cutoffOf) smoothed at 10 Hz and 100 Hz
    // and scaled to a cutoff in Hz.
    float highpassMeasure(float v, uint32_t n)
    {
        const float h = (k1 * v - omk1 * h1) * r1pk1 - k1r * vRing.tap(n, 1);
        h1 = h;
        return std::max(std::fabs(h), kDetectFloor);
    }
    float cutoffOf(float smoothed, float s, float fMin)
    {
        float f = s * lp100.processScaledLowpass(smoothed);
        f = std::min(f, kCutoffMax);
        f = std::max(f, kCutoffMin);
        f = std::max(f, fMin);
        f = std::min(f, fCeiling);
        cutoff = f;
        return f;
    }

    // Dynamic first-order lowpass, prewarp kd, on the normalised signal 125
    // samples back, and the envelope applied again.
    float filter(float kd, float d, uint32_t n)
    {
        const float z = (vRing.tap(n, kFilterTap) + vRing.tap(n, kFilterTap + 1) + (kd - 1.0f) * z1) / (kd + 1.0f);
        z1 = z;
        return z * d;
    }
};

static_assert(std::is_trivially_copyable_v<NoiseReduction>);
static_assert(decltype(NoiseReduction::uRing)::covers(NoiseReduction::kLongestUTap));
static_assert(decltype(NoiseReduction::vRing)::covers(NoiseReduction::kLongestVTap));

}  // namespace plumbra
