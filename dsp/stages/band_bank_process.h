// The per-sample work of the band groups and the bank, as templates over the
// lane types: band_bank.cpp instantiates them with four SSE2 lanes per channel
// group, band_bank_avx.cpp with eight AVX lanes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include <emmintrin.h>

#include "dsp/stages/band_bank.h"

namespace plumbra {

template <class V, class Ch>
typename BandGroup<V, Ch>::C BandGroup<V, Ch>::bandOutput(C x3, uint32_t n)
{
    C w1v, w2v;
    const C w = lp2.recurse(x3, w1v, w2v);
    const C scaled = SosT<C>::lowpassSum(w, w1v, w2v);  // a0H * band output
    bandRing.write(n, scaled);
    return scaled * load<C>(ra0H);
}

template <class V, class Ch>
typename BandGroup<V, Ch>::C BandGroup<V, Ch>::detect(C band)
{
    const C magnitude = detector.process(band);
    const V mv = max(lowHalf(magnitude), highHalf(magnitude));
    return joinHalves(mv, mv, C{});
}

template <class V, class Ch>
[[gnu::always_inline]] inline V BandGroup<V, Ch>::peakOf(V mv, const BlockValues& bv)
{
    // The 44-sample peaks of the floored magnitude.
    const V floor = select(greater(load<V>(own), splat<V>(0.0f)), splat<V>(bv.floorB1t), splat<V>(bv.floorMt));
    return peak.push(max(floor, mv));
}

template <class V, class Ch>
V BandGroup<V, Ch>::gate(V mv, const BlockValues& bv, const BandTimeConstants& tc)
{
    store(m, mv);
    // Gate: instant attack, release cg, 30 ms smoothing.
    const V Gk = loadFrom<V>(&bv.gateGain[firstBand - 1]);
    const V q = min(splat<V>(1.0f), Gk * mv);
    const V p1v = max(q, load<V>(cg) * load<V>(p1) + load<V>(omcg) * q);
    store(p1, p1v);
    const V p2v = splat<V>(tc.cs) * load<V>(p2) + splat<V>(tc.omcs) * p1v;
    store(p2, p2v);
    return p2v;
}

template <class V, class Ch>
V BandGroup<V, Ch>::gateFactor(V p2v)
{
    // atan keeps it below pi/4. A gate at rest keeps p2, and with it atan(p2),
    // from sample to sample.
    refreshChanged(p2v, gateArg, gt, [](auto x) __attribute__((always_inline)) { return laneAtan(x); });
    return load<V>(gt);
}

template <class V, class Ch>
typename BandGroup<V, Ch>::C BandGroup<V, Ch>::level(uint32_t n, V E, V fastEs, V gtv, const BlockValues& bv)
{
    const V zero = splat<V>(0.0f);
    const auto ownBand = greater(load<V>(own), zero);

    // Gain: the larger of the fast level and the (linked) slow level 2 dB down.
    const V den = max(max(fastEs, splat<V>(kLevelSpread) * E), splat<V>(kPowerFloor));
    const V gv = splat<V>(1.0f) / den;
    store(g, gv);

    // The band signals of 1024 samples ago, levelled.
    const C ahead = bandRing.tap(n, BandBank::kLookAhead);
    const V lL = lowHalf(ahead);
    const V lR = highHalf(ahead);
    const V scale = load<V>(outScale);
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

// Gain linking within band group K: band b's slow level E is its own smoothed
// slow envelope, or the largest of it and each linked neighbour's times the
// link gain, taken neighbour by neighbour in the order of the band table. A
// band's neighbours are in its own group, so each neighbour slot t is one
// shuffle of the group's envelopes.
template <std::size_t K>
struct GroupLinking {
    static constexpr const BandDefinition& band(std::size_t j) { return bandDefinition(static_cast<int>(K * kBandsPerGroup + j) + 1); }
    static constexpr bool linked(std::size_t t, std::size_t j) { return band(j).linkedTo[t] != 0; }
    // The lane of neighbour t of lane j (j itself where there is none).
    static constexpr int source(std::size_t t, std::size_t j)
    {
        return linked(t, j) ? (band(j).linkedTo[t] - 1) % kBandsPerGroup : static_cast<int>(j);
    }
    static constexpr bool anyLinked(std::size_t t)
    {
        for (std::size_t j = 0; j < kBandsPerGroup; ++j)
            if (linked(t, j)) return true;
        return false;
    }
    static constexpr bool neighboursInGroup()
    {
        for (std::size_t j = 0; j < kBandsPerGroup; ++j)
            for (std::size_t t = 0; t < 3; ++t)
                if (linked(t, j) && static_cast<std::size_t>(band(j).linkedTo[t] - 1) / kBandsPerGroup != K) return false;
        return true;
    }
    static_assert(neighboursInGroup());

    // The link gain of each lane, 0 where the band is not linked.
    static Lane4 gains(const BlockValues& bv)
    {
        std::array<float, kBandsPerGroup> g{};
        for (std::size_t j = 0; j < kBandsPerGroup; ++j) {
            const LinkGain l = band(j).link;
            g[j] = l == LinkGain::bands5678 ? bv.link5678 : l == LinkGain::band2To1 ? bv.link21 : l == LinkGain::bands11To12 ? bv.link1112 : 0.0f;
        }
        return loadFrom<Lane4>(g.data());
    }

    // E of the group's lanes from their smoothed slow envelopes es.
    static Lane4 levels(Lane4 es, Lane4 gains)
    {
        Lane4 E = es;
        [&]<std::size_t... T>(std::index_sequence<T...>) {
            ([&] {
                if constexpr (anyLinked(T)) {
                    constexpr int order = _MM_SHUFFLE(source(T, 3), source(T, 2), source(T, 1), source(T, 0));
                    const Lane4 neighbour{_mm_shuffle_ps(es.v, es.v, order)};
                    const __m128i lanes = _mm_setr_epi32(linked(T, 0) ? -1 : 0, linked(T, 1) ? -1 : 0, linked(T, 2) ? -1 : 0,
                                                         linked(T, 3) ? -1 : 0);
                    E = select(Lane4{_mm_castsi128_ps(lanes)}, max(E, gains * neighbour), E);
                }
            }(), ...);
        }(std::make_index_sequence<3>{});
        return E;
    }
};

// f(group, k, i) for every sample i of a run and, within it, every group k:
// the groups' chains of one sample do not depend on each other, so they
// overlap.
template <class G, class F>
[[gnu::always_inline]] inline void forRunAndGroups(std::array<G, kBandGroups>& groups, int len, F f)
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i)
        [&]<std::size_t... K>(std::index_sequence<K...>) {
            (f(groups[K], K, i), ...);
        }(std::make_index_sequence<kBandGroups>{});
}

// A run through all band groups (BandBank::processRun); out[i] receives what
// the band mix needs for sample i. Each stage goes over the whole run, the
// groups side by side, before the next stage, so that a stage's loop is short
// and its recursions (one per group) overlap; every section still sees its
// samples in order, so the bits are those of the sample-by-sample order.
template <class G>
[[gnu::flatten]] void processBandsRun(std::array<G, kBandGroups>& groups, BandOutputs* out,
                                      const BandTimeConstants& times, const float* left, const float* right, int len,
                                      uint32_t n0, const BlockValues& bv)
{
    using V = typename G::Lanes;
    using C = typename G::C;
    constexpr uint32_t kMixDelay = BandBank::kMixDelay;
    std::array<std::array<C, kRunLength>, kBandGroups> x;  // each group's signal between stages

    // Every band's analysis first: it depends on the input alone, and the gains
    // of bands 1, 6, 7 and 12 read slow envelopes of their neighbours of the
    // same sample (band 2; bands 5, 7 and 8; bands 5, 6 and 8; band 11).
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
        const C in = joinHalves(splat<V>(left[i]), splat<V>(right[i]), C{});
        for (auto& xk : x) xk[i] = in;
    }
    // (The stages' lambdas are inlined whatever the compiler's size limits say:
    // a call per group and sample would cost more than the stage.)
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        x[k][i] = g.hp1.processHighpass(x[k][i]);
    });
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        x[k][i] = g.hp2.processHighpass(x[k][i]);
    });
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        x[k][i] = g.lp1.processLowpass(x[k][i]);
    });
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        x[k][i] = g.detect(g.bandOutput(x[k][i], n0 + static_cast<uint32_t>(i)));
    });
    // The envelope followers of the first two groups run as one follower of
    // twice the lanes (with AVX, one eight-lane vector), so that their long
    // recursions through the release exponential are interleaved operation by
    // operation; the third group's runs beside them.
    static_assert(kBandGroups == 3);
    RisingEnvelopeT<C> slow01, fast01;
    joinFollowers(slow01, groups[0].slow, groups[1].slow);
    joinFollowers(fast01, groups[0].fast, groups[1].fast);
    G& g2 = groups[2];
    // The peaks the fast envelopes follow, and the gate peaks.
    std::array<std::array<V, kRunLength>, kBandGroups> peaks;
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        peaks[k][i] = g.peakOf(lowHalf(x[k][i]), bv);
        store(g.run.gt[i], g.gate(lowHalf(x[k][i]), bv, times));
    });
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
        slow01.process(joinHalves(lowHalf(x[0][i]), lowHalf(x[1][i]), C{}));
        g2.slow.process(lowHalf(x[2][i]));
        const C s01 = load<C>(slow01.Es);
        store(groups[0].run.slowEs[i], lowHalf(s01));
        store(groups[1].run.slowEs[i], highHalf(s01));
        store(g2.run.slowEs[i], load<V>(g2.slow.Es));
        fast01.process(joinHalves(peaks[0][i], peaks[1][i], C{}));
        g2.fast.process(peaks[2][i]);
        const C f01 = load<C>(fast01.Es);
        store(groups[0].run.fastEs[i], lowHalf(f01));
        store(groups[1].run.fastEs[i], highHalf(f01));
        store(g2.run.fastEs[i], load<V>(g2.fast.Es));
    }
    splitFollowers(slow01, groups[0].slow, groups[1].slow);
    splitFollowers(fast01, groups[0].fast, groups[1].fast);
    // The gate factors of the smoothed gate peaks (in run.gt) in a loop of their
    // own: the arctangents carry nothing from sample to sample, so its samples
    // overlap.
    forRunAndGroups(groups, len, [&](G& g, std::size_t, std::size_t i) __attribute__((always_inline)) {
        store(g.run.gt[i], g.gateFactor(load<V>(g.run.gt[i])));
    });

    // Slow levels after linking.
    static_assert(std::is_same_v<V, Lane4>);
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        const std::array<Lane4, kBandGroups> gains{GroupLinking<K>::gains(bv)...};
        for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i)
            (store(groups[K].run.E[i], GroupLinking<K>::levels(load<V>(groups[K].run.slowEs[i]), gains[K])), ...);
    }(std::make_index_sequence<kBandGroups>{});

    // Gains, levelled outputs and width decisions, each group reading only its
    // own bands' levelled signals.
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        x[k][i] = g.level(n0 + static_cast<uint32_t>(i), load<V>(g.run.E[i]), load<V>(g.run.fastEs[i]),
                          load<V>(g.run.gt[i]), bv);
    });
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        x[k][i] = g.widthDetector.process(x[k][i]);
    });
    RisingEnvelopeT<Pair<C>> width01;
    joinFollowers(width01, groups[0].widthFollower, groups[1].widthFollower);
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
        width01.process(joinHalves(x[0][i], x[1][i], Pair<C>{}));
        g2.widthFollower.process(x[2][i]);
        const Pair<C> es01 = load<Pair<C>>(width01.Es);
        x[0][i] = lowHalf(es01);
        x[1][i] = highHalf(es01);
        x[2][i] = load<C>(g2.widthFollower.Es);
    }
    splitFollowers(width01, groups[0].widthFollower, groups[1].widthFollower);
    // The width decisions in three loops (see WidthDetectorT::decide): the
    // tangents in between depend on nothing before, so that loop's samples
    // overlap, where in one loop each sample would wait on its tangents.
    std::array<std::array<V, kRunLength>, kBandGroups> curve;
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        curve[k][i] = g.width.ratio(lowHalf(x[k][i]), highHalf(x[k][i]));
    });
    forRunAndGroups(groups, len, [&](G&, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        curve[k][i] = G::Width::curve(curve[k][i]);
    });
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        g.width.settle(curve[k][i]);
        out[i].width[k] = g.width.wf;
        out[i].monoGain[k] = g.width.cm;
    });

    // The band outputs the mix reads, each group's lanes as they are.
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
        const uint32_t n = n0 + static_cast<uint32_t>(i);
        BandOutputs& o = out[i];
        for (std::size_t k = 0; k < groups.size(); ++k) {
            const G& grp = groups[k];
            store(o.sum[k], grp.sum.tap(n, kMixDelay));
            store(o.diff[k], grp.diff.tap(n, kMixDelay));
        }
    }
}

}  // namespace plumbra
