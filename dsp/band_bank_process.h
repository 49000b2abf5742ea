// The per-sample work of the band groups and the bank, as templates over the
// lane types: band_bank.cpp instantiates them with four SSE2 lanes per channel
// group, band_bank_avx.cpp with eight AVX lanes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "dsp/band_bank.h"

namespace plumbra {

template <class V, class Ch>
typename BandGroup<V, Ch>::C BandGroup<V, Ch>::split(float left, float right, uint32_t n)
{
    const C x = joinHalves(splat<V>(left), splat<V>(right), C{});
    const C x3 = lp1.processLowpass(hp2.processHighpass(hp1.processHighpass(x)));
    C w1v, w2v;
    const C w = lp2.recurse(x3, w1v, w2v);
    const C scaled = SosT<C>::lowpassSum(w, w1v, w2v);  // a0H * band output
    bandRing.write(n, scaled);
    return scaled * load<C>(ra0H);
}

template <class V, class Ch>
V BandGroup<V, Ch>::detect(C band)
{
    const C magnitude = detector.process(band);
    const V mv = max(lowHalf(magnitude), highHalf(magnitude));
    store(m, mv);
    return mv;
}

template <class V, class Ch>
void BandGroup<V, Ch>::followPeaks(const BlockValues& bv)
{
    // Fast envelope of the 44-sample peaks of the floored magnitude.
    const V floor = select(greater(load<V>(own), splat<V>(0.0f)), splat<V>(bv.floorB1t), splat<V>(bv.floorMt));
    fast.process(peak.push(max(floor, load<V>(m))));
}

template <class V, class Ch>
typename BandGroup<V, Ch>::C BandGroup<V, Ch>::level(uint32_t n, V E, const BlockValues& bv, const BandTimeConstants& tc)
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
    const V lL = lowHalf(ahead);
    const V lR = highHalf(ahead);
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

    return joinHalves(levelled(lL), levelled(lR), C{});
}

// ---------------------------------------------------------------------------
// The bank.

// Band N's smoothed slow envelope e2s.
template <int N, class G>
float slowLevel(const std::array<G, kBandGroups>& groups)
{
    constexpr std::size_t i = N - 1;
    return laneOf(groups[i / kBandsPerGroup].slow.Es, i % kBandsPerGroup);
}

// The band's slow level E: its own smoothed slow envelope, or the largest of
// it and the linked neighbours' times the link gain.
template <int N, class G>
float linkedLevel(const std::array<G, kBandGroups>& groups, const BlockValues& bv)
{
    constexpr BandDefinition def = bandDefinition(N);
    float E = slowLevel<N>(groups);
    if constexpr (def.link != LinkGain::none) {
        const float L = def.link == LinkGain::bands5678  ? bv.link5678
                        : def.link == LinkGain::band2To1 ? bv.link21
                                                          : bv.link1112;
        if constexpr (def.linkedTo[0] != 0) E = std::max(E, L * slowLevel<def.linkedTo[0]>(groups));
        if constexpr (def.linkedTo[1] != 0) E = std::max(E, L * slowLevel<def.linkedTo[1]>(groups));
        if constexpr (def.linkedTo[2] != 0) E = std::max(E, L * slowLevel<def.linkedTo[2]>(groups));
    }
    return E;
}

// One sample through all band groups (BandBank::process).
template <class G>
BandOutputs processBands(std::array<G, kBandGroups>& groups, const BandTimeConstants& times, float left, float right,
                         uint32_t n, const BlockValues& bv)
{
    using V = typename G::Lanes;
    constexpr uint32_t kMixDelay = BandBank::kMixDelay;
    // Every band's split and detection first: they depend on the input alone,
    // and the gains of bands 1, 6, 7 and 12 read slow envelopes of their
    // neighbours of this sample (band 2; bands 5, 7 and 8; bands 5, 6 and 8;
    // band 11).
    // Each phase for all groups before the next, so that the groups' long
    // dependent chains overlap.
    std::array<typename G::C, kBandGroups> band;
    std::array<V, kBandGroups> magnitude;
    for (std::size_t i = 0; i < groups.size(); ++i) band[i] = groups[i].split(left, right, n);
    for (std::size_t i = 0; i < groups.size(); ++i) magnitude[i] = groups[i].detect(band[i]);
    for (std::size_t i = 0; i < groups.size(); ++i) groups[i].slow.process(magnitude[i]);
    for (G& g : groups) g.followPeaks(bv);

    // Slow levels after linking.
    std::array<float, kNumBands> linked;
    [&]<int... I>(std::integer_sequence<int, I...>) {
        ((linked[I] = linkedLevel<I + 1>(groups, bv)), ...);
    }(std::make_integer_sequence<int, kNumBands>{});

    // Gates, gains and levelled outputs.
    std::array<typename G::C, kBandGroups> levelled;
    for (std::size_t i = 0; i < groups.size(); ++i)
        levelled[i] = groups[i].level(n, loadFrom<V>(&linked[i * kBandsPerGroup]), bv, times);

    // The width detectors last, each reading only its own bands' levelled
    // signals: the magnitudes of all groups, their envelopes, then the
    // decisions, so that the long dependent chains of several groups overlap.
    for (std::size_t i = 0; i < groups.size(); ++i) levelled[i] = groups[i].widthDetector.process(levelled[i]);
    for (std::size_t i = 0; i < groups.size(); ++i) groups[i].widthFollower.process(levelled[i]);
    for (G& g : groups) g.decideWidth();

    BandOutputs out;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const G& grp = groups[i];
        Mem<V> s, d;
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

}  // namespace plumbra
