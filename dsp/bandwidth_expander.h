// Bandwidth expander: synthesises treble above the band-limited programme.
//
// A band of the mix just below the lowpass frequency is turned into its analytic
// signal and squared, which doubles every frequency while keeping the envelope;
// what falls below the top of the source band is removed and the rest, scaled to
// a fixed level by its own envelope, is added to the main path. The amount
// follows the genuine high-frequency energy of the mix, measured above a
// detection frequency, up to a ceiling.
//
// BandwidthExpander is one channel's expander; the processor runs both output
// channels, designed from the same values with separate state, side by side in
// the lanes of BandwidthExpanderX2.
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

// ---------------------------------------------------------------------------
// Both channels' expanders in the lanes of packed single-precision vectors
// (SSE2). Channel A's values sit in lane 0 and channel B's in lane 1; where a
// stage has two parallel paths with the same coefficients the second path
// takes lanes 2 and 3: the detector and source analytic pairs run as
// [detector A, detector B, source A, source B], the harmonic filters as
// [real A, real B, imaginary A, imaginary B]. Elsewhere lanes 2 and 3 carry
// copies of lanes 0 and 1 and are not read. Every lane performs the scalar
// operations above in the same order, so channels A and B come out bit for bit
// as from two BandwidthExpander instances.

// Ring<N> of four-lane values.
template <uint32_t N>
struct RingX4 {
    static_assert(N >= 2 && (N & (N - 1)) == 0, "ring length must be a power of two");
    static constexpr uint32_t kMask = N - 1;

    std::array<std::array<float, 4>, N> buf;

    void clear()
    {
        for (auto& v : buf) v.fill(0.0f);
    }
    void write(uint32_t counter, __m128 v) { _mm_storeu_ps(buf[counter & kMask].data(), v); }
    __m128 tap(uint32_t counter, uint32_t back) const { return load4(buf[(counter - back) & kMask]); }
};

// flooredMagnitude of every lane: sqrt(P) when P >= 1.0000001e-06, otherwise
// 0.001 (also for a NaN power, as the scalar comparison).
inline __m128 flooredMagnitudeX4(__m128 power)
{
    const __m128 reached = _mm_cmpge_ps(power, _mm_set1_ps(1.0000001e-06f));
    return _mm_or_ps(_mm_and_ps(reached, _mm_sqrt_ps(power)), _mm_andnot_ps(reached, _mm_set1_ps(0.001f)));
}

// Lanes 2 and 3 of v moved to lanes 0 and 1 (and kept in 2 and 3).
inline __m128 upperHalf(__m128 v) { return _mm_movehl_ps(v, v); }

struct BandwidthExpanderX2 {
    // High-frequency detector (lanes A, B).
    SosCascadeX2<3> detectHighpass;
    SosX2 detectSmoothing;
    Splat4 detectGain;

    // Source band: the detector and source bands share one set of analytic pairs.
    SosCascadeX2<3> sourceHighpass;
    SosCascadeX2<6> sourceLowpass;
    AnalyticPairX4 pairs;  // [detector A, detector B, source A, source B]
    RingX4<8> sourceMagnitude;
    Splat4 rho;
    Splat4 omRho;
    std::array<float, 4> hold;
    SosCascadeX2<2> envelopeSmoothing;
    RingX4<4> sourceI;
    RingX4<4> sourceQ;

    // Harmonic, [real A, real B, imaginary A, imaginary B].
    SosCascadeX2<3> harmonicHighpass;
    SosX2 harmonicPeak;
    RingX4<8> harmonicParts;
    RingX4<8> harmonicMagnitude;
    FirstOrderLowpassX2 harmonicEnvelope;
    Splat4 level;

    // Takes the coefficients of a designed scalar expander.
    void setFrom(const BandwidthExpander& e)
    {
        detectHighpass.setFrom(e.detectHighpass.sections);
        detectSmoothing.setFrom(e.detectSmoothing);
        detectGain = splat4(e.detectGain);
        sourceHighpass.setFrom(e.sourceHighpass.sections);
        sourceLowpass.setFrom(e.sourceLowpass);
        rho = splat4(e.rho);
        omRho = splat4(e.omRho);
        envelopeSmoothing.setFrom(e.envelopeSmoothing);
        harmonicHighpass.setFrom(e.harmonicHighpassRe.sections);
        harmonicPeak.setFrom(e.harmonicPeakRe);
        harmonicEnvelope.setFrom(e.harmonicEnvelope);
        level = splat4(e.level);
    }

    // The coefficients are designed on a scalar expander, whose state is never
    // run, and copied to every lane.
    BandwidthExpander designed;

    void designFixed(const RateConstants& rc) { designed.designFixed(rc); }
    void designBlock(const ExpanderDesign& d)
    {
        designed.designBlock(d);
        setFrom(designed);
    }

    void clear()
    {
        detectHighpass.clear();
        detectSmoothing.clear();
        sourceHighpass.clear();
        sourceLowpass.clear();
        pairs.clear();
        sourceMagnitude.clear();
        hold.fill(0.0f);
        envelopeSmoothing.clear();
        sourceI.clear();
        sourceQ.clear();
        harmonicHighpass.clear();
        harmonicPeak.clear();
        harmonicParts.clear();
        harmonicMagnitude.clear();
        harmonicEnvelope.clear();
    }

    // BandwidthExpander::maxOfFive of every lane; std::max(v, t) is _mm_max_ps(t, v).
    template <uint32_t N>
    static __m128 maxOfFive(const RingX4<N>& r, uint32_t n)
    {
        __m128 v = r.tap(n, 0);
        for (uint32_t d = 1; d < 5; ++d) v = _mm_max_ps(r.tap(n, d), v);
        return v;
    }

    // BandwidthExpander::harmonic of channels A and B (lanes 0 and 1) from their mixes x.
    __m128 harmonic(__m128 x, uint32_t n)
    {
        const __m128 detectBand = detectHighpass.process(x);
        const __m128 sourceBand = sourceLowpass.processLowpass(sourceHighpass.process(x));
        const AnalyticPairX4::Out a = pairs.process(_mm_movelh_ps(detectBand, sourceBand));
        const __m128 power = _mm_add_ps(_mm_mul_ps(a.i, a.i), _mm_mul_ps(a.q, a.q));

        // Detector: hf = min(1, G_det * lowpass(r)); std::min(1, v) is _mm_min_ps(v, 1).
        const __m128 r = _mm_sqrt_ps(power);
        const __m128 hf =
            _mm_min_ps(_mm_mul_ps(load4(detectGain), detectSmoothing.processLowpass(r)), _mm_set1_ps(1.0f));

        // Source magnitude and analytic sample, moved to lanes 0 and 1.
        sourceMagnitude.write(n, upperHalf(flooredMagnitudeX4(power)));
        sourceI.write(n, upperHalf(a.i));
        sourceQ.write(n, upperHalf(a.q));

        // Source envelope; std::max(aMax, h) is _mm_max_ps(h, aMax).
        const __m128 aMax = maxOfFive(sourceMagnitude, n);
        const __m128 held = _mm_add_ps(_mm_mul_ps(load4(rho), load4(hold)), _mm_mul_ps(load4(omRho), aMax));
        const __m128 h = _mm_max_ps(held, aMax);
        _mm_storeu_ps(hold.data(), h);
        const __m128 v = envelopeSmoothing.processLowpass(h);

        // Frequency doubling of the analytic sample two back.
        const __m128 i2 = sourceI.tap(n, 2);
        const __m128 q2 = sourceQ.tap(n, 2);
        const __m128 uRe = _mm_div_ps(_mm_sub_ps(_mm_mul_ps(i2, i2), _mm_mul_ps(q2, q2)), v);
        const __m128 uIm = _mm_div_ps(_mm_mul_ps(_mm_mul_ps(_mm_set1_ps(2.0f), i2), q2), v);

        // Real and imaginary parts through the same filters side by side.
        const __m128 g = harmonicPeak.process(harmonicHighpass.process(_mm_movelh_ps(uRe, uIm)));
        harmonicParts.write(n, g);
        const __m128 gg = _mm_mul_ps(g, g);
        harmonicMagnitude.write(n, flooredMagnitudeX4(_mm_add_ps(gg, upperHalf(gg))));
        const __m128 z = harmonicEnvelope.process(maxOfFive(harmonicMagnitude, n));
        const __m128 g6 = harmonicParts.tap(n, 6);
        const __m128 sum = _mm_add_ps(g6, upperHalf(g6));
        return _mm_div_ps(_mm_mul_ps(_mm_mul_ps(hf, load4(level)), sum), z);
    }

    // y = m + eta of channels A and B.
    __m128 process(__m128 x, __m128 m, uint32_t n) { return _mm_add_ps(m, harmonic(x, n)); }
};

static_assert(std::is_trivially_copyable_v<BandwidthExpanderX2>);

}  // namespace plumbra
