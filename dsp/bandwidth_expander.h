// Bandwidth expander: synthesises treble above the band-limited programme.
//
// A band of the mix just below the lowpass frequency is turned into its analytic
// signal and squared, which doubles every frequency while keeping the envelope;
// what falls below the top of the source band is removed and the rest, scaled to
// a fixed level by its own envelope, is added to the main path. The amount
// follows the genuine high-frequency energy of the mix, measured above a
// detection frequency, up to a ceiling.
//
// One instance per output channel, each with its own state; both are designed
// from the same values.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/output_sections.h"
#include "dsp/sections.h"

namespace plumbra {

// Coefficient values of the control-dependent filters, worked out once per
// block and shared by both channels.
struct ExpanderDesign {
    float kDetect;     // prewarp of the detector highpass at F_det
    float kInput;      // prewarp of the source highpass at F_in
    float kSourceTop;  // prewarp of the source lowpass and harmonic peak at F_lp + 400 Hz
    float kHarmonic;   // prewarp of the harmonic highpass at F_lp - 1100 Hz
    float peakAlpha;   // peak pole damping alpha = (9424.778/fs)/sin(2*pi*f0/fs)
    float peakBeta;    // peak zero damping beta = (18804.904/fs)/sin(2*pi*f0/fs)
    float detectGain;  // G_det, linear
    float level;       // L_be, linear
};

// Lowest corner of the harmonic highpass. The corner F_lp - 1100 Hz is zero at a
// Lowpass Filter of 1100 Hz and negative below; the corner is held at 20 Hz
// there, far below any harmonic (they lie above twice the source highpass), and
// low enough to be stable in single precision at every rate up to 192000 Hz.
inline constexpr float kMinHarmonicCornerHz = 20.0f;

// Designs the per-block values from the controls:
//   F_det, F_in and F_lp in Hz, G_det and L_be as linear factors.
// The harmonic peak at f0 = F_lp + 400 Hz has the analog prototype
// (s^2 + beta*s + 1)/(s^2 + alpha*s + 1): +6 dB (beta/alpha = 1.9952623) at f0
// with a 3000 Hz bandwidth (9424.778 = pi*3000).
inline ExpanderDesign designExpander(float detectHz, float detectGain, float inputHz, float lowpassHz,
                                     float level, const RateConstants& rc)
{
    ExpanderDesign d;
    d.kDetect = limitedPrewarp(detectHz, rc);
    d.kInput = limitedPrewarp(inputHz, rc);
    const float top = limitCorner(lowpassHz + 400.0f, rc);
    d.kSourceTop = prewarp(top, rc);
    d.kHarmonic = limitedPrewarp(std::max(lowpassHz - 1100.0f, kMinHarmonicCornerHz), rc);
    const float sine = chainmath::sin(2.0f * rc.piT * top);
    d.peakAlpha = (9424.778f / rc.fs) / sine;
    d.peakBeta = (18804.904f / rc.fs) / sine;
    d.detectGain = detectGain;
    d.level = level;
    return d;
}

struct BandwidthExpander {
    // Damping of the 12th-order Butterworth source lowpass, in processing order.
    static constexpr std::array<float, 6> kSourceLowpassD = {1.9828898f, 1.847759f, 1.5867066f,
                                                             1.2175229f, 0.76536685f, 0.26105237f};
    // Damping of the fourth-order Butterworth envelope smoothing.
    static constexpr std::array<float, 2> kEnvelopeD = {1.847759f, 0.76536685f};
    static constexpr float kSmoothingHz = 100.0f;          // detector and source envelope smoothing
    static constexpr float kHarmonicEnvelopeHz = 500.0f;   // harmonic envelope smoothing
    static constexpr float kHoldRate = 50.0f;              // 20 ms release of the source hold

    // High-frequency detector.
    EllipticHighpass detectHighpass;  // at F_det
    AnalyticPair detectPair;          // analytic signal of the detector band, no floor
    Sos detectSmoothing;              // 100 Hz second-order lowpass of r
    float detectGain;                 // G_det

    // Source band and its envelope.
    EllipticHighpass sourceHighpass;  // at F_in
    SosCascade<6> sourceLowpass;      // 12th-order Butterworth at F_lp + 400 Hz
    AnalyticPair sourcePair;          // analytic signal (I, Q) of the source band
    Ring<8> sourceMagnitude;          // a, last five read
    float rho;                        // hold release exp(-50/fs)
    float omRho;                      // 1 - rho
    float hold;                       // H[n-1]
    SosCascade<2> envelopeSmoothing;  // 100 Hz fourth-order lowpass of H, giving v
    Ring<4> sourceI;                  // I, read two samples back
    Ring<4> sourceQ;                  // Q, read two samples back

    // Harmonic, real and imaginary parts filtered separately.
    EllipticHighpass harmonicHighpassRe;  // at F_lp - 1100 Hz
    EllipticHighpass harmonicHighpassIm;
    Sos harmonicPeakRe;  // +6 dB peak at F_lp + 400 Hz
    Sos harmonicPeakIm;
    Ring<8> harmonicRe;         // g_re, read six samples back
    Ring<8> harmonicIm;         // g_im, read six samples back
    Ring<8> harmonicMagnitude;  // b, last five read
    FirstOrderLowpass harmonicEnvelope;  // 500 Hz lowpass of b_max, giving z
    float level;                         // L_be

    // Fixed coefficients of the sample rate.
    void designFixed(const RateConstants& rc)
    {
        detectPair.design();
        sourcePair.design();
        const float k100 = limitedPrewarp(kSmoothingHz, rc);
        designButterworthLowpass(detectSmoothing, k100, kSqrt2);
        for (std::size_t j = 0; j < kEnvelopeD.size(); ++j)
            designButterworthLowpass(envelopeSmoothing.s[j], k100, kEnvelopeD[j]);
        harmonicEnvelope.design(limitedPrewarp(kHarmonicEnvelopeHz, rc));
        rho = onePole(kHoldRate, rc);
        omRho = 1.0f - rho;
    }

    // Coefficients that follow the controls, once per block.
    void designBlock(const ExpanderDesign& d)
    {
        detectHighpass.design(d.kDetect);
        sourceHighpass.design(d.kInput);
        for (std::size_t j = 0; j < kSourceLowpassD.size(); ++j)
            designButterworthLowpass(sourceLowpass.s[j], d.kSourceTop, kSourceLowpassD[j]);
        harmonicHighpassRe.design(d.kHarmonic);
        harmonicHighpassIm.design(d.kHarmonic);
        designPeaking(harmonicPeakRe, d.kSourceTop, d.peakAlpha, d.peakBeta);
        designPeaking(harmonicPeakIm, d.kSourceTop, d.peakAlpha, d.peakBeta);
        detectGain = d.detectGain;
        level = d.level;
    }

    void clear()
    {
        detectHighpass.clear();
        detectPair.clear();
        detectSmoothing.clear();
        sourceHighpass.clear();
        sourceLowpass.clear();
        sourcePair.clear();
        sourceMagnitude.clear();
        hold = 0.0f;
        envelopeSmoothing.clear();
        sourceI.clear();
        sourceQ.clear();
        harmonicHighpassRe.clear();
        harmonicHighpassIm.clear();
        harmonicPeakRe.clear();
        harmonicPeakIm.clear();
        harmonicRe.clear();
        harmonicIm.clear();
        harmonicMagnitude.clear();
        harmonicEnvelope.clear();
    }

    // Maximum of the five most recent values of a ring.
    static float maxOfFive(const Ring<8>& r, uint32_t n)
    {
        float v = r.tap(n, 0);
        for (uint32_t d = 1; d < 5; ++d) v = std::max(v, r.tap(n, d));
        return v;
    }

    // The harmonic eta of one sample, from the channel's unshelved mix x; n is
    // the shared ring counter.
    float harmonic(float x, uint32_t n)
    {
        // High-frequency detector: hf = min(1, G_det * lowpass(|analytic(highpass(x))|)).
        const AnalyticPair::Out d = detectPair.process(detectHighpass.process(x));
        const float r = std::sqrt(d.i * d.i + d.q * d.q);
        const float hf = std::min(1.0f, detectGain * detectSmoothing.processLowpass(r));

        // Source band and its magnitude a, floored at 0.001.
        const AnalyticPair::Out s = sourcePair.process(sourceLowpass.processLowpass(sourceHighpass.process(x)));
        sourceMagnitude.write(n, flooredMagnitude(s.i * s.i + s.q * s.q));
        sourceI.write(n, s.i);
        sourceQ.write(n, s.q);

        // Source envelope: five-sample maximum, instant-attack hold, 100 Hz smoothing.
        const float aMax = maxOfFive(sourceMagnitude, n);
        hold = std::max(aMax, rho * hold + omRho * aMax);
        const float v = envelopeSmoothing.processLowpass(hold);

        // Frequency doubling of the analytic sample two back: (I' + jQ')^2 / v.
        const float i2 = sourceI.tap(n, 2);
        const float q2 = sourceQ.tap(n, 2);
        const float uRe = (i2 * i2 - q2 * q2) / v;
        const float uIm = (2.0f * i2 * q2) / v;

        // Keep the doubled band above the source band and lift its top.
        const float gRe = harmonicPeakRe.process(harmonicHighpassRe.process(uRe));
        const float gIm = harmonicPeakIm.process(harmonicHighpassIm.process(uIm));
        harmonicRe.write(n, gRe);
        harmonicIm.write(n, gIm);

        // Harmonic envelope z, and the harmonic six samples back scaled by it.
        harmonicMagnitude.write(n, flooredMagnitude(gRe * gRe + gIm * gIm));
        const float z = harmonicEnvelope.process(maxOfFive(harmonicMagnitude, n));
        return hf * level * (harmonicRe.tap(n, 6) + harmonicIm.tap(n, 6)) / z;
    }

    // Output y = m + eta: the channel's main-path value m plus the harmonic of its mix x.
    float process(float x, float m, uint32_t n) { return m + harmonic(x, n); }
};

static_assert(std::is_trivially_copyable_v<BandwidthExpander>);

}  // namespace plumbra
