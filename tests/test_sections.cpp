// Building blocks against the plain forms they stand in for, bit for bit:
// the sliding maximum of the peak detectors against a scan of a cleared ring,
// and the Butterworth section shortcuts against the general section.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "dsp/sections.h"

namespace {

// The scan the sliding maximum replaces: zeros before the first value,
// std::max from the newest value back over W values.
template <uint32_t W>
float scan(const std::vector<float>& x, std::size_t n)
{
    auto at = [&](std::size_t back) { return back > n ? 0.0f : x[n - back]; };
    float m = at(0);
    for (uint32_t d = 1; d < W; ++d) m = std::max(m, at(d));
    return m;
}

template <uint32_t W>
void expectSameAsScan(const std::vector<float>& x)
{
    plumbra::SlidingMax<W> s;
    s.clear();
    for (std::size_t n = 0; n < x.size(); ++n) {
        const float got = s.push(x[n]);
        const float want = scan<W>(x, n);
        ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want)) << "W " << W << ", sample " << n;
    }
}

std::vector<float> randomValues(std::size_t n, unsigned seed, bool specials)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<float> x(n);
    float level = 1.0f;
    for (std::size_t i = 0; i < n; ++i) {
        if (pick(rng) == 0) level = std::pow(10.0f, -4.0f * u(rng));  // level steps
        x[i] = level * u(rng);
        if (pick(rng) < 3) x[i] = x[i > 0 ? i - 1 : 0];                // repeated values
        if (specials && pick(rng) == 0) {
            const int k = pick(rng) % 3;
            x[i] = k == 0 ? std::numeric_limits<float>::quiet_NaN()
                   : k == 1 ? std::numeric_limits<float>::infinity()
                            : -std::numeric_limits<float>::infinity();
        }
    }
    return x;
}

TEST(SlidingMax, EqualsTheScanOfTheLastValues)
{
    expectSameAsScan<44>(randomValues(20000, 1, false));
    expectSameAsScan<5>(randomValues(5000, 2, false));
    expectSameAsScan<2>(randomValues(500, 3, false));
    // A falling ramp keeps every value a candidate; a rising one none.
    std::vector<float> ramp(300);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = 1000.0f - static_cast<float>(i);
    expectSameAsScan<44>(ramp);
    std::reverse(ramp.begin(), ramp.end());
    expectSameAsScan<44>(ramp);
}

TEST(SlidingMax, NanAndInfinitiesAsTheScan)
{
    expectSameAsScan<44>(randomValues(20000, 4, true));
    expectSameAsScan<5>(randomValues(5000, 5, true));
}

// Four streams side by side give each stream's scalar maxima bit for bit,
// NaN and infinities included, whatever the other lanes hold.
TEST(SlidingMax, FourLanesGiveEachStreamsScalarMaxima)
{
    constexpr uint32_t W = 44;
    std::array<std::vector<float>, 4> x = {randomValues(6000, 7, false), randomValues(6000, 8, true),
                                           randomValues(6000, 9, false), randomValues(6000, 10, true)};
    for (float& v : x[2]) v = -v;  // negative values: the cleared zeros are the maximum at first
    plumbra::SlidingMaxX4<W> packed;
    packed.clear();
    std::array<plumbra::SlidingMax<W>, 4> scalar;
    for (auto& s : scalar) s.clear();
    for (std::size_t n = 0; n < x[0].size(); ++n) {
        alignas(16) float got[4];
        _mm_store_ps(got, packed.push(_mm_setr_ps(x[0][n], x[1][n], x[2][n], x[3][n])));
        for (std::size_t j = 0; j < 4; ++j) {
            const float want = scalar[j].push(x[j][n]);
            ASSERT_EQ(std::bit_cast<uint32_t>(got[j]), std::bit_cast<uint32_t>(want)) << "lane " << j << ", sample " << n;
        }
    }
}

// The Butterworth lowpass and highpass shortcuts skip the numerator products
// with 1; the general section must give the same bits for any input.
TEST(Sos, ButterworthShortcutsGiveTheGeneralSectionsBits)
{
    std::mt19937 rng(6);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (float k : {0.5f, 1.0f, 3.3f, 47.0f, 6111.0f}) {
        for (float d : {1.4142135f, 0.26105237f, 1.9828898f}) {
            plumbra::Sos lpA{}, lpB{}, hpA{}, hpB{};
            plumbra::designButterworthLowpass(lpA, k, d);
            plumbra::designButterworthHighpass(hpA, k, d);
            lpA.clear();
            hpA.clear();
            lpB = lpA;
            hpB = hpA;
            for (int i = 0; i < 2000; ++i) {
                const float x = i % 500 == 0 ? 0.0f : u(rng) * (i % 3 == 0 ? 1e-3f : 1.0f);
                ASSERT_EQ(std::bit_cast<uint32_t>(lpA.process(x)), std::bit_cast<uint32_t>(lpB.processLowpass(x)))
                    << "k " << k << " d " << d << " sample " << i;
                ASSERT_EQ(std::bit_cast<uint32_t>(hpA.process(x)), std::bit_cast<uint32_t>(hpB.processHighpass(x)))
                    << "k " << k << " d " << d << " sample " << i;
            }
        }
    }
    // A gain other than 1 (the width detector's curve smoother) is kept.
    plumbra::SosCascade<2> a{}, b{};
    plumbra::designButterworthLowpass(a.s[0], 20.0f);
    plumbra::designButterworthLowpass(a.s[1], 20.0f, 0.7653669f);
    a.s[1].g = 2.2387211f;
    a.clear();
    b = a;
    for (int i = 0; i < 2000; ++i) {
        const float x = u(rng);
        ASSERT_EQ(std::bit_cast<uint32_t>(a.process(x)), std::bit_cast<uint32_t>(b.processLowpass(x))) << i;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The allpass section run by run (over a whole run of samples before the next
// section) against the same section sample by sample: bit for bit, for runs of
// every length up to the longest, odd lengths included (the histories
// alternate with the sample parity).

namespace {

std::vector<int> runLengths(std::size_t total, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> len(1, plumbra::kRunLength);
    std::vector<int> runs;
    for (std::size_t done = 0; done < total;) {
        const int n = std::min<int>(len(rng), static_cast<int>(total - done));
        runs.push_back(n);
        done += static_cast<std::size_t>(n);
    }
    return runs;
}

std::vector<std::array<float, 4>> randomFrames(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<std::array<float, 4>> x(n);
    for (std::size_t i = 0; i < n; ++i)
        for (float& v : x[i]) v = (i / 500) % 3 == 2 ? 0.0f : u(rng) * ((i / 250) % 2 ? 1e-3f : 1.0f);
    return x;
}

}  // namespace

TEST(Runs, AllpassSectionGivesTheSampleBySampleBits)
{
    plumbra::AllpassZ2 run{}, one{};
    run.c = one.c = 0.8561711f;
    run.clear();
    one.clear();
    const auto x = randomFrames(3000, 23);
    std::size_t at = 0;
    uint32_t n = 7;  // an odd start: the parity slots do not start at 0
    for (int len : runLengths(x.size(), 24)) {
        float v[plumbra::kRunLength];
        for (int i = 0; i < len; ++i) v[i] = x[at + static_cast<std::size_t>(i)][0];
        run.processRun(v, len, n);
        for (int i = 0; i < len; ++i, ++at, ++n)
            ASSERT_EQ(std::bit_cast<uint32_t>(v[i]), std::bit_cast<uint32_t>(one.process(x[at][0], n))) << "sample " << at;
    }
}
