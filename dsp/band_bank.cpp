// The twelve band processors: band split, detection, gate, envelopes, gain,
// linking, output rings and width detectors, in their fixed per-sample order.
#include "dsp/band_bank.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "dsp/chainmath.h"
#include "dsp/mydsp.h"

namespace plumbra {

namespace {

constexpr float kFastReleaseBase = 0.25f;   // fast envelope release 0.25 s .. 1.25 s
constexpr float kSlowReleaseBase = 2.0f;    // slow envelope release 2 s .. 3 s

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
// Gates and gains of four bands.

void BandGainX4::setLane(std::size_t j, float gateRelease, const RateConstants& rc)
{
    cg[j] = onePole(gateRelease, rc);
    omcg[j] = 1.0f - cg[j];
    // A valid argument and result pair, whatever the state.
    gateArg[j] = 0.0f;
    gt[j] = chainmath::atan(0.0f);
}

void BandGainX4::clear()
{
    fill(p1, 0.0f);
    fill(p2, 0.0f);
    fill(gateArg, 0.0f);
    fill(gt, chainmath::atan(0.0f));
    fill(den, 0.0f);
    fill(g, 0.0f);
}

void BandGainX4::process(V m, V Gk, V e1s, V E, const BandTimeConstants& tc)
{
    // Gate: instant attack, release cg, 30 ms smoothing; atan keeps it below pi/4.
    const V q = min(splat<V>(1.0f), Gk * m);
    const V peak = max(q, load<V>(cg) * load<V>(p1) + load<V>(omcg) * q);
    store(p1, peak);
    const V smoothed = splat<V>(tc.cs) * load<V>(p2) + splat<V>(tc.omcs) * peak;
    store(p2, smoothed);
    // A gate at rest keeps p2, and with it atan(p2), from sample to sample.
    if (bitsDiffer(smoothed, gateArg)) {
        store(gateArg, smoothed);
        store(gt, laneAtan(smoothed));
    }

    // Gain: the larger of the fast level and the (linked) slow level 2 dB down.
    const V level = max(e1s, splat<V>(kLevelSpread) * E);
    const V d = max(level, splat<V>(kPowerFloor));
    store(den, d);
    store(g, splat<V>(1.0f) / d);
}

// ---------------------------------------------------------------------------
// The bank.

void BandBank::design(const RateConstants& rc)
{
    times.design(rc);
    for (Band<false>& b : monoBands) b.design(rc);
    for (Band<true>& b : stereoBands) b.design(rc);
    for (int N = 1; N <= kNumBands; ++N) {
        const BandDefinition& def = bandDefinition(N);
        const BandSplitDesign d = designBandSplit(def, rc);
        for (int c = 0; c < 2; ++c) {
            const auto lane = static_cast<std::size_t>(bandLane(N, c));
            bandSplits[lane / 4].setLane(lane % 4, d);
        }
        const auto i = static_cast<std::size_t>(N - 1);
        gains[i / 4].setLane(i % 4, def.gateRelease, rc);
        outScale[i] = def.polarity * (def.scale / d.a0H);
        if (def.ownFloorAndLevel) band1Scale = 1.0f / d.a0H;
    }
    // Slow envelopes: release 2 s .. 3 s, rising-indicator hold 4 s, smoothing 0.5 s.
    for (RisingEnvelopeT<Lane4>& e : slowEnvelopes) e.design(times.c4, times.c05, times.T, kSlowReleaseBase);
    // Fast envelopes: release 0.25 s .. 1.25 s, rising-indicator hold 0.5 s, smoothing 15 ms.
    for (RisingEnvelopeT<Lane4>& e : fastEnvelopes) e.design(times.c05, times.c15, times.T, kFastReleaseBase);
    for (RisingEnvelopeT<Lane4>& f : widthFollowers) WidthDetector::designFollowers(f, rc);
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
    for (auto& p : peaks) p.clear();
    for (auto& g : gains) g.clear();
    bandScaled.fill(0.0f);
    bandMag.fill(0.0f);
    widthIn.fill(0.0f);
    widthMag.fill(0.0f);
    bandLevel.fill(0.0f);
    linked.fill(0.0f);
    aheadL.fill(0.0f);
    aheadR.fill(0.0f);
    sumOut.fill(0.0f);
    diffOut.fill(0.0f);
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
    return slowEnvelopes[lane / 4].Es[lane % 4];
}

// Band N's smoothed fast envelope e1s.
template <int N>
float BandBank::fastLevel() const
{
    constexpr std::size_t lane = N - 1;
    return fastEnvelopes[lane / 4].Es[lane % 4];
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

// Band N's band signals of 1024 samples ago (times a0H), which its gain of
// this sample levels.
template <int N>
void BandBank::readLookAhead(uint32_t n)
{
    aheadL[N - 1] = band<N>().ch[0].ring.tap(n, kLookAhead);
    aheadR[N - 1] = band<N>().ch[1].ring.tap(n, kLookAhead);
}

// Band N's levelled outputs into its sum ring (and difference ring).
template <int N>
void BandBank::writeOutputs(uint32_t n)
{
    band<N>().sum.write(n, sumOut[N - 1]);
    if constexpr (bandDefinition(N).stereo) band<N>().side.diff.write(n, diffOut[N - 1]);
}

template <int N>
void BandBank::widthDecision()
{
    constexpr std::size_t left = widthLane(N, 0);
    constexpr std::size_t right = widthLane(N, 1);
    constexpr std::size_t k = 4;
    band<N>().side.width.decide(widthFollowers[left / k].Es[left % k], widthFollowers[right / k].Es[right % k]);
}

BandOutputs BandBank::process(float left, float right, uint32_t n, const BlockValues& bv)
{
    // Every band's split and detection first: they depend on the input alone,
    // and the gains of bands 1, 6, 7 and 12 read slow envelopes of their
    // neighbours of this sample (band 2; bands 5, 7 and 8; bands 5, 6 and 8;
    // band 11). The 24 band channels are split and detected four at a time
    // (lanes left, right, left, right of two neighbouring bands), then the
    // band rings are written and the slow envelopes follow.
    const Lane4 input{_mm_setr_ps(left, right, left, right)};
    for (std::size_t i = 0; i < bandSplits.size(); ++i) {
        Mem<Lane4> scaled;
        const Lane4 y = bandSplits[i].process(input, scaled);
        std::copy(scaled.begin(), scaled.end(), &bandScaled[4 * i]);
        _mm_storeu_ps(&bandMag[4 * i], bandDetectors[i].process(y).v);
    }
    [&]<int... I>(std::integer_sequence<int, I...>) {
        (writeRings<I + 1>(n), ...);
    }(std::make_integer_sequence<int, kNumBands>{});
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
        slowEnvelopes[i].process(Lane4{m});
    }

    // Slow levels after linking, and the band signals the gains level.
    [&]<int... I>(std::integer_sequence<int, I...>) {
        ((linked[I] = linkedLevel<I + 1>(bv)), ...);
        (readLookAhead<I + 1>(n), ...);
    }(std::make_integer_sequence<int, kNumBands>{});

    // Four bands at a time: the fast envelopes follow the 44-sample peaks of
    // the floored magnitudes (floor B1t for band 1, Mt for the others), the
    // gates and gains act, and the band signals of 1024 samples ago are
    // levelled: sum pol*sigma/a0H*(lL + lR)*gt*g, difference
    // pol*sigma/a0H*(lL - lR)*gt*g, and the levelled left and right signals
    // that the width detectors follow.
    for (std::size_t i = 0; i < gains.size(); ++i) {
        const std::size_t b = 4 * i;
        const __m128 m = _mm_loadu_ps(&bandLevel[b]);
        const __m128 floor = i == 0 ? _mm_setr_ps(bv.floorB1t, bv.floorMt, bv.floorMt, bv.floorMt)
                                    : _mm_set1_ps(bv.floorMt);
        fastEnvelopes[i].process(peaks[i].push(Lane4{_mm_max_ps(m, floor)}));
        BandGainX4& gain = gains[i];
        gain.process(Lane4{m}, Lane4{_mm_loadu_ps(&bv.gateGain[b])}, load<Lane4>(fastEnvelopes[i].Es),
                     Lane4{_mm_loadu_ps(&linked[b])}, times);

        const __m128 gt = load<Lane4>(gain.gt).v;
        const __m128 g = load<Lane4>(gain.g).v;
        const __m128 scale = _mm_loadu_ps(&outScale[b]);
        const __m128 lL = _mm_loadu_ps(&aheadL[b]);
        const __m128 lR = _mm_loadu_ps(&aheadR[b]);
        auto level = [&](__m128 v) { return _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(scale, v), gt), g); };
        _mm_storeu_ps(&sumOut[b], level(_mm_add_ps(lL, lR)));
        _mm_storeu_ps(&diffOut[b], level(_mm_sub_ps(lL, lR)));
        const __m128 sL = level(lL);
        const __m128 sR = level(lR);
        // Width detector inputs, left and right of each stereo band side by side.
        if (i > 0) _mm_storeu_ps(&widthIn[2 * (b - 2)], _mm_unpacklo_ps(sL, sR));
        _mm_storeu_ps(&widthIn[2 * (b + 2 - 2)], _mm_unpackhi_ps(sL, sR));
    }
    // Band 1 takes its output level V1 from its own control and applies its
    // polarity last.
    {
        constexpr BandDefinition def = bandDefinition(1);
        sumOut[0] = def.polarity * (gains[0].gt[0] * (aheadL[0] + aheadR[0]) * bv.band1Out * band1Scale) / gains[0].den[0];
    }
    [&]<int... I>(std::integer_sequence<int, I...>) {
        (writeOutputs<I + 1>(n), ...);
    }(std::make_integer_sequence<int, kNumBands>{});

    // The width detectors last: each reads only its own band's levelled
    // signals. The magnitudes of the 20 levelled signals and their envelopes
    // four at a time, then all decisions, so that the processor can overlap
    // the long dependent chains (ratio, tangent, smoothing) of several
    // detectors.
    for (std::size_t i = 0; i < widthDetectors.size(); ++i) {
        const std::size_t lane = i * 4;
        _mm_storeu_ps(&widthMag[lane], widthDetectors[i].process(Lane4{_mm_loadu_ps(&widthIn[lane])}).v);
    }
    for (std::size_t i = 0; i < widthFollowers.size(); ++i) {
        widthFollowers[i].process(Lane4{_mm_loadu_ps(&widthMag[i * 4])});
    }
    widthDecision<3>();
    widthDecision<4>();
    widthDecision<5>();
    widthDecision<6>();
    widthDecision<7>();
    widthDecision<8>();
    widthDecision<9>();
    widthDecision<10>();
    widthDecision<11>();
    widthDecision<12>();

    BandOutputs out;
    out.m1 = monoBands[0].sum.tap(n, kMixDelay);
    out.m2 = monoBands[1].sum.tap(n, kMixDelay);
    for (std::size_t i = 0; i < stereoBands.size(); ++i) {
        const Band<true>& b = stereoBands[i];
        out.sum[i] = b.sum.tap(n, kMixDelay);
        out.diff[i] = b.side.diff.tap(n, kMixDelay);
        out.width[i] = b.side.width.wf;
        out.monoGain[i] = b.side.width.cm;
    }
    return out;
}

BandProbe BandBank::probe(int bandNumber) const
{
    BandProbe p{};
    auto one = [&]<int N>(std::integral_constant<int, N>) {
        if (bandNumber != N) return;
        const auto& b = band<N>();
        constexpr std::size_t i = N - 1;
        const BandGainX4& gain = gains[i / 4];
        p = BandProbe{bandLevel[i], fastLevel<N>(), slowLevel<N>(), gain.gt[i % 4], gain.g[i % 4], 0.0f, 1.0f};
        if constexpr (bandDefinition(N).stereo) {
            p.wf = b.side.width.wf;
            p.cm = b.side.width.cm;
        }
    };
    [&]<int... I>(std::integer_sequence<int, I...>) {
        (one(std::integral_constant<int, I + 1>{}), ...);
    }(std::make_integer_sequence<int, kNumBands>{});
    return p;
}

}  // namespace plumbra
