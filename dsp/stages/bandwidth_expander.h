// Bandwidth expander: synthesises treble above the band-limited programme.
//
// A band of the mix just below the lowpass frequency is turned into its analytic
// signal and squared, which doubles every frequency while keeping the envelope;
// what falls below the top of the source band is removed and the rest, scaled to
// a fixed level by its own envelope, is added to the main path. The amount
// follows the genuine high-frequency energy of the mix, measured above a
// detection frequency, up to a ceiling.
//
// Written over a lane type V of channels: the float instance is one channel's
// expander, the processor runs both output channels side by side (Lane2).
// Where a stage has two parallel paths of one structure (the detector and
// source highpasses, the detector and source analytic pairs, the real and
// imaginary harmonic filters) both paths run in one value of Joined<V>: for
// two channels in lanes 0 and 1, the second path takes lanes 2 and 3.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <utility>

#include "dsp/blocks/layout.h"
#include "dsp/blocks/output_sections.h"
#include "dsp/blocks/pipeline.h"
#include "dsp/blocks/sections.h"
#include "dsp/blocks/skewed_cascade.h"

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

// The source band's top and the harmonic peak above the Lowpass Filter F_lp,
// and the harmonic highpass below it, Hz.
inline constexpr float kSourceTopAboveLowpassHz = 400.0f;
inline constexpr float kHarmonicBelowLowpassHz = 1100.0f;
// The harmonic peak's pole and zero damping at the rate, times fs: pi*3000
// for its 3000 Hz bandwidth, and 1.9952623 (+6 dB) times that.
inline constexpr float kPeakPoleWidth = 9424.778f;
inline constexpr float kPeakZeroWidth = 18804.904f;

// Designs the per-block values from the controls:
//   F_det, F_in and F_lp in Hz, G_det and L_be as linear factors.
// The harmonic peak at f0 = F_lp + 400 Hz has the analog prototype
// (s^2 + beta*s + 1)/(s^2 + alpha*s + 1): +6 dB (beta/alpha = 1.9952623) at f0
// with a 3000 Hz bandwidth (9424.778 = pi*3000).
inline ExpanderDesign designExpander(float detectHz, float detectGain, float inputHz, float lowpassHz,
                                     float level, const RateConstants& rc)
{
    ExpanderDesign d;
    d.kDetect = kOutputCorners.prewarp(detectHz, rc);
    d.kInput = kOutputCorners.prewarp(inputHz, rc);
    const float top = kOutputCorners.corner(lowpassHz + kSourceTopAboveLowpassHz, rc);
    d.kSourceTop = prewarp(top, rc);
    d.kHarmonic = kOutputCorners.prewarp(std::max(lowpassHz - kHarmonicBelowLowpassHz, kMinHarmonicCornerHz), rc);
    const float sine = chainmath::sin(2.0f * rc.piT * top);
    d.peakAlpha = (kPeakPoleWidth / rc.fs) / sine;
    d.peakBeta = (kPeakZeroWidth / rc.fs) / sine;
    d.detectGain = detectGain;
    d.level = level;
    return d;
}

template <class V>
struct BandwidthExpanderT {
    using W = Joined<V>;  // two paths of the channels side by side
    using J = JoinedOf<V>;

    // Damping of the 12th-order Butterworth source lowpass, in processing order.
    static constexpr std::array<float, 6> kSourceLowpassD = {1.9828898f, 1.847759f, 1.5867066f,
                                                             1.2175229f, 0.76536685f, 0.26105237f};
    // Damping of the fourth-order Butterworth envelope smoothing.
    static constexpr std::array<float, 2> kEnvelopeD = {1.847759f, 0.76536685f};
    static constexpr float kSmoothingHz = 100.0f;          // detector and source envelope smoothing
    static constexpr float kHarmonicEnvelopeHz = 500.0f;   // harmonic envelope smoothing
    static constexpr float kHoldRate = 50.0f;              // 20 ms release of the source hold
    static constexpr uint32_t kPeakWindow = 5;             // samples of the magnitude maxima
    static constexpr uint32_t kSourceDelay = 2;            // the source's analytic sample taken this far back
    static constexpr uint32_t kHarmonicDelay = 6;          // the harmonic's parts summed this far back

    // The detector highpass at F_det beside the source highpass at F_in.
    EllipticHighpassT<W> inputHighpasses;  // [detector, source]

    // High-frequency detector.
    SosT<V> detectSmoothing;              // 100 Hz second-order lowpass of r
    float detectGain;                     // G_det

    // Source band and its envelope.
    SkewedCascadeT<SkewedLanes<V>, 6, V> sourceLowpass;  // 12th-order Butterworth at F_lp + 400 Hz
    AnalyticPairT<W> pairs;               // analytic signals (I, Q): [detector band, source band], no floor
    RingT<V, ringLengthFor(kPeakWindow - 1)> sourceMagnitude;  // a, last kPeakWindow read
    float rho;                            // hold release exp(-50/fs)
    float omRho;                          // 1 - rho
    Mem<V> hold;                          // H[n-1]
    SosCascadeT<V, 2> envelopeSmoothing;  // 100 Hz fourth-order lowpass of H, giving v
    RingT<V, ringLengthFor(kSourceDelay)> sourceI;  // I, read kSourceDelay samples back
    RingT<V, ringLengthFor(kSourceDelay)> sourceQ;  // Q, read kSourceDelay samples back

    // Harmonic, real and imaginary parts filtered side by side: [real, imaginary].
    EllipticHighpassT<W> harmonicHighpass;  // at F_lp - 1100 Hz
    SosT<W> harmonicPeak;                   // +6 dB peak at F_lp + 400 Hz
    RingT<W, ringLengthFor(kHarmonicDelay)> harmonicParts;      // g_re, g_im, read kHarmonicDelay samples back
    RingT<V, ringLengthFor(kPeakWindow - 1)> harmonicMagnitude;  // b, last kPeakWindow read
    FirstOrderLowpassT<V> harmonicEnvelope; // 500 Hz lowpass of b_max, giving z
    float level;                            // L_be

    // Fixed coefficients of the sample rate.
    void designFixed(const RateConstants& rc)
    {
        const float k100 = kOutputCorners.prewarp(kSmoothingHz, rc);
        designButterworthLowpass(detectSmoothing, k100, kSqrt2);
        for (std::size_t j = 0; j < kEnvelopeD.size(); ++j)
            designButterworthLowpass(envelopeSmoothing.s[j], k100, kEnvelopeD[j]);
        harmonicEnvelope.design(kOutputCorners.prewarp(kHarmonicEnvelopeHz, rc));
        rho = onePole(kHoldRate, rc);
        omRho = 1.0f - rho;
    }

    // Coefficients that follow the controls, once per block.
    void designBlock(const ExpanderDesign& d)
    {
        EllipticHighpass detect, source;
        detect.design(d.kDetect);
        source.design(d.kInput);
        setJoinedHalves<V>(inputHighpasses.sections.s, detect.sections.s, source.sections.s);
        for (std::size_t j = 0; j < kSourceLowpassD.size(); ++j) {
            Sos section{};
            designButterworthLowpass(section, d.kSourceTop, kSourceLowpassD[j]);
            sourceLowpass.set(j, section);
        }
        harmonicHighpass.design(d.kHarmonic);
        designPeaking(harmonicPeak, d.kSourceTop, d.peakAlpha, d.peakBeta);
        detectGain = d.detectGain;
        level = d.level;
    }

    void clear()
    {
        inputHighpasses.clear();
        detectSmoothing.clear();
        sourceLowpass.clear();
        pairs.clear();
        sourceMagnitude.clear();
        fill(hold, 0.0f);
        envelopeSmoothing.clear();
        sourceI.clear();
        sourceQ.clear();
        harmonicHighpass.clear();
        harmonicPeak.clear();
        harmonicParts.clear();
        harmonicMagnitude.clear();
        harmonicEnvelope.clear();
    }

    // One sample, a run of one: the output y = m + eta of the channel's
    // main-path value m and the harmonic of its mix x.
    V process(V x, V m, uint32_t n)
    {
        Mem<V> xm, ym;
        store(xm, x);
        store(ym, m);
        processRun(&xm, &ym, 1, n);
        return load<V>(ym);
    }

    // A run: x[0..len-1] the mixes, m[0..len-1] the main-path values,
    // replaced by the outputs y = m + eta; n0 is the ring counter of the first
    // sample. Three loops over the run, each with its sections pipelined
    // (dsp/pipeline.h); every part that writes or reads a ring does so within
    // one stage, with the sample's own counter.
    void processRun(const Mem<V>* x, Mem<V>* m, int len, uint32_t n0)
    {
        std::array<W, kRunLength> bands;
        std::array<Doubled, kRunLength> doubledRun;
        std::array<V, kRunLength> eta;

        // 1. The detector highpass beside the source highpass, its sections
        // pipelined, then the source lowpass skewed in lanes.
        std::array<Mem<V>, kRunLength> detectorBand, sourceBand{};  // (cleared: the compiler cannot see every read written)
        std::array<W, kRunLength> highpassed;
        runPipelinedInto(
            x, highpassed.data(), len, [this](const Mem<V>& xm) {
                const V v = load<V>(xm);
                return inputHighpasses.sections.s[0].process(J::join(v, v));
            },
            [this](W v) { return inputHighpasses.sections.s[1].process(v); },
            [this](W v) { return inputHighpasses.sections.s[2].process(v); });
        for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
            store(detectorBand[i], J::low(highpassed[i]));
            store(sourceBand[i], J::high(highpassed[i]));
        }
        lowpassSource(sourceBand.data(), sourceBand.data(), len);
        for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i)
            bands[i] = J::join(load<V>(detectorBand[i]), load<V>(sourceBand[i]));

        // 2. Analytic signals and hold, detector and envelope smoothing, doubling.
        uint32_t nA = n0;
        runPipelinedInto(
            bands.data(), doubledRun.data(), len, [&](W b) { return analyse(b, nA++); },
            [this](const Analysed& a) {
                return Smoothing{detector(a.r), envelopeSmoothing.s[0].processLowpass(a.h), a.i2, a.q2};
            },
            [this](const Smoothing& a) {
                return Doubled{a.hf, doubled(a.i2, a.q2, envelopeSmoothing.s[1].processLowpass(a.h1))};
            });

        // 3. Harmonic highpass and peak, then its envelope and scaling.
        uint32_t nS = n0;
        runPipelinedInto(
            doubledRun.data(), eta.data(), len,
            [this](const Doubled& d) { return Doubled{d.hf, harmonicHighpass.process(d.u)}; },
            [this](const Doubled& d) { return Doubled{d.hf, harmonicPeak.process(d.u)}; },
            [&](const Doubled& d) { return std::pair<V, Shaped>{d.hf, shape(d.u, nS++)}; },
            [this](const std::pair<V, Shaped>& p) { return scaled(p.first, p.second); });

        for (int i = 0; i < len; ++i) store(m[i], withHarmonic(load<V>(m[i]), eta[static_cast<std::size_t>(i)]));
    }

private:
    // Maximum of the kPeakWindow most recent values of a ring.
    template <uint32_t N>
    static V maxOfWindow(const RingT<V, N>& r, uint32_t n)
    {
        static_assert(RingT<V, N>::covers(kPeakWindow - 1));
        V v = r.tap(n, 0);
        for (uint32_t d = 1; d < kPeakWindow; ++d) v = max(v, r.tap(n, d));
        return v;
    }

    // The parts of one sample's harmonic, as the stages of processRun run
    // them. n is the shared ring counter of the sample.
    // What the analytic signals of a sample give the later parts.
    struct Analysed {
        V r;       // detector band magnitude, unsmoothed
        V h;       // source hold H[n]
        V i2, q2;  // source analytic sample kSourceDelay back
    };

    // From the detector band and the source band [detector, source]: their
    // analytic signals and powers, the source magnitude a floored at 0.001
    // and its instant-attack hold over the kPeakWindow-sample maximum.
    Analysed analyse(W bands, uint32_t n)
    {
        const typename AnalyticPairT<W>::Out a = pairs.process(bands);
        const W power = a.i * a.i + a.q * a.q;
        sourceMagnitude.write(n, flooredMagnitude(J::high(power)));
        sourceI.write(n, J::high(a.i));
        sourceQ.write(n, J::high(a.q));
        const V aMax = maxOfWindow(sourceMagnitude, n);
        const V h = max(aMax, splat<V>(rho) * load<V>(hold) + splat<V>(omRho) * aMax);
        store(hold, h);
        return {sqrt(J::low(power)), h, sourceI.tap(n, kSourceDelay), sourceQ.tap(n, kSourceDelay)};
    }

    // Detector: hf = min(1, G_det * lowpass(r)).
    V detector(V r) { return min(splat<V>(1.0f), splat<V>(detectGain) * detectSmoothing.processLowpass(r)); }

    // Frequency doubling of the analytic sample kSourceDelay back by the source
    // envelope v: (I' + jQ')^2 / v, as [real, imaginary].
    static W doubled(V i2, V q2, V v)
    {
        const V uRe = (i2 * i2 - q2 * q2) / v;
        const V uIm = (splat<V>(2.0f) * i2 * q2) / v;
        return J::join(uRe, uIm);
    }

    // From the filtered harmonic g = [real, imaginary]: the kPeakWindow-sample
    // maximum of its floored magnitude and the sum of its parts kHarmonicDelay
    // samples back.
    struct Shaped {
        V bMax;  // b_max
        V sum;   // g_re + g_im kHarmonicDelay samples back
    };
    Shaped shape(W g, uint32_t n)
    {
        harmonicParts.write(n, g);
        const W gg = g * g;
        harmonicMagnitude.write(n, flooredMagnitude(J::low(gg) + J::high(gg)));
        const W g6 = harmonicParts.tap(n, kHarmonicDelay);
        return {maxOfWindow(harmonicMagnitude, n), J::low(g6) + J::high(g6)};
    }

    // The harmonic: the shaped sum scaled to the level by its envelope z.
    V scaled(V hf, const Shaped& s)
    {
        const V z = harmonicEnvelope.process(s.bMax);
        return hf * splat<V>(level) * s.sum / z;
    }

    // Output y = m + eta of the main-path value m and the harmonic eta.
    static V withHarmonic(V m, V eta) { return m + eta; }

    // The source lowpass over x[0..len-1] into y[0..len-1].
    void lowpassSource(const Mem<V>* x, Mem<V>* y, int len)
    {
        sourceLowpass.processRun(x, y, len, [](const auto& s, auto& h, auto v) { return s.processLowpassWith(h, v); });
    }

    // A sample of the run between the two envelope smoothing sections.
    struct Smoothing {
        V hf;      // detector amount
        V h1;      // hold after the first section
        V i2, q2;  // source analytic sample kSourceDelay back
    };

    // A sample of the run's harmonic: the detector amount hf and the doubled
    // harmonic [real, imaginary], filtered in place by the harmonic stages.
    struct Doubled {
        V hf;
        W u;
    };
};
using BandwidthExpander = BandwidthExpanderT<float>;

static_assert(std::is_trivially_copyable_v<BandwidthExpander>);

// The layout the AVX unit's copy of the type must share (dsp/avx/avx_path.h).
template <class V>
inline constexpr uint64_t kExpanderLayout = layoutPrint<BandwidthExpanderT<V>>({
    offsetof(BandwidthExpanderT<V>, inputHighpasses), offsetof(BandwidthExpanderT<V>, detectSmoothing),
    offsetof(BandwidthExpanderT<V>, detectGain), offsetof(BandwidthExpanderT<V>, sourceLowpass),
    offsetof(BandwidthExpanderT<V>, pairs), offsetof(BandwidthExpanderT<V>, sourceMagnitude),
    offsetof(BandwidthExpanderT<V>, rho), offsetof(BandwidthExpanderT<V>, omRho), offsetof(BandwidthExpanderT<V>, hold),
    offsetof(BandwidthExpanderT<V>, envelopeSmoothing), offsetof(BandwidthExpanderT<V>, sourceI),
    offsetof(BandwidthExpanderT<V>, sourceQ), offsetof(BandwidthExpanderT<V>, harmonicHighpass),
    offsetof(BandwidthExpanderT<V>, harmonicPeak), offsetof(BandwidthExpanderT<V>, harmonicParts),
    offsetof(BandwidthExpanderT<V>, harmonicMagnitude), offsetof(BandwidthExpanderT<V>, harmonicEnvelope),
    offsetof(BandwidthExpanderT<V>, level)});

}  // namespace plumbra
