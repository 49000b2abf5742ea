// The twelve band processors.
//
// Each band filters the left and the right channel of the pseudo-stereo pair
// into its frequency range (fourth-order Linkwitz-Riley highpass and lowpass),
// measures the band's level with analytic envelope detectors, and levels the
// band signal of 1024 samples earlier with a noise gate and an automatic gain
// control, so that every gain change leads the audio it controls by 1024
// samples. The levelled band goes into sum (mid) and difference (side) rings
// that the band mix reads 2048 samples later; bands 3 to 12 also run a
// stereo-width detector that decides how much of the side signal is used.
//
// Bands 1 and 2 are mono: they write only their sum and have no width detector.
// The slow envelopes of neighbouring bands can hold a band's gain down (gain
// linking): band 6 by bands 5, 7 and 8; band 7 by bands 5, 6 and 8; band 1 by
// band 2; band 12 by band 11. Linking reads the neighbours' envelopes of the
// same sample, so every band's detection of a sample runs before the gains
// (see process()).
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/band_outputs.h"
#include "dsp/rising_envelope.h"
#include "dsp/sections.h"
#include "dsp/width_detector.h"

namespace plumbra {

struct BlockValues;

inline constexpr int kNumBands = 12;

// Which per-block linking gain a band's linked neighbours are weighted with.
enum class LinkGain { none, bands5678, band2To1, bands11To12 };

// Constants of one band.
struct BandDefinition {
    int band;                    // 1 (lowest) .. 12 (highest)
    int gateIndex;               // k: selects the gate gain G_k of the block values
    float lowHz;                 // fL, corner of the fourth-order highpass
    float highHz;                // fH, corner of the fourth-order lowpass
    float gateRelease;           // rk = 13.333333*1.25^k, release rate of the gate peak, 1/s
    float scale;                 // output scale sigma (band 1: follows "Band 1 Level dB" instead)
    float polarity;              // +1 or -1, applied once to everything the band outputs
    bool stereo;                 // sum and difference outputs with a width detector (bands 3..12)
    bool ownFloorAndLevel;       // band 1: floor B1t and output level V1 instead of Mt and sigma
    LinkGain link;               // gain applied to the linked neighbours' slow envelopes
    std::array<int, 3> linkedTo; // bands whose slow envelope can hold this band down (0 = none)
};

inline constexpr float kScaleMinus26dB = 0.050118722f;
inline constexpr float kScaleMinus32dB = 0.025118865f;
inline constexpr float kScaleMinus24dB = 0.06309573f;

inline constexpr std::array<BandDefinition, kNumBands> kBandDefinitions = {{
    // band k   fL       fH        rk           sigma            pol    stereo own    link                   linked to
    {1,   0,  10.0f,   80.0f,    13.333333f,  0.0f,            -1.0f, false, true,  LinkGain::band2To1,    {2, 0, 0}},
    {2,   1,  80.0f,   200.0f,   16.666666f,  kScaleMinus26dB, +1.0f, false, false, LinkGain::none,        {0, 0, 0}},
    {3,   2,  200.0f,  300.0f,   20.833334f,  kScaleMinus26dB, -1.0f, true,  false, LinkGain::none,        {0, 0, 0}},
    {4,   3,  300.0f,  450.0f,   26.041666f,  kScaleMinus26dB, +1.0f, true,  false, LinkGain::none,        {0, 0, 0}},
    {5,   4,  450.0f,  675.0f,   32.552082f,  kScaleMinus26dB, -1.0f, true,  false, LinkGain::none,        {0, 0, 0}},
    {6,   5,  675.0f,  1012.0f,  40.690105f,  kScaleMinus26dB, +1.0f, true,  false, LinkGain::bands5678,   {5, 7, 8}},
    {7,   6,  1012.0f, 1518.0f,  50.86263f,   kScaleMinus26dB, -1.0f, true,  false, LinkGain::bands5678,   {5, 6, 8}},
    {8,   7,  1518.0f, 2278.0f,  63.57829f,   kScaleMinus26dB, +1.0f, true,  false, LinkGain::none,        {0, 0, 0}},
    {9,   8,  2278.0f, 3417.0f,  79.47286f,   kScaleMinus26dB, -1.0f, true,  false, LinkGain::none,        {0, 0, 0}},
    {10,  9,  3417.0f, 5125.0f,  99.34107f,   kScaleMinus26dB, +1.0f, true,  false, LinkGain::none,        {0, 0, 0}},
    {11,  10, 5125.0f, 7688.0f,  124.176346f, kScaleMinus32dB, -1.0f, true,  false, LinkGain::none,        {0, 0, 0}},
    {12,  11, 7688.0f, 15000.0f, 155.22043f,  kScaleMinus24dB, +1.0f, true,  false, LinkGain::bands11To12, {11, 0, 0}},
}};

inline constexpr const BandDefinition& bandDefinition(int band)
{
    return kBandDefinitions[static_cast<std::size_t>(band - 1)];
}

// The table in order: bands numbered from 1, gate index band - 1, each band
// starting where the one below ends, bands 1 and 2 mono.
constexpr bool bandTableIsConsistent()
{
    for (int i = 0; i < kNumBands; ++i) {
        const BandDefinition& d = kBandDefinitions[static_cast<std::size_t>(i)];
        if (d.band != i + 1 || d.gateIndex != i || d.stereo != (i >= 2)) return false;
        if (i > 0 && kBandDefinitions[static_cast<std::size_t>(i - 1)].highHz != d.lowHz) return false;
    }
    return true;
}
static_assert(bandTableIsConsistent());

// Envelope and gain constants shared by every band, T = 1/fs.
struct BandTimeConstants {
    float T;          // sampling period
    float cs, omcs;   // gate smoother exp(-33.333332*T) (30 ms) and 1 - cs
    float c05, omc05; // exp(-2*T) (0.5 s): fast rising-indicator hold, slow-envelope smoothing
    float c15, omc15; // fast-envelope smoothing exp(-66.666664*T) (15 ms)
    float c4, omc4;   // slow rising-indicator hold exp(-0.25*T) (4 s)

    void design(const RateConstants& rc);
};

// One channel of a band split: highpass twice at fL, lowpass twice at fH
// (Butterworth sections, which the bank runs four channels at a time, see
// BandSplitX4). The last lowpass section's numerator sum w + 2w[n-1] + w[n-2],
// which is the band output times a0H, goes into the channel's 2048-sample band
// ring; the gain stage reads it 1024 samples later. The channel's analytic
// envelope detector is also held by the bank, which runs four of them at a time.
struct BandChannel {
    Ring<2048> ring;  // a0H * band output

    void clear() { ring.clear(); }
};

// The sections of one band's split: a Butterworth highpass section at fL
// (used twice), a Butterworth lowpass section at fH (used twice) and the
// latter's a0, a0H.
struct BandSplitDesign {
    Sos hp;
    Sos lp;
    float a0H;
};

// The band splits of four channels side by side, one per lane of a packed
// single-precision vector; every lane computes what the scalar sections do:
//   x3 = lp1(hp2(hp1(x))),  w = x3 - (a2*w2 + a1*w1)/a0 of lp2,
//   scaled = w + 2w1 + w2 (a0H times the band output),  y = scaled/a0H.
struct BandSplitX4 {
    using V = Lane4;
    SosT<V> hp1, hp2;  // Butterworth highpass sections at fL
    SosT<V> lp1;       // first Butterworth lowpass section at fH
    SosT<V> lp2;       // last lowpass section; only its denominator is used
    Mem<V> ra0H;       // 1/a0H

    void setLane(std::size_t j, const BandSplitDesign& d)
    {
        hp1.setLane(j, d.hp);
        hp2.setLane(j, d.hp);
        lp1.setLane(j, d.lp);
        lp2.setLane(j, d.lp);
        ra0H[j] = 1.0f / d.a0H;
    }
    void clear()
    {
        hp1.clear();
        hp2.clear();
        lp1.clear();
        lp2.clear();
    }

    // Filters the four lanes of x into their bands: scaled receives a0H*y
    // for the band rings, the unit-gain band outputs y that the detectors see
    // are returned.
    V process(V x, Mem<V>& scaled)
    {
        const V x3 = lp1.processLowpass(hp2.processHighpass(hp1.processHighpass(x)));
        V w1v, w2v;
        const V w = lp2.recurse(x3, w1v, w2v);
        const V sc = SosT<V>::lowpassSum(w, w1v, w2v);
        store(scaled, sc);
        return sc * load<V>(ra0H);
    }
};

// Side output of a stereo band: its difference ring and its width detector.
struct SideOutput {
    Ring<4096> diff;      // pol*(sigma/a0H)*(lL - lR)*gt*g
    WidthDetector width;  // decides how much of the difference is used

    void clear()
    {
        diff.clear();
        width.clear();
    }
};
struct NoSideOutput {
    void clear() {}
};

// One band's delay rings: the band signals of both channels, which the gain
// stage reads 1024 samples later, and the levelled outputs, which the band mix
// reads 2048 samples later. Stereo bands also keep their side output and width
// detector. The bank runs the splits and detectors four channels at a time and
// the envelopes, gates and gains four bands at a time (see BandBank::process()).
template <bool kStereo>
struct Band {
    std::array<BandChannel, 2> ch;  // left, right
    Ring<4096> sum;                 // levelled band sum (mono output of a mono band)
    std::conditional_t<kStereo, SideOutput, NoSideOutput> side;  // stereo bands only

    void design(const RateConstants& rc)
    {
        if constexpr (kStereo) side.width.design(rc);
    }
    void clear()
    {
        for (BandChannel& c : ch) c.clear();
        sum.clear();
        side.clear();
    }

    // Writes a0H times the band outputs of the left and the right channel,
    // scaled[0] and scaled[1], into the band rings.
    void writeRings(uint32_t n, const float* scaled)
    {
        ch[0].ring.write(n, scaled[0]);
        ch[1].ring.write(n, scaled[1]);
    }
};

// Gates and gains of four bands side by side, band 4i+1+j in lane j of group i.
// Every lane computes, for its band magnitude m, gate gain Gk, smoothed fast
// envelope e1s and (linked) slow level E:
//   q   = min(1, Gk*m)
//   p1  = max(q, cg*p1 + (1 - cg)*q)       gate peak: instant attack, release cg
//   p2  = cs*p2 + (1 - cs)*p1              30 ms smoothing
//   gt  = atan(p2)                         gate factor, 0 .. pi/4
//   den = max(max(e1s, 0.7943282*E), 3.1622778e-05),   g = 1/den
// The packed operations are exact per lane, so each lane gives the bits of
// the band computed alone; std::max(a, b) is taken as _mm_max_ps(b, a) and
// std::min(a, b) as _mm_min_ps(b, a). The arctangents are evaluated only when
// some lane's p2 changed (settled gates hold it).
struct BandGainX4 {
    using V = Lane4;
    static constexpr float kLevelSpread = 0.7943282f;  // -2 dB: slow level against fast level

    Mem<V> cg, omcg;  // gate release exp(-rk*T) and 1 - cg
    Mem<V> p1, p2;    // gate peak and smoother
    Mem<V> gateArg;   // the p2 that gt was computed from (compared by its bits)
    Mem<V> gt;        // gate factor atan(p2) of the current sample
    Mem<V> den;       // gain divisor of the current sample
    Mem<V> g;         // band gain 1/den of the current sample

    void setLane(std::size_t j, float gateRelease, const RateConstants& rc);
    void clear();
    void process(V m, V Gk, V e1s, V E, const BandTimeConstants& tc);
};

// What tests and tools can see of a band after a sample.
struct BandProbe {
    float m;    // band magnitude
    float e1s;  // smoothed fast envelope
    float e2s;  // smoothed slow envelope
    float gt;   // gate factor
    float g;    // band gain
    float wf;   // width factor (stereo bands; 0 for bands 1 and 2)
    float cm;   // mono compensation gain (stereo bands; 1 for bands 1 and 2)
};

class BandBank {
public:
    void design(const RateConstants& rc);
    void clear();

    // One sample of the pseudo-stereo pair through all twelve bands. n is the
    // ring counter of this sample. Returns what the band mix needs: the band
    // outputs of 2048 samples ago and the width decisions of this sample.
    BandOutputs process(float left, float right, uint32_t n, const BlockValues& bv);

    // State of band 1..12 after the last sample.
    BandProbe probe(int band) const;

    static constexpr uint32_t kLookAhead = 1024;  // the gain leads the band signal by this much
    static constexpr uint32_t kMixDelay = 2048;   // the band mix reads the output rings this far back

private:
    static constexpr uint32_t kPeakWindow = 44;   // length of the fast envelopes' peak maximum

    template <int N>
    auto& band()
    {
        if constexpr (bandDefinition(N).stereo)
            return stereoBands[N - 3];
        else
            return monoBands[N - 1];
    }
    template <int N>
    const auto& band() const
    {
        if constexpr (bandDefinition(N).stereo)
            return stereoBands[N - 3];
        else
            return monoBands[N - 1];
    }

    template <int N>
    void writeRings(uint32_t n);
    template <int N>
    float slowLevel() const;
    template <int N>
    float fastLevel() const;
    template <int N>
    float linkedLevel(const BlockValues& bv) const;
    template <int N>
    void readLookAhead(uint32_t n);
    template <int N>
    void writeOutputs(uint32_t n);
    template <int N>
    void widthDecision();

    // Lane of band N's channel c (0 left, 1 right) among the band detectors, and
    // of stereo band N's channel c among the width detectors: channels in
    // order, both channels of a band side by side.
    static constexpr int bandLane(int N, int c) { return 2 * (N - 1) + c; }
    static constexpr int widthLane(int N, int c) { return 2 * (N - 3) + c; }
    static constexpr int kBandLanes = 2 * kNumBands;
    static constexpr int kWidthLanes = 2 * (kNumBands - 2);
    static_assert(kBandLanes % 4 == 0);
    static_assert(kWidthLanes % 4 == 0);
    static_assert(kNumBands % 4 == 0);

    BandTimeConstants times;
    std::array<Band<false>, 2> monoBands;     // bands 1 and 2
    std::array<Band<true>, 10> stereoBands;   // bands 3 .. 12

    // Band splits, four lanes each (lane bandLane).
    std::array<BandSplitX4, kBandLanes / 4> bandSplits;

    // Analytic envelope detectors, four lanes each: of the band split outputs
    // (lane bandLane) and of the stereo bands' levelled signals (lane widthLane).
    std::array<AnalyticEnvelopeT<Lane4>, kBandLanes / 4> bandDetectors;
    std::array<AnalyticEnvelopeT<Lane4>, kWidthLanes / 4> widthDetectors;

    // Slow envelopes of the band magnitudes, four bands at a time (band N in
    // lane N - 1), and the width detectors' envelope followers (lane widthLane).
    std::array<RisingEnvelopeT<Lane4>, kNumBands / 4> slowEnvelopes;
    std::array<RisingEnvelopeT<Lane4>, kNumBands / 4> fastEnvelopes;  // of the peaks M
    std::array<RisingEnvelopeT<Lane4>, kWidthLanes / 4> widthFollowers;

    // 44-sample peaks of the floored band magnitudes, and the gates and gains,
    // four bands at a time (band N in lane N - 1).
    std::array<SlidingMaxT<Lane4, kPeakWindow>, kNumBands / 4> peaks;
    std::array<BandGainX4, kNumBands / 4> gains;
    std::array<float, kNumBands> outScale;  // pol*sigma/a0H of each band (band 1: unused)
    float band1Scale;                       // 1/a0H of band 1, whose level V1 comes per block

    // Detector inputs and outputs of the current sample, by lane.
    std::array<float, kBandLanes> bandScaled, bandMag;
    std::array<float, kWidthLanes> widthIn, widthMag;
    std::array<float, kNumBands> bandLevel;  // band magnitudes m, band N at N - 1
    std::array<float, kNumBands> linked;     // slow levels E after linking, band N at N - 1
    std::array<float, kNumBands> aheadL, aheadR;  // band rings 1024 samples back (a0H * band signal)
    std::array<float, kNumBands> sumOut, diffOut;  // levelled sum and difference, band N at N - 1
};

static_assert(std::is_trivially_copyable_v<BandSplitX4>);
static_assert(std::is_trivially_copyable_v<BandGainX4>);
static_assert(std::is_trivially_copyable_v<Band<true>>);
static_assert(std::is_trivially_copyable_v<Band<false>>);
static_assert(std::is_trivially_copyable_v<BandBank>);

}  // namespace plumbra
