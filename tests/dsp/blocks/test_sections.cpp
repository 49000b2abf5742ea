// Building blocks against the plain forms they stand in for, bit for bit:
// the sliding maximum of the peak detectors against a scan of a cleared ring,
// the Butterworth section shortcuts against the general section, and every
// section instantiated over packed lanes against its float instance.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "dsp/stages/decorrelator.h"
#include "dsp/stages/input_lowpass.h"
#include "dsp/stages/noise_reduction.h"
#include "dsp/stages/presence_eq.h"
#include "dsp/blocks/layout.h"
#include "dsp/blocks/output_sections.h"
#include "dsp/blocks/rising_envelope.h"
#include "dsp/blocks/width_detector.h"
#include "dsp/blocks/sections.h"

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

// The scaled lowpass (the noise reduction's detector smoothing) against its
// difference equation w = x - (a2*w2 + a1*w1)/a0, y = (w + 2w1 + w2)*scale/a0
// with scale/a0 one factor; with a scale of 1 it is the Butterworth lowpass.
TEST(Sos, ScaledLowpassIsTheButterworthLowpassScaled)
{
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (float k : {0.9f, 14.0f, 4410.0f}) {
        for (float scale : {1.0f, 500.0f, 0.03f}) {
            plumbra::Sos scaled{}, plain{};
            plumbra::designScaledLowpass(scaled, k, scale);
            const float a0 = plumbra::designButterworthLowpass(plain, k);
            scaled.clear();
            plain.clear();
            const float factor = scale / a0;
            float w1 = 0.0f, w2 = 0.0f;
            for (int i = 0; i < 3000; ++i) {
                const float x = i < 2000 ? u(rng) : 1.0f;
                const float w = x - (plain.a2 * w2 + plain.a1 * w1) * plain.ra0;
                const float want = (w + 2.0f * w1 + w2) * factor;
                w2 = w1;
                w1 = w;
                const float y = scaled.processScaledLowpass(x);
                ASSERT_EQ(std::bit_cast<uint32_t>(y), std::bit_cast<uint32_t>(want)) << "k " << k << " sample " << i;
                const float p = plain.processLowpass(x);
                if (scale == 1.0f) {
                    ASSERT_EQ(std::bit_cast<uint32_t>(y), std::bit_cast<uint32_t>(p)) << "k " << k << " sample " << i;
                }
                if (i == 2999 && k < 100.0f) {
                    EXPECT_NEAR(y / scale, 1.0f, 1e-3f) << "DC gain, k " << k;  // settled on the step
                }
            }
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Plain forms of the sections and stages, and stages run by run (over a whole
// run of samples before the next section) against sample by sample: bit for
// bit, for runs of every length up to the longest.

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

// One allpass in z^-2 as its difference equation out[n] = c*(in[n] + out[n-2])
// - in[n-2], its last two inputs and outputs shifted along: the plain form the
// analytic pair's and the decorrelator's parity slots and skewed lanes stand in for.
struct PlainAllpassZ2 {
    float c = 0.0f;
    float in1 = 0.0f, in2 = 0.0f, out1 = 0.0f, out2 = 0.0f;
    float process(float in)
    {
        const float out = c * (in + out2) - in2;
        in2 = in1;
        in1 = in;
        out2 = out1;
        out1 = out;
        return out;
    }
};

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

// The analytic pair against two plain chains of four allpasses: I[n] is path
// A one sample back, Q[n] path B, bit for bit, over programme with level steps
// and silence, before and after a clear.
TEST(Sections, AnalyticPairIsTwoChainsOfAllpasses)
{
    plumbra::AnalyticPair pair{};
    const auto x = randomFrames(5000, 19);
    for (int pass = 0; pass < 2; ++pass) {
        pair.clear();
        std::array<PlainAllpassZ2, 4> a{}, b{};
        for (std::size_t j = 0; j < 4; ++j) {
            a[j].c = plumbra::AnalyticPair::kPathA[j];
            b[j].c = plumbra::AnalyticPair::kPathB[j];
        }
        float aPrev = 0.0f;
        for (std::size_t n = 0; n < x.size(); ++n) {
            float va = x[n][pass], vb = x[n][pass];
            for (auto& s : a) va = s.process(va);
            for (auto& s : b) vb = s.process(vb);
            const plumbra::AnalyticPair::Out o = pair.process(x[n][pass]);
            ASSERT_EQ(std::bit_cast<uint32_t>(o.i), std::bit_cast<uint32_t>(aPrev)) << "sample " << n;
            ASSERT_EQ(std::bit_cast<uint32_t>(o.q), std::bit_cast<uint32_t>(vb)) << "sample " << n;
            aPrev = va;
        }
    }
}

// The layout print tells apart types that differ in size, alignment or the
// place of a member, and gives equal layouts one print.
namespace layouts {
struct A {
    float x;
    float y;
};
struct B {
    float x;
    float pad;
    float y;
};
struct alignas(16) C {
    float x;
    float y;
    float z[2];
};
struct D {
    float x;
    float y;
    float z[2];
};
}  // namespace layouts
TEST(Sections, LayoutPrintTellsLayoutsApart)
{
    using namespace layouts;
    constexpr uint64_t a = plumbra::layoutPrint<A>({offsetof(A, x), offsetof(A, y)});
    static_assert(a == plumbra::layoutPrint<A>({offsetof(A, x), offsetof(A, y)}));
    EXPECT_NE(a, plumbra::layoutPrint<B>({offsetof(B, x), offsetof(B, y)}));
    EXPECT_NE(a, plumbra::layoutPrint<A>({offsetof(A, y), offsetof(A, x)}));
    EXPECT_NE(plumbra::layoutPrint<C>({offsetof(C, x), offsetof(C, y)}), plumbra::layoutPrint<D>({offsetof(D, x), offsetof(D, y)}));
    static_assert(sizeof(C) == sizeof(D));  // only the alignment differs
}

// The input stages over runs of every length (the input lowpass's nine and
// the presence equaliser's four sections skewed in lanes, the noise reduction
// in its three parts), fed programme with level steps and huge values, against
// the plain cascades of the same sections sample by sample.
TEST(Runs, InputStagesGiveTheSampleBySampleBits)
{
    plumbra::RateConstants rc{};
    rc.fs = 44100.0f;
    rc.T = 1.0f / rc.fs;
    rc.piT = plumbra::kPi * rc.T;
    plumbra::InputLowpass run{};
    run.design(9700.0f, rc);
    run.clear();
    plumbra::SosCascade<9> one{};
    for (std::size_t j = 0; j < one.s.size(); ++j) one.s[j] = run.sections.section(j);
    // The presence equaliser after it, its bypass switched from run to run
    // (its sections keep running while bypassed).
    plumbra::PresenceEq eqRun{};
    eqRun.design(rc);
    eqRun.clear();
    plumbra::SosCascade<4> eqOne{};
    for (std::size_t j = 0; j < eqOne.s.size(); ++j) eqOne.s[j] = eqRun.sections.section(j);
    // The noise reduction between them, its cutoff steps four at a time.
    auto nrRun = std::make_unique<plumbra::NoiseReduction>();
    auto nrOne = std::make_unique<plumbra::NoiseReduction>();
    nrRun->design(rc);
    nrOne->design(rc);
    nrRun->clear();
    nrOne->clear();
    uint32_t n = 3;
    int runs = 0;
    const auto x = randomFrames(4000, 29);
    std::size_t at = 0;
    for (int len : runLengths(x.size(), 31)) {
        float v[plumbra::kRunLength];
        for (int i = 0; i < len; ++i) {
            const std::size_t k = at + static_cast<std::size_t>(i);
            v[i] = x[k][1] * (k > 2000 ? 1e4f : 1.0f);
        }
        run.processRun(v, len);
        nrRun->processRun(v, len, n, 1.5f, 0.0f);
        const bool bypass = ++runs % 3 == 0;
        eqRun.processRun(v, len, bypass);
        for (int i = 0; i < len; ++i, ++at, ++n) {
            const float u = nrOne->process(one.process(x[at][1] * (at > 2000 ? 1e4f : 1.0f)), n, 1.5f, 0.0f);
            const float eq = eqOne.process(u);
            const float want = bypass ? u : eq;
            ASSERT_EQ(std::bit_cast<uint32_t>(v[i]), std::bit_cast<uint32_t>(want)) << "sample " << at << ", run " << len;
        }
    }
}

// ---------------------------------------------------------------------------
// Packed lanes against the float reference.

namespace {

using plumbra::Lane2;
using plumbra::Lane4;
using plumbra::Mem;
using plumbra::Pair;

uint32_t bitsOf(float v) { return std::bit_cast<uint32_t>(v); }

// The lane operations with a NaN or a signed zero as either operand: each
// lane of max/min is what std::max/std::min give for that lane's operands.
// The state check's word scan: one NaN or +infinity anywhere in the words
// (in the packed part or the tail), and nowhere else, is found; -infinity,
// the largest finite values, zeros and subnormals pass.
TEST(Lanes, WordScanFindsNanAndPlusInfinityAnywhere)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::array<float, 6> passing = {-inf, std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                                          0.0f, -0.0f, std::numeric_limits<float>::denorm_min()};
    for (std::size_t words = 1; words <= 11; ++words) {
        std::vector<float> v(words);
        for (std::size_t i = 0; i < words; ++i) v[i] = passing[i % passing.size()];
        const auto* p = reinterpret_cast<const unsigned char*>(v.data());
        EXPECT_TRUE(plumbra::noNanOrPlusInfinity(p, words)) << words;
        for (std::size_t at = 0; at < words; ++at) {
            for (float bad : {nan, -nan, inf}) {
                const float kept = v[at];
                v[at] = bad;
                EXPECT_FALSE(plumbra::noNanOrPlusInfinity(p, words)) << words << " words, at " << at;
                EXPECT_TRUE(at == 0 || plumbra::noNanOrPlusInfinity(p, at)) << "words before " << at;
                v[at] = kept;
            }
        }
    }
}

TEST(Lanes, MinAndMaxTakeTheOperandsOfStdMinAndMax)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::array<float, 8> v = {nan, 1.0f, -1.0f, 0.0f, -0.0f, inf, -inf, 2.5f};
    for (float a0 : v) {
        for (float b0 : v) {
            const Lane4 a{_mm_setr_ps(a0, b0, a0, 1.0f)};
            const Lane4 b{_mm_setr_ps(b0, a0, 3.0f, b0)};
            Mem<Lane4> mx, mn;
            store(mx, max(a, b));
            store(mn, min(a, b));
            const std::array<float, 4> as = {a0, b0, a0, 1.0f}, bs = {b0, a0, 3.0f, b0};
            for (std::size_t j = 0; j < 4; ++j) {
                ASSERT_EQ(bitsOf(mx[j]), bitsOf(std::max(as[j], bs[j]))) << as[j] << " " << bs[j];
                ASSERT_EQ(bitsOf(mn[j]), bitsOf(std::min(as[j], bs[j]))) << as[j] << " " << bs[j];
                ASSERT_EQ(bitsOf(plumbra::max(as[j], bs[j])), bitsOf(std::max(as[j], bs[j])));
                ASSERT_EQ(bitsOf(plumbra::min(as[j], bs[j])), bitsOf(std::min(as[j], bs[j])));
            }
        }
    }
}

// Streams of test signal, one per lane: noise at changing levels, silences
// and, for the sections that take them, NaN and infinities.
std::vector<float> laneSignal(std::size_t n, unsigned seed, bool specials)
{
    std::vector<float> x = randomValues(n, seed, specials);
    std::mt19937 rng(seed + 100);
    std::uniform_int_distribution<int> sign(0, 1);
    for (std::size_t i = 0; i < n; ++i) {
        if ((i / 700) % 4 == 3) x[i] = 0.0f;
        if (sign(rng) != 0 && !specials) x[i] = -x[i];
    }
    return x;
}

// Every used lane of a section over V gives, sample for sample, the bits of a
// float instance of the section fed that lane's stream. Kind names the
// section (Kind::Section<T>), designs it and steps it by one sample.
template <class V, class Kind>
void expectLanesGiveTheFloatBits(unsigned seed, bool specials = false, std::size_t samples = 5000)
{
    constexpr std::size_t K = plumbra::kLanesOf<V>;
    using Packed = typename Kind::template Section<V>;
    using Scalar = typename Kind::template Section<float>;
    auto packed = std::make_unique<Packed>();
    Kind::design(*packed);
    packed->clear();
    std::vector<std::unique_ptr<Scalar>> ref;
    std::vector<std::vector<float>> x;
    for (std::size_t j = 0; j < K; ++j) {
        ref.push_back(std::make_unique<Scalar>());
        Kind::design(*ref.back());
        ref.back()->clear();
        x.push_back(laneSignal(samples, seed + static_cast<unsigned>(j), specials));
    }
    for (std::size_t n = 0; n < samples; ++n) {
        Mem<V> in{}, out{};
        for (std::size_t j = 0; j < K; ++j) plumbra::laneOf(in, j) = x[j][n];
        store(out, Kind::step(*packed, plumbra::load<V>(in), static_cast<uint32_t>(n)));
        for (std::size_t j = 0; j < K; ++j) {
            const float want = Kind::step(*ref[j], x[j][n], static_cast<uint32_t>(n));
            ASSERT_EQ(bitsOf(plumbra::laneOf(out, j)), bitsOf(want)) << Kind::kName << ", lane " << j << " of " << K
                                                                      << ", sample " << n;
        }
    }
}

template <class Kind>
void expectEveryLaneTypeGivesTheFloatBits(unsigned seed, bool specials = false)
{
    expectLanesGiveTheFloatBits<Lane4, Kind>(seed, specials);
    expectLanesGiveTheFloatBits<Lane2, Kind>(seed + 10, specials);
}

struct SosKind {
    static constexpr const char* kName = "Butterworth and general sections";
    template <class T>
    struct Section {
        plumbra::SosT<T> lp, hp, peak;
        void clear()
        {
            lp.clear();
            hp.clear();
            peak.clear();
        }
    };
    template <class T>
    static void design(Section<T>& s)
    {
        plumbra::designButterworthLowpass(s.lp, 3.3f, 0.76536685f);
        plumbra::designButterworthHighpass(s.hp, 47.0f);
        plumbra::designPeaking(s.peak, 12.0f, 0.3f, 0.6f);
    }
    template <class T>
    static T step(Section<T>& s, T x, uint32_t) { return s.peak.process(s.hp.processHighpass(s.lp.processLowpass(x))); }
};

struct CascadeKind {
    static constexpr const char* kName = "elliptic highpass";
    template <class T>
    using Section = plumbra::EllipticHighpassT<T>;
    template <class T>
    static void design(Section<T>& s) { s.design(110.0f); }
    template <class T>
    static T step(Section<T>& s, T x, uint32_t) { return s.process(x); }
};

struct SplitKind {
    static constexpr const char* kName = "first-order split and lowpass";
    template <class T>
    struct Section {
        plumbra::FirstOrderSplitT<T> split;
        plumbra::FirstOrderLowpassT<T> lowpass;
        void clear()
        {
            split.clear();
            lowpass.clear();
        }
    };
    template <class T>
    static void design(Section<T>& s)
    {
        s.split.design(4.1f);
        s.lowpass.design(27.0f);
    }
    template <class T>
    static T step(Section<T>& s, T x, uint32_t)
    {
        const auto o = s.split.process(x);
        return s.lowpass.process(s.split.shelf(o.low + o.high, plumbra::splat<T>(0.25f)));
    }
};

struct EnvelopeKind {
    static constexpr const char* kName = "analytic pair and envelope";
    template <class T>
    struct Section {
        plumbra::AnalyticPairT<T> pair;
        plumbra::AnalyticEnvelopeT<T> env;
        void clear()
        {
            pair.clear();
            env.clear();
        }
    };
    template <class T>
    static void design(Section<T>&) {}
    template <class T>
    static T step(Section<T>& s, T x, uint32_t)
    {
        const auto o = s.pair.process(x);
        return s.env.process(x) + o.i * o.q;
    }
};

struct PeakKind {
    static constexpr const char* kName = "sliding maximum and ring";
    template <class T>
    struct Section {
        plumbra::SlidingMaxT<T, 44> peak;
        plumbra::RingT<T, 64> ring;
        void clear()
        {
            peak.clear();
            ring.clear();
        }
    };
    template <class T>
    static void design(Section<T>&) {}
    template <class T>
    static T step(Section<T>& s, T x, uint32_t n)
    {
        s.ring.write(n, x);
        return s.peak.push(s.ring.tap(n, 37));
    }
};

struct RisingKind {
    static constexpr const char* kName = "rising envelope";
    template <class T>
    using Section = plumbra::RisingEnvelopeT<T>;
    template <class T>
    static void design(Section<T>& s) { s.design(0.9996f, 0.98f, 1.0f / 44100.0f, 0.03f); }
    template <class T>
    static T step(Section<T>& s, T x, uint32_t)
    {
        s.process(plumbra::max(x, plumbra::splat<T>(0.0f)) + plumbra::splat<T>(0.001f));
        return plumbra::load<T>(s.Es) + plumbra::load<T>(s.E) * plumbra::load<T>(s.cr);
    }
};

struct WidthKind {
    static constexpr const char* kName = "width decision";
    template <class T>
    using Section = plumbra::WidthDetectorT<T>;
    template <class T>
    static void design(Section<T>& s)
    {
        plumbra::RateConstants rc{8000.0f, 1.0f / 8000.0f, plumbra::kPi / 8000.0f};
        s.design(rc);
    }
    template <class T>
    static T step(Section<T>& s, T x, uint32_t)
    {
        // Envelope ratios from 1 to about 30: the tangent's argument crosses
        // 0.75, pi/2 and several periods.
        using plumbra::splat;
        const T esL = plumbra::max(x, splat<T>(0.0f)) + splat<T>(0.01f);
        const T esR = splat<T>(0.3f) - plumbra::min(x, splat<T>(0.29f));
        s.decide(esL, esR);
        return plumbra::load<T>(s.wf) + plumbra::load<T>(s.cm);
    }
};

}  // namespace

TEST(Lanes, EverySectionGivesTheFloatBitsInEveryLane)
{
    expectEveryLaneTypeGivesTheFloatBits<SosKind>(30);
    expectEveryLaneTypeGivesTheFloatBits<CascadeKind>(40);
    expectEveryLaneTypeGivesTheFloatBits<SplitKind>(50);
    expectEveryLaneTypeGivesTheFloatBits<EnvelopeKind>(70);
    expectEveryLaneTypeGivesTheFloatBits<RisingKind>(80);
    expectEveryLaneTypeGivesTheFloatBits<WidthKind>(85);
    // The peak maximum with NaN and infinities in some lanes and not in others.
    expectEveryLaneTypeGivesTheFloatBits<PeakKind>(90, true);
    expectEveryLaneTypeGivesTheFloatBits<PeakKind>(95, false);
    // Two paths side by side, as the expander runs its analytic pairs and harmonic filters.
    expectLanesGiveTheFloatBits<Pair<float>, EnvelopeKind>(100);
    expectLanesGiveTheFloatBits<Pair<float>, CascadeKind>(110);
}

// Per-lane coefficients: each lane of a packed section set from a different
// designed float section runs as that section.
TEST(Lanes, SectionsWithTheirOwnCoefficientsPerLane)
{
    std::array<plumbra::Sos, 4> ref{};
    plumbra::SosT<Lane4> packed{};
    const std::array<float, 4> k = {0.7f, 2.0f, 19.0f, 800.0f};
    for (std::size_t j = 0; j < 4; ++j) {
        if (j % 2 == 0)
            plumbra::designButterworthHighpass(ref[j], k[j]);
        else
            plumbra::designBilinear(ref[j], k[j], 0.5f, 1.2f, 0.3f, 0.9f);
        ref[j].clear();
        packed.setLane(j, ref[j]);
    }
    packed.clear();
    const std::vector<float> x = laneSignal(4000, 120, false);
    for (std::size_t n = 0; n < x.size(); ++n) {
        Mem<Lane4> out;
        store(out, packed.process(plumbra::splat<Lane4>(x[n])));
        for (std::size_t j = 0; j < 4; ++j)
            ASSERT_EQ(bitsOf(out[j]), bitsOf(ref[j].process(x[n]))) << "lane " << j << ", sample " << n;
    }
}

// Four sections in skewed lanes against the same four sections one after the
// other, over runs of every length (odd ones go section by section) from
// both parities.
// The decorrelator's skewed lanes against its plain form: sixty sections one
// after the other, sample by sample, then 300 samples of delay; left = x + d
// and right = x - d. Runs of random lengths, from an odd ring counter, on the
// SSE2 path and (where the CPU has it) the AVX path.
class SkewedDecorrelator : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Runs, SkewedDecorrelator, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Avx" : "Sse2"; });
TEST_P(SkewedDecorrelator, GivesTheSectionBySectionBits)
{
    using plumbra::Decorrelator;
    auto dc = std::make_unique<Decorrelator>();
    dc->design();
    if (dc->useAvx(GetParam()) != GetParam()) GTEST_SKIP() << "no AVX on this CPU or build";
    dc->clear();
    std::array<PlainAllpassZ2, Decorrelator::kSections> chain{};
    for (std::size_t s = 0; s < chain.size(); ++s) chain[s].c = Decorrelator::kCycle[s % 4];
    const auto x = randomFrames(6000, 43);
    std::vector<float> dispersed;
    std::size_t at = 0;
    uint32_t n = 5;
    for (int len : runLengths(x.size(), 44)) {
        std::array<float, plumbra::kRunLength> in, left, right;
        for (int i = 0; i < len; ++i) in[static_cast<std::size_t>(i)] = x[at + static_cast<std::size_t>(i)][1];
        dc->processRun(in.data(), left.data(), right.data(), len, n);
        for (int i = 0; i < len; ++i, ++at, ++n) {
            float v = in[static_cast<std::size_t>(i)];
            for (auto& s : chain) v = s.process(v);
            dispersed.push_back(v);
            const float d = at >= Decorrelator::kDelay ? dispersed[at - Decorrelator::kDelay] : 0.0f;
            const float xi = in[static_cast<std::size_t>(i)];
            ASSERT_EQ(bitsOf(left[static_cast<std::size_t>(i)]), bitsOf(xi + d)) << "sample " << at << ", run of " << len;
            ASSERT_EQ(bitsOf(right[static_cast<std::size_t>(i)]), bitsOf(xi - d)) << "sample " << at << ", run of " << len;
        }
    }
}
