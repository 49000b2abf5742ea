// The per-sample work of the band groups and the bank, as templates over the
// lane types: band_bank.cpp instantiates them with float lanes (the reference)
// and four SSE2 lanes per band group, band_bank_avx.cpp with eight AVX lanes
// per group's channels.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>
#include <utility>

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
V BandGroup<V, Ch>::detect(C band)
{
    const C magnitude = detector.process(band);
    return max(lowHalf(magnitude), highHalf(magnitude));
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
    const V Gk = loadFrom<V>(&bv.gateGain[firstGate]);
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
    const V applied = gtv * gv;  // for the meters only
    store(gainLow, min(load<V>(gainLow), applied));
    store(gainHigh, max(load<V>(gainHigh), applied));

    // The band signals of 1024 samples ago, levelled.
    const C ahead = bandRing.template tap<kBandLookAhead>(n);
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

// Gain linking of group K of W bands: band b's slow level E is its own
// smoothed slow envelope, or the largest of it and each linked neighbour's
// times the link gain, taken neighbour by neighbour in the order of the band
// table. For each neighbour slot t, the neighbours of all the group's lanes
// lie in one group, so that slot is one reordering of that group's envelopes.
template <int W, int K>
struct GroupLinking {
    static constexpr int kSlots = 3;
    static constexpr const BandDefinition& band(int j) { return bandDefinition(K * W + j + 1); }
    static constexpr bool linked(int t, int j) { return band(j).linkedTo[static_cast<std::size_t>(t)] != 0; }
    static constexpr int neighbour(int t, int j) { return band(j).linkedTo[static_cast<std::size_t>(t)] - 1; }
    static constexpr bool anyLinked(int t)
    {
        for (int j = 0; j < W; ++j)
            if (linked(t, j)) return true;
        return false;
    }
    // The group holding slot t's neighbours.
    static constexpr int sourceGroup(int t)
    {
        for (int j = 0; j < W; ++j)
            if (linked(t, j)) return neighbour(t, j) / W;
        return K;
    }
    // The lane of neighbour t of lane j in that group (j itself where there is none).
    static constexpr int sourceLane(int t, int j) { return linked(t, j) ? neighbour(t, j) % W : j; }
    static constexpr bool slotsInOneGroup()
    {
        for (int t = 0; t < kSlots; ++t)
            for (int j = 0; j < W; ++j)
                if (linked(t, j) && neighbour(t, j) / W != sourceGroup(t)) return false;
        return true;
    }
    static_assert(slotsInOneGroup());

    // The link gain of each lane, 0 where the band is not linked.
    template <class V>
    static V gains(const BlockValues& bv)
    {
        std::array<float, W> g{};
        for (int j = 0; j < W; ++j) {
            const LinkGain l = band(j).link;
            g[static_cast<std::size_t>(j)] = l == LinkGain::bands5678 ? bv.link5678
                                             : l == LinkGain::band2To1 ? bv.link21
                                             : l == LinkGain::bands11To12 ? bv.link1112
                                                                          : 0.0f;
        }
        return loadFrom<V>(g.data());
    }

    // E of the group's lanes from the smoothed slow envelopes es of all groups.
    template <class V, std::size_t N>
    static V levels(const std::array<V, N>& es, V gains)
    {
        static_assert(kSlots == 3);
        V E = es[K];
        E = slot<0>(E, es, gains, std::make_integer_sequence<int, W>{});
        E = slot<1>(E, es, gains, std::make_integer_sequence<int, W>{});
        return slot<2>(E, es, gains, std::make_integer_sequence<int, W>{});
    }

private:
    // E after neighbour slot T.
    template <int T, class V, std::size_t N, int... J>
    static V slot(V E, const std::array<V, N>& es, V gains, std::integer_sequence<int, J...>)
    {
        if constexpr (anyLinked(T)) {
            const V n = permute<sourceLane(T, J)...>(es[sourceGroup(T)]);
            return select(laneMask<linked(T, J)...>(V{}), max(E, gains * n), E);
        } else {
            return E;
        }
    }
};

// f(group, k, i) for every sample i of a run and, within it, every group k
// (a std::integral_constant): the groups' chains of one sample do not depend
// on each other, so they overlap.
template <class G, std::size_t N, class F>
[[gnu::always_inline]] inline void forRunAndGroups(std::array<G, N>& groups, int len, F f)
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i)
        [&]<std::size_t... K>(std::index_sequence<K...>) {
            (f(groups[K], std::integral_constant<std::size_t, K>{}, i), ...);
        }(std::make_index_sequence<N>{});
}

// A run through all bands (BandBankT::processRun); out[i] receives what the
// band mix needs for sample i. Each stage goes over the whole run, the groups
// side by side, before the next stage, so that a stage's loop is short and its
// recursions (one per group) overlap; every section still sees its samples in
// order, so the bits are those of the sample-by-sample order.
template <class V, class Ch>
inline void runBands(BandBankState<V, Ch>& s, BandOutputs* out, const float* left, const float* right, int len, uint32_t n0,
                     const BlockValues& bv)
{
    using State = BandBankState<V, Ch>;
    using G = typename State::Group;
    using C = Ch;
    using Bands = typename State::Bands;
    using BandChannels = typename State::BandChannels;
    constexpr int kGroups = State::kGroups;
    auto& run = s.run;
    auto& groups = s.groups;

    // Every band's analysis first: it depends on the input alone, and the gains
    // of the linked bands read slow envelopes of their neighbours of the same
    // sample.
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
        const C in = joinHalves(splat<V>(left[i]), splat<V>(right[i]), C{});
        for (auto& band : run.band) store(band[i], in);
    }
    // The band split, section by section. (The stages' lambdas are inlined
    // whatever the compiler's size limits say: a call per group and sample
    // would cost more than the stage.)
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        store(run.band[k][i], g.hp1.processHighpass(load<C>(run.band[k][i])));
    });
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        store(run.band[k][i], g.hp2.processHighpass(load<C>(run.band[k][i])));
    });
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        store(run.band[k][i], g.lp1.processLowpass(load<C>(run.band[k][i])));
    });
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        store(run.magnitude[k][i], g.detect(g.bandOutput(load<C>(run.band[k][i]), n0 + static_cast<uint32_t>(i))));
    });
    // The peaks the fast envelopes follow, and the gate peaks.
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        const V mv = load<V>(run.magnitude[k][i]);
        store(run.peak[k][i], g.peakOf(mv, bv));
        store(run.gatePeak[k][i], g.gate(mv, bv, s.times));
    });
    // The slow and fast envelopes of every band at once: their long recursions
    // through the release exponential interleave operation by operation.
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
        s.slow.process(spreadOf<Bands, kGroups, 0, V>([&](int k) { return load<V>(run.magnitude[k][i]); }));
        store(run.slowEs[i], load<Bands>(s.slow.Es));
        s.fast.process(spreadOf<Bands, kGroups, 0, V>([&](int k) { return load<V>(run.peak[k][i]); }));
        store(run.fastEs[i], load<Bands>(s.fast.Es));
    }
    // The gate factors in a loop of their own: the arctangents carry nothing
    // from sample to sample, so its samples overlap.
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        store(run.gateFactor[k][i], g.gateFactor(load<V>(run.gatePeak[k][i])));
    });

    // Slow levels after linking, then gains, levelled outputs and width
    // detection, each group reading only its own bands' levelled signals.
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        const std::array<V, kGroups> gains{GroupLinking<G::kWidth, K>::template gains<V>(bv)...};
        for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
            const std::array<V, kGroups> es{load<V>(groupMem<kGroups, K>(run.slowEs[i]))...};
            const std::array<V, kGroups> E{GroupLinking<G::kWidth, K>::levels(es, gains[K])...};
            (store(run.levelled[K][i], groups[K].level(n0 + static_cast<uint32_t>(i), E[K],
                                                       load<V>(groupMem<kGroups, K>(run.fastEs[i])),
                                                       load<V>(run.gateFactor[K][i]), bv)),
             ...);
        }
    }(std::make_index_sequence<kGroups>{});
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        store(run.levelled[k][i], g.widthDetector.process(load<C>(run.levelled[k][i])));
    });
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
        s.widthFollower.process(
            spreadOf<BandChannels, kGroups, 0, C>([&](int k) { return load<C>(run.levelled[k][i]); }));
        store(run.widthEs[i], load<BandChannels>(s.widthFollower.Es));
    }
    // The width decisions in three loops (see WidthDetectorT::decide): the
    // tangents in between depend on nothing before, so that loop's samples
    // overlap, where in one loop each sample would wait on its tangents.
    forRunAndGroups(groups, len, [&](G& g, auto k, std::size_t i) __attribute__((always_inline)) {
        const C es = load<C>(groupMem<kGroups, decltype(k)::value>(run.widthEs[i]));
        store(run.curve[k][i], g.width.ratio(lowHalf(es), highHalf(es)));
    });
    forRunAndGroups(groups, len, [&](G&, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        store(run.curve[k][i], G::Width::curve(load<V>(run.curve[k][i])));
    });
    forRunAndGroups(groups, len, [&](G& g, std::size_t k, std::size_t i) __attribute__((always_inline)) {
        g.width.settle(load<V>(run.curve[k][i]));
        const std::size_t first = k * static_cast<std::size_t>(G::kWidth);
        storeTo(&out[i].width[first], load<V>(g.width.wf));
        storeTo(&out[i].monoGain[first], load<V>(g.width.cm));
    });

    // The band outputs the mix reads.
    for (std::size_t i = 0; i < static_cast<std::size_t>(len); ++i) {
        const uint32_t n = n0 + static_cast<uint32_t>(i);
        for (std::size_t k = 0; k < groups.size(); ++k) {
            const std::size_t first = k * static_cast<std::size_t>(G::kWidth);
            storeTo(&out[i].sum[first], groups[k].sum.template tap<kBandMixDelay>(n));
            storeTo(&out[i].diff[first], groups[k].diff.template tap<kBandMixDelay>(n));
        }
    }
}

// runBands with every call inlined, for the processor's packed banks. (The
// float reference runs runBands as it is: flattened over its twelve groups it
// would only take long to compile.)
template <class V, class Ch>
[[gnu::flatten]] void processBandsRun(BandBankState<V, Ch>& s, BandOutputs* out, const float* left, const float* right,
                                      int len, uint32_t n0, const BlockValues& bv)
{
    runBands(s, out, left, right, len, n0, bv);
}

}  // namespace plumbra
