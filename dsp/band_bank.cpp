// The twelve band processors: band split, detection, gate, envelopes, gain,
// linking, output rings and width detectors, in their fixed per-sample order.
#include "dsp/band_bank.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "dsp/chainmath.h"

namespace plumbra {

namespace {

constexpr float kFastReleaseBase = 0.25f;   // fast envelope release 0.25 s .. 1.25 s
constexpr float kSlowReleaseBase = 2.0f;    // slow envelope release 2 s .. 3 s

// Band edges at or above the Nyquist frequency would turn the bilinear design
// unstable (at rates below about 30 kHz the 15 kHz top edge is such a case), so
// an edge is held just below it; at 44.1 kHz and above no edge is affected.
constexpr float kMaxEdgeFraction = 0.49f;

float edge(float hz, const RateConstants& rc) { return cornerBelowNyquist(hz, kMaxEdgeFraction, rc); }

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
// A group of four bands.

template <class V>
void BandGroup<V>::design(int first, const BandTimeConstants& tc, const RateConstants& rc)
{
    firstBand = first;
    hasOwn = false;
    for (int j = 0; j < kBandsPerGroup; ++j) {
        const BandDefinition& def = bandDefinition(first + j);
        const BandSplitDesign d = designBandSplit(def, rc);
        const auto b = static_cast<std::size_t>(j);
        for (std::size_t c = 0; c < 2; ++c) {
            const std::size_t lane = c * kLanesOf<V> + b;
            hp1.setLane(lane, d.hp);
            hp2.setLane(lane, d.hp);
            lp1.setLane(lane, d.lp);
            lp2.setLane(lane, d.lp);
            laneOf(ra0H, lane) = 1.0f / d.a0H;
        }
        laneOf(cg, b) = onePole(def.gateRelease, rc);
        laneOf(omcg, b) = 1.0f - laneOf(cg, b);
        // A valid argument and result pair, whatever the state.
        laneOf(gateArg, b) = 0.0f;
        laneOf(gt, b) = chainmath::atan(0.0f);
        laneOf(outScale, b) = def.polarity * (def.scale / d.a0H);
        laneOf(own, b) = def.ownFloorAndLevel ? 1.0f : 0.0f;
        hasOwn = hasOwn || def.ownFloorAndLevel;
        laneOf(polarity, b) = def.polarity;
        laneOf(ownScale, b) = 1.0f / d.a0H;
    }
    // Slow envelopes: release 2 s .. 3 s, rising-indicator hold 4 s, smoothing 0.5 s.
    slow.design(tc.c4, tc.c05, tc.T, kSlowReleaseBase);
    // Fast envelopes: release 0.25 s .. 1.25 s, rising-indicator hold 0.5 s, smoothing 15 ms.
    fast.design(tc.c05, tc.c15, tc.T, kFastReleaseBase);
    width.design(rc);
    WidthDetectorT<V>::designFollowers(widthFollower, rc);
}

template <class V>
void BandGroup<V>::clear()
{
    hp1.clear();
    hp2.clear();
    lp1.clear();
    lp2.clear();
    detector.clear();
    bandRing.clear();
    fill(m, 0.0f);
    slow.clear();
    fast.clear();
    peak.clear();
    fill(p1, 0.0f);
    fill(p2, 0.0f);
    fill(gateArg, 0.0f);
    fill(gt, chainmath::atan(0.0f));
    fill(g, 0.0f);
    sum.clear();
    diff.clear();
    widthDetector.clear();
    widthFollower.clear();
    width.clear();
}

template <class V>
typename BandGroup<V>::C BandGroup<V>::split(float left, float right, uint32_t n)
{
    const C x{splat<V>(left), splat<V>(right)};
    const C x3 = lp1.processLowpass(hp2.processHighpass(hp1.processHighpass(x)));
    C w1v, w2v;
    const C w = lp2.recurse(x3, w1v, w2v);
    const C scaled = SosT<C>::lowpassSum(w, w1v, w2v);  // a0H * band output
    bandRing.write(n, scaled);
    return scaled * load<C>(ra0H);
}

template <class V>
V BandGroup<V>::detect(C band)
{
    const C magnitude = detector.process(band);
    const V mv = max(magnitude.lo, magnitude.hi);
    store(m, mv);
    return mv;
}

template <class V>
void BandGroup<V>::followPeaks(const BlockValues& bv)
{
    // Fast envelope of the 44-sample peaks of the floored magnitude.
    const V floor = select(greater(load<V>(own), splat<V>(0.0f)), splat<V>(bv.floorB1t), splat<V>(bv.floorMt));
    fast.process(peak.push(max(floor, load<V>(m))));
}

template <class V>
typename BandGroup<V>::C BandGroup<V>::level(uint32_t n, V E, const BlockValues& bv, const BandTimeConstants& tc)
{
    const V zero = splat<V>(0.0f);
    const auto ownBand = greater(load<V>(own), zero);
    const V mv = load<V>(m);

    // Gate: instant attack, release cg, 30 ms smoothing; atan keeps it below pi/4.
    const V Gk = loadFrom<V>(&bv.gateGain[firstBand - 1]);
    const V q = min(splat<V>(1.0f), Gk * mv);
    const V p1v = max(q, load<V>(cg) * load<V>(p1) + load<V>(omcg) * q);
    store(p1, p1v);
    const V p2v = splat<V>(tc.cs) * load<V>(p2) + splat<V>(tc.omcs) * p1v;
    store(p2, p2v);
    // A gate at rest keeps p2, and with it atan(p2), from sample to sample.
    if (bitsDiffer(p2v, gateArg)) {
        store(gateArg, p2v);
        store(gt, laneAtan(p2v));
    }

    // Gain: the larger of the fast level and the (linked) slow level 2 dB down.
    const V den = max(max(load<V>(fast.Es), splat<V>(kLevelSpread) * E), splat<V>(kPowerFloor));
    const V gv = splat<V>(1.0f) / den;
    store(g, gv);

    // The band signals of 1024 samples ago, levelled.
    const C ahead = bandRing.tap(n, BandBank::kLookAhead);
    const V lL = ahead.lo;
    const V lR = ahead.hi;
    const V scale = load<V>(outScale);
    const V gtv = load<V>(gt);
    auto levelled = [&](V v) { return ((scale * v) * gtv) * gv; };
    V levelledSum = levelled(lL + lR);
    if (hasOwn) {
        // A band with its own level V1 applies its polarity last.
        const V ownSum = (load<V>(polarity) * (((gtv * (lL + lR)) * splat<V>(bv.band1Out)) * load<V>(ownScale))) / den;
        levelledSum = select(ownBand, ownSum, levelledSum);
    }
    sum.write(n, levelledSum);
    diff.write(n, levelled(lL - lR));

    return C{levelled(lL), levelled(lR)};
}

template struct BandGroup<Lane4>;

// ---------------------------------------------------------------------------
// The bank.

void BandBank::design(const RateConstants& rc)
{
    times.design(rc);
    for (std::size_t i = 0; i < groups.size(); ++i)
        groups[i].design(static_cast<int>(i) * kBandsPerGroup + 1, times, rc);
}

void BandBank::clear()
{
    for (Group& g : groups) g.clear();
}

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

BandOutputs BandBank::process(float left, float right, uint32_t n, const BlockValues& bv)
{
    // Every band's split and detection first: they depend on the input alone,
    // and the gains of bands 1, 6, 7 and 12 read slow envelopes of their
    // neighbours of this sample (band 2; bands 5, 7 and 8; bands 5, 6 and 8;
    // band 11).
    // Each phase for all groups before the next, so that the groups' long
    // dependent chains overlap.
    std::array<Group::C, kBandGroups> band;
    std::array<Lane4, kBandGroups> magnitude;
    for (std::size_t i = 0; i < groups.size(); ++i) band[i] = groups[i].split(left, right, n);
    for (std::size_t i = 0; i < groups.size(); ++i) magnitude[i] = groups[i].detect(band[i]);
    for (std::size_t i = 0; i < groups.size(); ++i) groups[i].slow.process(magnitude[i]);
    for (Group& g : groups) g.followPeaks(bv);

    // Slow levels after linking.
    std::array<float, kNumBands> linked;
    [&]<int... I>(std::integer_sequence<int, I...>) {
        ((linked[I] = linkedLevel<I + 1>(bv)), ...);
    }(std::make_integer_sequence<int, kNumBands>{});

    // Gates, gains and levelled outputs.
    std::array<Group::C, kBandGroups> levelled;
    for (std::size_t i = 0; i < groups.size(); ++i)
        levelled[i] = groups[i].level(n, loadFrom<Lane4>(&linked[i * kBandsPerGroup]), bv, times);

    // The width detectors last, each reading only its own bands' levelled
    // signals: the magnitudes of all groups, their envelopes, then the
    // decisions, so that the long dependent chains of several groups overlap.
    for (std::size_t i = 0; i < groups.size(); ++i) levelled[i] = groups[i].widthDetector.process(levelled[i]);
    for (std::size_t i = 0; i < groups.size(); ++i) groups[i].widthFollower.process(levelled[i]);
    for (Group& g : groups) g.decideWidth();

    BandOutputs out;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const Group& grp = groups[i];
        Mem<Lane4> s, d;
        store(s, grp.sum.tap(n, kMixDelay));
        store(d, grp.diff.tap(n, kMixDelay));
        for (std::size_t j = 0; j < kBandsPerGroup; ++j) {
            const int band = static_cast<int>(i * kBandsPerGroup + j) + 1;
            if (band == 1) out.m1 = s[j];
            if (band == 2) out.m2 = s[j];
            if (band < 3) continue;
            const auto k = static_cast<std::size_t>(band - 3);
            out.sum[k] = s[j];
            out.diff[k] = d[j];
            out.width[k] = grp.width.wf[j];
            out.monoGain[k] = grp.width.cm[j];
        }
    }
    return out;
}

BandProbe BandBank::probe(int bandNumber) const
{
    const auto i = static_cast<std::size_t>(bandNumber - 1);
    const Group& grp = groups[i / kBandsPerGroup];
    const std::size_t j = i % kBandsPerGroup;
    BandProbe p{laneOf(grp.m, j), laneOf(grp.fast.Es, j), laneOf(grp.slow.Es, j), laneOf(grp.gt, j),
                laneOf(grp.g, j), 0.0f, 1.0f};
    if (bandDefinition(bandNumber).stereo) {
        p.wf = laneOf(grp.width.wf, j);
        p.cm = laneOf(grp.width.cm, j);
    }
    return p;
}

}  // namespace plumbra
