// The twelve band processors: band split, detection, gate, envelopes, gain,
// linking, output rings and width detectors, in their fixed per-sample order.
#include "dsp/stages/band_bank.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "dsp/avx/avx_path.h"
#include "dsp/stages/band_bank_process.h"
#include "dsp/simd/chainmath.h"

#ifdef PLUMBRA_AVX_PATH
#include <cpuid.h>
#endif

namespace plumbra {

#ifdef PLUMBRA_AVX_PATH
bool avxAvailable()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
    if ((c & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
    // XCR0: the system saves the SSE (bit 1) and AVX (bit 2) register state.
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 6u) == 6u;
}
#endif

namespace {

constexpr float kQuarterPi = kPi / 4.0f;    // the gate factor's largest value, atan(1)
constexpr float kFastReleaseBase = 0.25f;   // fast envelope release 0.25 s .. 1.25 s
constexpr float kSlowReleaseBase = 2.0f;    // slow envelope release 2 s .. 3 s

// Sections of a band's split: Butterworth highpass at fL, Butterworth lowpass at fH.
BandSplitDesign designBandSplit(const BandDefinition& def, const RateConstants& rc)
{
    BandSplitDesign d{};
    // Edges at or above the Nyquist frequency would turn the bilinear design
    // unstable (below about 30 kHz the 15 kHz top edge is such a case).
    designButterworthHighpass(d.hp, kOutputCorners.prewarp(def.lowHz, rc));
    d.a0H = designButterworthLowpass(d.lp, kOutputCorners.prewarp(def.highHz, rc));
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
// A group of bands.

template <class V, class Ch>
void BandGroup<V, Ch>::design(int first, const RateConstants& rc)
{
    firstBand = first;
    firstGate = bandDefinition(first).gateIndex;
    hasOwn = false;
    for (int j = 0; j < kWidth; ++j) {
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
    width.design(rc);
}

template <class V, class Ch>
void BandGroup<V, Ch>::clear()
{
    hp1.clear();
    hp2.clear();
    lp1.clear();
    lp2.clear();
    detector.clear();
    bandRing.clear();
    fill(m, 0.0f);
    peak.clear();
    fill(p1, 0.0f);
    fill(p2, 0.0f);
    fill(gateArg, 0.0f);
    fill(gt, chainmath::atan(0.0f));
    fill(g, 0.0f);
    fill(gainLow, 0.0f);
    fill(gainHigh, 0.0f);
    sum.clear();
    diff.clear();
    widthDetector.clear();
    width.clear();
}

// ---------------------------------------------------------------------------
// The bank.

template <class V, class Ch>
void BandBankState<V, Ch>::design(const RateConstants& rc)
{
    times.design(rc);
    for (std::size_t i = 0; i < groups.size(); ++i)
        groups[i].design(static_cast<int>(i) * Group::kWidth + 1, rc);
    // Slow envelopes: release 2 s .. 3 s, rising-indicator hold 4 s, smoothing 0.5 s.
    slow.design(times.c4, times.c05, times.T, kSlowReleaseBase);
    // Fast envelopes: release 0.25 s .. 1.25 s, rising-indicator hold 0.5 s, smoothing 15 ms.
    fast.design(times.c05, times.c15, times.T, kFastReleaseBase);
    WidthDetectorT<V>::designFollowers(widthFollower, rc);
}

template <class V, class Ch>
void BandBankState<V, Ch>::clear()
{
    for (Group& g : groups) g.clear();
    slow.clear();
    fast.clear();
    widthFollower.clear();
    run = {};
}

template <class V, class Ch>
BandProbe BandBankState<V, Ch>::probe(int bandNumber) const
{
    const auto i = static_cast<std::size_t>(bandNumber - 1);
    const Group& grp = groups[i / Group::kWidth];
    const std::size_t j = i % Group::kWidth;
    BandProbe p{laneOf(grp.m, j), laneOf(fast.Es, i), laneOf(slow.Es, i), laneOf(grp.gt, j), laneOf(grp.g, j), 0.0f, 1.0f};
    if (bandDefinition(bandNumber).stereo) {
        p.wf = laneOf(grp.width.wf, j);
        p.cm = laneOf(grp.width.cm, j);
    }
    return p;
}

template <class V, class Ch>
void BandBankState<V, Ch>::resetMeters()
{
    // Finite extremes, so that the state's finiteness check never sees them.
    for (Group& g : groups) {
        fill(g.gainLow, std::numeric_limits<float>::max());
        fill(g.gainHigh, 0.0f);
    }
}

template <class V, class Ch>
BandMeterValues BandBankState<V, Ch>::meter(int bandNumber) const
{
    const auto i = static_cast<std::size_t>(bandNumber - 1);
    const Group& grp = groups[i / Group::kWidth];
    const std::size_t j = i % Group::kWidth;
    const bool stereo = bandDefinition(bandNumber).stereo;
    return {laneOf(grp.gainLow, j), laneOf(grp.gainHigh, j), laneOf(grp.gt, j) / kQuarterPi, laneOf(slow.Es, i),
            stereo ? laneOf(grp.width.wf, j) : 0.0f};
}

template struct BandBankState<float>;
template struct BandBankState<Lane4>;

template <class V>
void BandBankT<V>::design(const RateConstants& rc)
{
    // The band path, chosen here and never while processing.
    const char* force = std::getenv("PLUMBRA_FORCE_SSE2");
    useAvx(!(force && std::strcmp(force, "1") == 0));
    state.design(rc);
}

template <class V>
void BandBankT<V>::clear()
{
    state.clear();
    outputs = {};
}

template <class V>
void BandBankT<V>::processRun(const float* left, const float* right, int len, uint32_t n0, const BlockValues& bv)
{
#ifdef PLUMBRA_AVX_PATH
    if constexpr (std::is_same_v<V, Lane4>) {
        if (avx) {
            processBandsRunAvx(state, outputs.data(), left, right, len, n0, bv);
            return;
        }
    }
#endif
    if constexpr (std::is_same_v<V, float>)
        runBands(state, outputs.data(), left, right, len, n0, bv);
    else
        processBandsRun(state, outputs.data(), left, right, len, n0, bv);
}

bool avxPathIf(bool on)
{
#ifdef PLUMBRA_AVX_PATH
    return on && avxAvailable();
#else
    (void)on;
    return false;
#endif
}

template <class V>
bool BandBankT<V>::useAvx(bool on)
{
#ifdef PLUMBRA_AVX_PATH
    // Only where the AVX unit's copy of the state has the state's layout.
    on = on && bandBankLayoutAvx() == kBandBankLayout<Lane4>;
#endif
    avx = std::is_same_v<V, Lane4> && avxPathIf(on);
    return avx;
}

template class BandBankT<float>;
template class BandBankT<Lane4>;

}  // namespace plumbra
