// The twelve band processors: band split, detection, gate, envelopes, gain,
// linking, output rings and width detectors, in their fixed per-sample order.
#include "dsp/band_bank.h"

#include <algorithm>
#include <utility>

#include "dsp/chainmath.h"
#include "dsp/mydsp.h"

namespace plumbra {

namespace {

constexpr float kFastReleaseBase = 0.25f;   // fast envelope release 0.25 s .. 1.25 s
constexpr float kSlowReleaseBase = 2.0f;    // slow envelope release 2 s .. 3 s
constexpr uint32_t kMixDelay = 2048;        // the band mix reads the output rings this far back

// Band edges at or above the Nyquist frequency would turn the bilinear design
// unstable (at rates below about 30 kHz the 15 kHz top edge is such a case), so
// an edge is held just below it; at 44.1 kHz and above no edge is affected.
constexpr float kMaxEdgeFraction = 0.49f;

float edge(float hz, const RateConstants& rc) { return std::min(hz, kMaxEdgeFraction * rc.fs); }

// Sections of a band's split: Butterworth highpass at fL, Butterworth lowpass at fH.
BandSplitDesign designBandSplit(const BandDefinition& def, const RateConstants& rc)
{
    BandSplitDesign d{};
    designButterworthHighpass(d.hp, prewarp(edge(def.lowHz, rc), rc));
    d.a0H = designButterworthLowpass(d.lp, prewarp(edge(def.highHz, rc), rc));
    return d;
}

}  // namespace

void BandTimeConstants::design(const RateConstants& rc)
{
    T = rc.T;
    cs = onePole(33.333332f, rc);
    omcs = 1.0f - cs;
    c05 = onePole(2.0f, rc);
    omc05 = 1.0f - c05;
    c15 = onePole(66.666664f, rc);
    omc15 = 1.0f - c15;
    c4 = onePole(0.25f, rc);
    omc4 = 1.0f - c4;
}

// ---------------------------------------------------------------------------
// One band.

template <bool kStereo>
void Band<kStereo>::design(const BandDefinition& def, const RateConstants& rc)
{
    const float a0H = designBandSplit(def, rc).a0H;
    ra0H = 1.0f / a0H;
    outScale = def.polarity * (def.scale / a0H);
    cg = onePole(def.gateRelease, rc);
    omcg = 1.0f - cg;
    gateCurve.seed(0.0f, [](float p) { return chainmath::atan(p); });
}

template <bool kStereo>
void Band<kStereo>::clear()
{
    for (BandChannel& c : ch) c.clear();
    p1 = p2 = 0.0f;
    peakMax.clear();
    sum.clear();
    side.clear();
    m = gt = g = sL = sR = 0.0f;
}

template <bool kStereo>
void Band<kStereo>::writeRings(uint32_t n, const float* scaled)
{
    ch[0].ring.write(n, scaled[0]);
    ch[1].ring.write(n, scaled[1]);
}

template <bool kStereo>
float Band<kStereo>::peak(float floor)
{
    const float v = std::max(floor, m);
    return peakMax.push(v);
}

template <bool kStereo>
void Band<kStereo>::gain(const BandDefinition& def, float Gk, float e1s, float E, float level1, uint32_t n,
                          const BandTimeConstants& tc)
{
    // Gate: instant attack, release cg, 30 ms smoothing; atan keeps it below pi/4.
    const float q = std::min(1.0f, Gk * m);
    p1 = std::max(q, cg * p1 + omcg * q);
    p2 = tc.cs * p2 + tc.omcs * p1;
    gt = gateCurve(p2, [](float p) { return chainmath::atan(p); });

    // Gain: the larger of the fast level and the (linked) slow level 2 dB down.
    float den = std::max(e1s, kLevelSpread * E);
    den = std::max(den, kPowerFloor);
    g = 1.0f / den;

    // Outputs from the band signals of 1024 samples ago.
    const float lL = ch[0].ring.tap(n, kLookAhead);
    const float lR = ch[1].ring.tap(n, kLookAhead);
    if (def.ownFloorAndLevel) {
        // Band 1: level V1 from its own control, polarity applied here.
        sum.write(n, def.polarity * (gt * (lL + lR) * level1 * ra0H) / den);
        return;
    }
    sum.write(n, outScale * (lL + lR) * gt * g);
    if constexpr (kStereo) {
        side.diff.write(n, outScale * (lL - lR) * gt * g);
        sL = outScale * lL * gt * g;
        sR = outScale * lR * gt * g;
    }
}

template struct Band<true>;
template struct Band<false>;

// ---------------------------------------------------------------------------
// The bank.

void BandBank::design(const RateConstants& rc)
{
    times.design(rc);
    for (std::size_t i = 0; i < monoBands.size(); ++i) monoBands[i].design(kBandDefinitions[i], rc);
    for (std::size_t i = 0; i < stereoBands.size(); ++i) stereoBands[i].design(kBandDefinitions[i + 2], rc);
    for (int N = 1; N <= kNumBands; ++N) {
        const BandSplitDesign d = designBandSplit(bandDefinition(N), rc);
        for (int c = 0; c < 2; ++c) {
            const auto lane = static_cast<std::size_t>(bandLane(N, c));
            bandSplits[lane / AnalyticEnvelopeX4::kLanes].setLane(lane % AnalyticEnvelopeX4::kLanes, d);
        }
    }
    // Slow envelopes: release 2 s .. 3 s, rising-indicator hold 4 s, smoothing 0.5 s.
    for (RisingEnvelopeX4& e : slowEnvelopes) e.design(times.c4, times.c05, times.T, kSlowReleaseBase);
    // Fast envelopes: release 0.25 s .. 1.25 s, rising-indicator hold 0.5 s, smoothing 15 ms.
    for (RisingEnvelopeX4& e : fastEnvelopes) e.design(times.c05, times.c15, times.T, kFastReleaseBase);
    for (RisingEnvelopeX4& f : widthFollowers) WidthDetector::designFollowers(f, rc);
    for (int i = 0; i < kDecisionGroups; ++i) {
        const int bands = std::min(WidthDecisionX4::kLanes, kStereoBands - i * WidthDecisionX4::kLanes);
        widthDecisions[static_cast<std::size_t>(i)].design(rc, bands);
    }
}

void BandBank::clear()
{
    for (auto& b : monoBands) b.clear();
    for (auto& b : stereoBands) b.clear();
    for (auto& s : bandSplits) s.clear();
    for (auto& d : bandDetectors) d.clear();
    for (auto& d : widthDetectors) d.clear();
    for (auto& e : slowEnvelopes) e.clear();
    for (auto& e : fastEnvelopes) e.clear();
    for (auto& f : widthFollowers) f.clear();
    for (auto& w : widthDecisions) w.clear();
    bandScaled.fill(0.0f);
    bandIn.fill(0.0f);
    bandMag.fill(0.0f);
    widthIn.fill(0.0f);
    widthMag.fill(0.0f);
    bandLevel.fill(0.0f);
    bandPeak.fill(0.0f);
}

template <int N>
void BandBank::writeRings(uint32_t n)
{
    band<N>().writeRings(n, &bandScaled[bandLane(N, 0)]);
}

// Band N's smoothed slow envelope e2s.
template <int N>
float BandBank::slowLevel() const
{
    constexpr std::size_t lane = N - 1;
    return slowEnvelopes[lane / RisingEnvelopeX4::kLanes].Es[lane % RisingEnvelopeX4::kLanes];
}

// Band N's smoothed fast envelope e1s.
template <int N>
float BandBank::fastLevel() const
{
    constexpr std::size_t lane = N - 1;
    return fastEnvelopes[lane / RisingEnvelopeX4::kLanes].Es[lane % RisingEnvelopeX4::kLanes];
}

template <int N>
void BandBank::peak(const BlockValues& bv)
{
    constexpr BandDefinition def = bandDefinition(N);
    const float floor = def.ownFloorAndLevel ? bv.floorB1t : bv.floorMt;
    bandPeak[N - 1] = band<N>().peak(floor);
}

// The band's slow level E: its own smoothed slow envelope, or the largest of
// it and the linked neighbours' smoothed slow envelopes times the link gain.
template <int N>
float BandBank::linkedLevel(const BlockValues& bv) const
{
    constexpr BandDefinition def = bandDefinition(N);
    float E = slowLevel<N>();
    if constexpr (def.link != LinkGain::none) {
        const float L = def.link == LinkGain::bands5678  ? bv.link5678
                        : def.link == LinkGain::band2To1 ? bv.link21
                                                          : bv.link1112;
        if constexpr (def.linkedTo[0] != 0) E = std::max(E, L * slowLevel<def.linkedTo[0]>());
        if constexpr (def.linkedTo[1] != 0) E = std::max(E, L * slowLevel<def.linkedTo[1]>());
        if constexpr (def.linkedTo[2] != 0) E = std::max(E, L * slowLevel<def.linkedTo[2]>());
    }
    return E;
}

template <int N>
void BandBank::gain(uint32_t n, const BlockValues& bv)
{
    constexpr BandDefinition def = bandDefinition(N);
    band<N>().gain(def, bv.gateGain[def.gateIndex], fastLevel<N>(), linkedLevel<N>(bv), bv.band1Out, n, times);
}

BandOutputs BandBank::process(float left, float right, uint32_t n, const BlockValues& bv)
{
    // Every band's split and detection first: they depend on the input alone,
    // and the gains of bands 1, 6, 7 and 12 read slow envelopes of their
    // neighbours of this sample (band 2; bands 5, 7 and 8; bands 5, 6 and 8;
    // band 11). The 24 band channels are split and detected four at a time
    // (lanes left, right, left, right of two neighbouring bands), then the
    // band rings are written and the slow envelopes follow.
    const __m128 input = _mm_setr_ps(left, right, left, right);
    for (std::size_t i = 0; i < bandSplits.size(); ++i) {
        const std::size_t lane = i * AnalyticEnvelopeX4::kLanes;
        bandSplits[i].process(input, &bandScaled[lane], &bandIn[lane]);
        bandDetectors[i].process(&bandIn[lane], &bandMag[lane]);
    }
    writeRings<1>(n);
    writeRings<2>(n);
    writeRings<3>(n);
    writeRings<4>(n);
    writeRings<5>(n);
    writeRings<6>(n);
    writeRings<7>(n);
    writeRings<8>(n);
    writeRings<9>(n);
    writeRings<10>(n);
    writeRings<11>(n);
    writeRings<12>(n);
    // Band magnitudes m, the larger of each band's left and right detector
    // outputs, and the slow envelopes, four bands at a time: the eight
    // detector lanes of bands N..N+3 hold left, right, left, right, ...
    for (std::size_t i = 0; i < slowEnvelopes.size(); ++i) {
        const __m128 lo = _mm_loadu_ps(&bandMag[8 * i]);
        const __m128 hi = _mm_loadu_ps(&bandMag[8 * i + 4]);
        const __m128 mL = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 mR = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 m = _mm_max_ps(mR, mL);  // std::max(mL, mR)
        _mm_storeu_ps(&bandLevel[4 * i], m);
        slowEnvelopes[i].process(m);
    }
    for (std::size_t i = 0; i < monoBands.size(); ++i) monoBands[i].m = bandLevel[i];
    for (std::size_t i = 0; i < stereoBands.size(); ++i) stereoBands[i].m = bandLevel[i + 2];

    // Fast envelopes: the 44-sample peaks of the floored magnitudes, then
    // their envelope followers four bands at a time.
    peak<1>(bv);
    peak<2>(bv);
    peak<3>(bv);
    peak<4>(bv);
    peak<5>(bv);
    peak<6>(bv);
    peak<7>(bv);
    peak<8>(bv);
    peak<9>(bv);
    peak<10>(bv);
    peak<11>(bv);
    peak<12>(bv);
    for (std::size_t i = 0; i < fastEnvelopes.size(); ++i) {
        fastEnvelopes[i].process(_mm_loadu_ps(&bandPeak[i * RisingEnvelopeX4::kLanes]));
    }

    // Gates, gains and outputs.
    gain<1>(n, bv);
    gain<2>(n, bv);
    gain<3>(n, bv);
    gain<4>(n, bv);
    gain<5>(n, bv);
    gain<6>(n, bv);
    gain<7>(n, bv);
    gain<8>(n, bv);
    gain<9>(n, bv);
    gain<10>(n, bv);
    gain<11>(n, bv);
    gain<12>(n, bv);

    // The width detectors last: each reads only its own band's levelled
    // signals. The magnitudes of the 20 levelled signals and their envelopes
    // four at a time, then the decisions four bands at a time.
    for (std::size_t i = 0; i < stereoBands.size(); ++i) {
        widthIn[2 * i] = stereoBands[i].sL;
        widthIn[2 * i + 1] = stereoBands[i].sR;
    }
    for (std::size_t i = 0; i < widthDetectors.size(); ++i) {
        const std::size_t lane = i * AnalyticEnvelopeX4::kLanes;
        widthDetectors[i].process(&widthIn[lane], &widthMag[lane]);
    }
    for (std::size_t i = 0; i < widthFollowers.size(); ++i) {
        widthFollowers[i].process(_mm_loadu_ps(&widthMag[i * RisingEnvelopeX4::kLanes]));
    }
    // The follower lanes of four bands hold left, right, left, right, ...;
    // the lanes without a band (after band 12) get envelopes of 1.
    for (std::size_t i = 0; i < widthDecisions.size(); ++i) {
        const __m128 lo = _mm_loadu_ps(widthFollowers[2 * i].Es.data());
        const __m128 hi =
            2 * i + 1 < widthFollowers.size() ? _mm_loadu_ps(widthFollowers[2 * i + 1].Es.data()) : _mm_set1_ps(1.0f);
        widthDecisions[i].decide(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)),
                                 _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)));
    }

    BandOutputs out;
    out.m1 = monoBands[0].sum.tap(n, kMixDelay);
    out.m2 = monoBands[1].sum.tap(n, kMixDelay);
    for (std::size_t i = 0; i < stereoBands.size(); ++i) {
        const Band<true>& b = stereoBands[i];
        out.sum[i] = b.sum.tap(n, kMixDelay);
        out.diff[i] = b.side.diff.tap(n, kMixDelay);
        const WidthDecisionX4& w = widthDecisions[i / WidthDecisionX4::kLanes];
        out.width[i] = w.wf[i % WidthDecisionX4::kLanes];
        out.monoGain[i] = w.cm[i % WidthDecisionX4::kLanes];
    }
    return out;
}

BandProbe BandBank::probe(int bandNumber) const
{
    BandProbe p{};
    auto one = [&]<int N>(std::integral_constant<int, N>) {
        if (bandNumber != N) return;
        const auto& b = band<N>();
        p = BandProbe{b.m, fastLevel<N>(), slowLevel<N>(), b.gt, b.g, 0.0f, 1.0f};
        if constexpr (bandDefinition(N).stereo) {
            constexpr std::size_t lane = decisionLane(N);
            constexpr std::size_t k = WidthDecisionX4::kLanes;
            p.wf = widthDecisions[lane / k].wf[lane % k];
            p.cm = widthDecisions[lane / k].cm[lane % k];
        }
    };
    [&]<int... I>(std::integer_sequence<int, I...>) {
        (one(std::integral_constant<int, I + 1>{}), ...);
    }(std::make_integer_sequence<int, kNumBands>{});
    return p;
}

}  // namespace plumbra
