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
// same sample. Everything up to the linking depends on the input alone, so the
// bank works run by run: every band's analysis of a run (split, detection,
// envelopes, gate) first, then the linking of each sample, then the gains,
// levelling and width decisions of the run (see processRun()).
//
// The bank is written once over the lane type of its bands (BandBankT): with
// float lanes, twelve groups of one band, the reference; packed, three groups
// of four bands, one band per lane (BandGroup), each group's left and right
// channels side by side in a Pair of lanes (or, on CPUs with AVX, in the eight
// lanes of one vector, kept in the same memory). The envelope followers of all
// twelve bands run as one value of all the groups' lanes (BandSpread), kept in
// band order, so that their long recursions interleave operation by operation.
#pragma once

#include <array>
#include <cstdint>
#include <bit>
#include <type_traits>
#include <utility>

#include "dsp/bands.h"
#include "dsp/blocks/layout.h"
#include "dsp/stages/band_outputs.h"
#include "dsp/stages/block_values.h"
#include "dsp/simd/lanes.h"
#include "dsp/blocks/rising_envelope.h"
#include "dsp/blocks/sections.h"
#include "dsp/blocks/width_detector.h"

namespace plumbra {

// Envelope and gain constants shared by every band, T = 1/fs.
struct BandTimeConstants {
    float T;          // sampling period
    float cs, omcs;   // gate smoother exp(-33.333332*T) (30 ms) and 1 - cs
    float c05, omc05; // exp(-2*T) (0.5 s): fast rising-indicator hold, slow-envelope smoothing
    float c15, omc15; // fast-envelope smoothing exp(-66.666664*T) (15 ms)
    float c4, omc4;   // slow rising-indicator hold exp(-0.25*T) (4 s)

    void design(const RateConstants& rc);
};

// The sections of one band's split: a Butterworth highpass section at fL
// (used twice), a Butterworth lowpass section at fH (used twice) and the
// latter's a0, a0H.
struct BandSplitDesign {
    Sos hp;
    Sos lp;
    float a0H;
};

// What a band's meters read: linear values (see dsp/meters.h).
struct BandMeterValues {
    float gainLow, gainHigh;  // lowest and highest levelling gain gt*g since the last reset
    float gate;               // gate factor over its largest value pi/4: 0 closed .. 1 open
    float level;              // smoothed slow envelope
    float width;              // width factor (stereo bands; 0 for mono bands)
};

// What tests and tools can see of a band after a sample.
struct BandProbe {
    float m;    // band magnitude
    float e1s;  // smoothed fast envelope
    float e2s;  // smoothed slow envelope
    float gt;   // gate factor
    float g;    // band gain
    float wf;   // width factor (stereo bands; 0 for mono bands)
    float cm;   // mono compensation gain (stereo bands; 1 for mono bands)
};

// The delays of the band path.
inline constexpr uint32_t kBandLookAhead = 1024;  // the gain leads the band signal by this much
inline constexpr uint32_t kBandMixDelay = 2048;   // the band mix reads the output rings this far back
inline constexpr uint32_t kBandPeakWindow = 44;   // length of the fast envelopes' peak maximum

// The bands of one group, one per lane of V, with the state of their split,
// detection, gate and levelling. Each band channel (left and right of every
// band) is split into the band (highpass twice at fL, lowpass twice at fH; the
// last lowpass section's numerator sum, a0H times the band output, goes into
// the band ring, which the gain stage reads 1024 samples later) and measured by
// an analytic envelope detector; the larger of a band's two magnitudes is its
// magnitude m. Per band, as in every lane:
//   slow envelope e2s of m, linked with the neighbours' into E (by the bank)
//   fast envelope e1s of the 44-sample peak of max(floor, m)   (by the bank)
//   q   = min(1, Gk*m)
//   p1  = max(q, cg*p1 + (1 - cg)*q)       gate peak: instant attack, release cg
//   p2  = cs*p2 + (1 - cs)*p1              30 ms smoothing
//   gt  = atan(p2)                         gate factor, 0 .. pi/4
//   den = max(max(e1s, 0.7943282*E), 3.1622778e-05),   g = 1/den
// and the band signals of 1024 samples ago (lL, lR, times a0H) are levelled
// into sum pol*sigma/a0H*(lL + lR)*gt*g and difference pol*sigma/a0H*(lL - lR)*gt*g,
// written to rings that the mix reads 2048 samples later. A band with its own
// floor and level (band 1) takes the floor B1t and the sum
// pol*(gt*(lL + lR)*V1/a0H)/den. The levelled left and right signals feed the
// stereo bands' width detectors: envelopes of both channels and a decision.
// The arctangents are evaluated only when some lane's argument changed.
template <class V, class Channels = Pair<V>>
struct BandGroup {
    using Lanes = V;
    using C = Channels;  // band channels: the left ones, then the right ones
    static constexpr int kWidth = kLanesOf<V>;  // bands in the group
    static constexpr float kLevelSpread = 0.7943282f;  // -2 dB: slow level against fast level

    int firstBand;  // band number of lane 0

    // Band split and detection, per channel.
    SosT<C> hp1, hp2;          // Butterworth highpass sections at fL
    SosT<C> lp1;               // first Butterworth lowpass section at fH
    SosT<C> lp2;               // last lowpass section; only its denominator is used
    Mem<C> ra0H;               // 1/a0H
    AnalyticEnvelopeT<C> detector;
    RingT<C, ringLengthFor(kBandLookAhead)> bandRing;  // a0H * band output, read kBandLookAhead back

    // Gate and gain, per band.
    Mem<V> m;                  // band magnitude of the current sample
    SlidingMaxT<V, kBandPeakWindow> peak;  // peak of the floored magnitude
    int firstGate;             // gate index k of lane 0; the group's are consecutive
    Mem<V> cg, omcg;           // gate release exp(-rk*T) and 1 - cg
    Mem<V> p1, p2;             // gate peak and smoother
    Mem<V> gateArg;            // the p2 that gt was computed from (compared by its bits)
    Mem<V> gt;                 // gate factor atan(p2)
    Mem<V> g;                  // band gain 1/den
    Mem<V> gainLow, gainHigh;  // lowest and highest gt*g since the meters were last reset
    Mem<V> outScale;           // pol*sigma/a0H
    Mem<V> own;                // 1 for a band with its own floor and level, else 0
    bool hasOwn;               // some band of the group has its own floor and level
    Mem<V> polarity;           // pol
    Mem<V> ownScale;           // 1/a0H, for a band with its own level
    RingT<V, ringLengthFor(kBandMixDelay)> sum;   // levelled band sum (mono output of a mono band)
    RingT<V, ringLengthFor(kBandMixDelay)> diff;  // levelled difference (stereo bands)

    // Width detection of the levelled channels (stereo bands).
    AnalyticEnvelopeT<C> widthDetector;
    using Width = WidthDetectorT<V>;
    Width width;

    void design(int first, const RateConstants& rc);
    void clear();

    // The stages of one sample, in signal order.
    // The last lowpass section's numerator sum (a0H times the band output)
    // into the band ring; returns the unit-gain band signals.
    C bandOutput(C x3, uint32_t n);
    // Band magnitudes m of the band signals: the larger of each band's two.
    V detect(C band);
    // The 44-sample peaks of the floored band magnitudes mv, which the fast
    // envelope follows.
    V peakOf(V mv, const BlockValues& bv);
    // Gate peak and smoother of the magnitudes mv; returns the smoothed peak p2.
    V gate(V mv, const BlockValues& bv, const BandTimeConstants& tc);
    // The gate factor atan(p2) of the smoothed peak p2.
    V gateFactor(V p2v);
    // Gain and levelling of one sample from the linked slow levels E, the fast
    // envelopes and the gate factors gtv; returns the levelled left and right
    // signals.
    C level(uint32_t n, V E, V fastEs, V gtv, const BlockValues& bv);
};

// One value of every band's lanes, group by group in band order: a group's V
// alone, two groups as the group's channel type C (on the AVX path, one
// eight-lane vector), more as a Pair of the first groups and the rest.
template <class V, class C, int N>
struct BandSpreadOf {
    using type = Pair<typename BandSpreadOf<V, C, N - N / 2>::type, typename BandSpreadOf<V, C, N / 2>::type>;
};
template <class V, class C>
struct BandSpreadOf<V, C, 1> {
    using type = V;
};
template <class V, class C>
struct BandSpreadOf<V, C, 2> {
    using type = C;
};
template <class V, class C, int N>
using BandSpread = typename BandSpreadOf<V, C, N>::type;

// The memory of group K's lanes in the memory of an N-group spread.
template <int N, int K, class M>
auto& groupMem(M& m)
{
    static_assert(K >= 0 && K < N);
    if constexpr (N == 1) {
        return m;
    } else if constexpr (N == 2) {
        if constexpr (K == 0) return lowMem(m);
        else return highMem(m);
    } else if constexpr (K < N - N / 2) {
        return groupMem<N - N / 2, K>(lowMem(m));
    } else {
        return groupMem<N / 2, K - (N - N / 2)>(highMem(m));
    }
}

// An N-group spread of the groups' values f(k).
template <class S, int N, int K0 = 0, class V, class F>
S spreadOf(F f)
{
    if constexpr (N == 1) {
        return f(K0);
    } else if constexpr (N == 2) {
        return joinHalves(V(f(K0)), V(f(K0 + 1)), S{});
    } else {
        using Lo = decltype(S{}.lo);
        using Hi = decltype(S{}.hi);
        return {spreadOf<Lo, N - N / 2, K0, V>(f), spreadOf<Hi, N / 2, K0 + N - N / 2, V>(f)};
    }
}

// The twelve bands: their groups and the envelope followers of all bands.
template <class V, class Channels = Pair<V>>
struct BandBankState {
    using Group = BandGroup<V, Channels>;
    using C = Channels;
    static constexpr int kGroups = kNumBands / Group::kWidth;
    static_assert(kNumBands % Group::kWidth == 0);
    using Bands = BandSpread<V, C, kGroups>;                // every band's value
    using BandChannels = BandSpread<C, Pair<C>, kGroups>;   // every band channel's value

    BandTimeConstants times;
    std::array<Group, kGroups> groups;
    RisingEnvelopeT<Bands> slow;                 // slow envelopes of the magnitudes
    RisingEnvelopeT<Bands> fast;                 // fast envelopes of the peaks
    RisingEnvelopeT<BandChannels> widthFollower; // envelopes of the levelled channels

    // Per-sample values of the current run (see processBandsRun).
    struct RunValues {
        std::array<std::array<Mem<C>, kRunLength>, kGroups> band;       // the band signals, through the split
        std::array<std::array<Mem<V>, kRunLength>, kGroups> magnitude;  // m
        std::array<std::array<Mem<V>, kRunLength>, kGroups> peak;       // floored 44-sample peak of m
        std::array<std::array<Mem<V>, kRunLength>, kGroups> gatePeak;   // smoothed gate peak p2
        std::array<std::array<Mem<V>, kRunLength>, kGroups> gateFactor; // gt
        std::array<Mem<Bands>, kRunLength> slowEs;                      // smoothed slow envelopes
        std::array<Mem<Bands>, kRunLength> fastEs;                      // smoothed fast envelopes
        std::array<std::array<Mem<C>, kRunLength>, kGroups> levelled;   // levelled left and right signals
        std::array<Mem<BandChannels>, kRunLength> widthEs;              // their smoothed envelopes
        std::array<std::array<Mem<V>, kRunLength>, kGroups> curve;      // width curve t
    };
    RunValues run;

    void design(const RateConstants& rc);
    void clear();
    BandProbe probe(int band) const;
    // The meters' accumulation starts afresh (at the start of a block).
    void resetMeters();
    BandMeterValues meter(int band) const;
};

// The twelve band processors over lanes V: BandBankT<float> is the reference,
// BandBank (four SSE2 lanes, or eight AVX lanes for each group's channels) the
// processor's.
template <class V>
class BandBankT {
public:
    void design(const RateConstants& rc);
    void clear();

    // A run of len (1 .. kRunLength) samples of the pseudo-stereo pair through
    // all twelve bands; n0 is the ring counter of its first sample. Leaves in
    // output(i) what the band mix needs for sample i of the run: the band
    // outputs of 2048 samples ago and the width decisions of this sample.
    void processRun(const float* left, const float* right, int len, uint32_t n0, const BlockValues& bv);
    const BandOutputs& output(int i) const { return outputs[static_cast<std::size_t>(i)]; }

    // One sample (a run of one): n is its ring counter.
    BandOutputs process(float left, float right, uint32_t n, const BlockValues& bv)
    {
        processRun(&left, &right, 1, n, bv);
        return outputs[0];
    }

    // Runs the band groups with eight AVX lanes (on) or four SSE2 lanes (off);
    // returns whether the AVX path is in use, which needs an x86-64 build and a
    // CPU and system with AVX. design() chooses AVX where it can, unless the
    // environment variable PLUMBRA_FORCE_SSE2 is set to 1. Both give the same
    // bits. The float reference never uses it.
    bool useAvx(bool on);
    bool usesAvx() const { return avx; }

    // State of band 1..12 after the last sample.
    BandProbe probe(int band) const { return state.probe(band); }
    // The meters of band 1..12 since resetMeters().
    void resetMeters() { state.resetMeters(); }
    BandMeterValues meter(int band) const { return state.meter(band); }

    static constexpr uint32_t kLookAhead = kBandLookAhead;
    static constexpr uint32_t kMixDelay = kBandMixDelay;

private:
    BandBankState<V> state;
    std::array<BandOutputs, kRunLength> outputs;  // of the current run
    bool avx = false;                             // the groups run with eight AVX lanes
};

// The layout the AVX unit's copy of the bank's state must share (dsp/avx/avx_path.h).
template <class V>
inline constexpr uint64_t kBandBankLayout = layoutPrint<BandBankState<V>>(
    {offsetof(BandBankState<V>, times), offsetof(BandBankState<V>, groups), offsetof(BandBankState<V>, slow),
     offsetof(BandBankState<V>, fast), offsetof(BandBankState<V>, widthFollower), offsetof(BandBankState<V>, run),
     sizeof(BandGroup<V>), offsetof(BandGroup<V>, peak), offsetof(BandGroup<V>, sum), offsetof(BandGroup<V>, widthDetector),
     offsetof(BandGroup<V>, width)});

using BandBank = BandBankT<Lane4>;
using BandBankReference = BandBankT<float>;

static_assert(std::is_trivially_copyable_v<BandBank>);

}  // namespace plumbra
