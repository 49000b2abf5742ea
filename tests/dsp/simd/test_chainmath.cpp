// The chain's own single-precision functions: accuracy against a wider
// reference over dense sweeps of the ranges the chain uses and over random bit
// patterns, special values, symmetry, monotonicity, and identical bits under
// any build (a digest of many results that every platform must reproduce).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>

#include "dsp/simd/chainmath.h"
#include "dsp/simd/denormals.h"

namespace {

// The reference: the C library's long double functions (64-bit significand).
// glibc reduces huge arguments of sin and tan exactly; other C libraries do not
// promise that, so the sweeps over the whole float range of those two run on
// glibc only.
#if defined(__GLIBC__)
constexpr bool kExactHugeReference = true;
#else
constexpr bool kExactHugeReference = false;
#endif

using Ref = long double;

// Small deterministic generator (integer arithmetic only).
struct Lcg {
    uint64_t s;
    uint32_t next()
    {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 32);
    }
};

float fromBits(uint32_t b) { return std::bit_cast<float>(b); }
uint32_t bitsOf(float f) { return std::bit_cast<uint32_t>(f); }

// Error of a float result in units of the last place of the float grid at the
// true value (subnormal spacing below the normal range). An infinity counts as
// exact only where the reference rounds to it.
Ref ulpError(float got, Ref want)
{
    if (std::isnan(want) || std::isnan(got)) return std::isnan(want) == std::isnan(got) ? 0 : 1e9;
    if (std::isinf(got) || std::fabs(want) > static_cast<Ref>(FLT_MAX))
        return got == static_cast<float>(want) ? 0 : 1e9;
    const Ref a = std::fabs(want);
    const int e = a == 0 ? -126 : std::max(std::ilogb(a), -126);
    return std::fabs(static_cast<Ref>(got) - want) / std::ldexp(Ref(1), e - 23);
}

// Worst error and the share of correctly rounded results over one sweep.
class Accuracy {
public:
    explicit Accuracy(std::string name) : fName(std::move(name)) {}

    void add(float got, Ref want, float x, float y = 0)
    {
        const Ref e = ulpError(got, want);
        ++fCount;
        if (bitsOf(got) == bitsOf(static_cast<float>(want)) || (std::isnan(got) && std::isnan(want))) ++fExact;
        if (e > fMax) {
            fMax = e;
            fWorstX = x;
            fWorstY = y;
        }
    }

    // Prints and records the figures, then checks them: never a full ulp off,
    // and correctly rounded for all but a very few arguments.
    void report()
    {
        const double share = fCount ? static_cast<double>(fExact) / static_cast<double>(fCount) : 0.0;
        std::ostringstream s;
        s << std::setprecision(6) << static_cast<double>(fMax) << " ulp";
        ::testing::Test::RecordProperty(fName + "_max_ulp", s.str());
        s.str("");
        s << std::setprecision(8) << share;
        ::testing::Test::RecordProperty(fName + "_correctly_rounded", s.str());
        std::cout << "  " << std::left << std::setw(26) << fName << " max error " << std::setprecision(6)
                  << static_cast<double>(fMax) << " ulp, correctly rounded " << std::setprecision(8) << 100.0 * share
                  << " % of " << fCount << '\n';
        EXPECT_GT(fCount, 0u);
        EXPECT_LE(fMax, Ref(1)) << fName << " worst at x = " << std::hexfloat << fWorstX << ", y = " << fWorstY;
        EXPECT_GE(share, 0.9999) << fName;
    }

private:
    std::string fName;
    Ref fMax = 0;
    float fWorstX = 0, fWorstY = 0;
    uint64_t fCount = 0, fExact = 0;
};

// Calls f(x) for n floats spread evenly over the bit patterns of [lo, hi]
// (both of one sign): logarithmically spaced, every binade covered.
template <class F>
void sweepBits(float lo, float hi, uint32_t n, F f)
{
    const uint32_t a = bitsOf(lo), b = bitsOf(hi);
    const uint32_t first = std::min(a, b), last = std::max(a, b);
    const uint64_t span = static_cast<uint64_t>(last - first);
    for (uint32_t i = 0; i <= n; ++i) f(fromBits(first + static_cast<uint32_t>(span * i / n)));
}

// Calls f(x) for n + 1 floats evenly spaced in value over [lo, hi].
template <class F>
void sweepLinear(double lo, double hi, uint32_t n, F f)
{
    for (uint32_t i = 0; i <= n; ++i) f(static_cast<float>(lo + (hi - lo) * i / n));
}

// Calls f(x) for n random bit patterns (NaNs, infinities and subnormals included).
template <class F>
void sweepRandom(uint64_t seed, uint32_t n, F f)
{
    Lcg g{seed};
    for (uint32_t i = 0; i < n; ++i) f(fromBits(g.next()));
}

// Checks that f does not decrease over consecutive arguments.
template <class F>
void expectNondecreasing(const char* name, float lo, float hi, uint32_t n, F f, bool consecutive)
{
    float prev = f(lo);
    uint32_t a = bitsOf(lo), b = bitsOf(hi);
    const bool negative = (a >> 31) != 0;
    const uint64_t span = negative ? a - b : b - a;
    for (uint32_t i = 1; i <= n; ++i) {
        const uint32_t step = consecutive ? i : static_cast<uint32_t>(span * i / n);
        const float x = fromBits(negative ? a - step : a + step);
        const float y = f(x);
        if (!(y >= prev)) {
            ADD_FAILURE() << name << " decreases at x = " << std::hexfloat << x << ": " << prev << " -> " << y;
            return;
        }
        prev = y;
    }
}

constexpr uint32_t kN = 400000;
const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kTiny = std::numeric_limits<float>::denorm_min();

// Floats whose distance to the nearest multiple of pi/2 is smallest relative
// to their size (found by a search over all floats).
constexpr float kNearMultiplesOfHalfPi[] = {
    0x1.921fb6p+0f,  0x1.2d97c8p+2f,  0x1.f9cbe2p+7f,   0x1.9a48dep+15f,  0x1.4665d2p+25f,
    0x1.47d0fep+34f, 0x1.628d4cp+40f, 0x1.0f79ap+57f,   0x1.13093p+76f,   0x1.32ede2p+85f,
    0x1.abb4bp+89f,  0x1.f37c8ap+95f, 0x1.7f4134p+101f, 0x1.b08c4ap+111f,
};

TEST(ChainMath, ExpAccuracy)
{
    Accuracy hot("exp release range"), wide("exp [-2000, 100]"), any("exp random bits");
    auto check = [](Accuracy& a) { return [&a](float x) { a.add(chainmath::exp(x), std::exp(Ref(x)), x); }; };
    sweepBits(-1e-9f, -1.0f, kN, check(hot));
    sweepBits(1e-9f, 1.0f, kN / 4, check(hot));
    sweepLinear(-2000.0, 100.0, kN, check(wide));
    sweepBits(-88.0f, -104.0f, kN / 4, check(wide)); // subnormal results
    sweepBits(87.0f, 89.0f, kN / 4, check(wide));    // overflow threshold
    sweepRandom(1, kN, check(any));
    hot.report();
    wide.report();
    any.report();
}

TEST(ChainMath, ExpSpecialValues)
{
    EXPECT_EQ(chainmath::exp(0.0f), 1.0f);
    EXPECT_EQ(chainmath::exp(-0.0f), 1.0f);
    EXPECT_EQ(chainmath::exp(kTiny), 1.0f);
    EXPECT_EQ(chainmath::exp(kInf), kInf);
    EXPECT_EQ(bitsOf(chainmath::exp(-kInf)), 0u); // +0
    EXPECT_EQ(bitsOf(chainmath::exp(-2000.0f)), 0u);
    EXPECT_EQ(bitsOf(chainmath::exp(-104.0f)), 0u);
    EXPECT_EQ(chainmath::exp(-103.9f), kTiny);
    EXPECT_EQ(chainmath::exp(100.0f), kInf);
    // The last float with a finite e^x, and the last with a non-zero one.
    EXPECT_EQ(chainmath::exp(0x1.62e42ep+6f), 0x1.ffff08p+127f);
    EXPECT_EQ(chainmath::exp(0x1.62e430p+6f), kInf);
    EXPECT_EQ(chainmath::exp(-0x1.9fe368p+6f), kTiny);
    EXPECT_EQ(bitsOf(chainmath::exp(-0x1.9fe36ap+6f)), 0u);
    EXPECT_EQ(chainmath::exp(FLT_MAX), kInf);
    EXPECT_EQ(bitsOf(chainmath::exp(-FLT_MAX)), 0u);
    EXPECT_TRUE(std::isnan(chainmath::exp(kNaN)));
    EXPECT_TRUE(std::isnan(chainmath::exp(-kNaN)));
}

TEST(ChainMath, TanAccuracy)
{
    Accuracy warp("tan prewarp [0, 3.2]"), curve("tan curve [0, 1e6]"), any("tan random bits");
    Accuracy near("tan, sin near k pi/2");
    auto check = [](Accuracy& a) { return [&a](float x) { a.add(chainmath::tan(x), std::tan(Ref(x)), x); }; };
    sweepLinear(0.0, 3.2, kN, check(warp));
    sweepBits(1e-12f, 3.2f, kN / 4, check(warp));
    sweepBits(1e-3f, 1e6f, kN, check(curve));
    sweepLinear(-10.0, 10.0, kN / 4, check(curve));
    if (kExactHugeReference) {
        sweepRandom(2, kN, check(any));
        sweepBits(4.0e6f, FLT_MAX, kN / 4, check(any));
    } else {
        sweepRandom(2, kN, [&](float x) {
            if (std::fabs(x) < 1e4f || std::isnan(x) || std::isinf(x)) check(any)(x);
        });
    }
    // The floats nearest to multiples of pi/2 (remainders down to 2^-30) and
    // their neighbours: the reduction must keep its accuracy there.
    for (float x : kNearMultiplesOfHalfPi) {
        if (!kExactHugeReference && x > 1e4f) continue;
        for (uint32_t d = 0; d < 2001; ++d) {
            const float v = fromBits(bitsOf(x) - 1000 + d);
            near.add(chainmath::tan(v), std::tan(Ref(v)), v);
            near.add(chainmath::sin(v), std::sin(Ref(v)), v);
        }
    }
    warp.report();
    curve.report();
    any.report();
    near.report();
}

TEST(ChainMath, SinAccuracy)
{
    Accuracy design("sin [0, pi]"), any("sin random bits");
    auto check = [](Accuracy& a) { return [&a](float x) { a.add(chainmath::sin(x), std::sin(Ref(x)), x); }; };
    sweepLinear(0.0, 3.1415927, kN, check(design));
    sweepBits(1e-12f, 3.2f, kN / 4, check(design));
    sweepLinear(-100.0, 100.0, kN / 4, check(any));
    if (kExactHugeReference) {
        sweepRandom(3, kN, check(any));
        sweepBits(4.0e6f, FLT_MAX, kN / 4, check(any));
    } else {
        sweepRandom(3, kN, [&](float x) {
            if (std::fabs(x) < 1e4f || std::isnan(x) || std::isinf(x)) check(any)(x);
        });
    }
    design.report();
    any.report();
}

TEST(ChainMath, TanAndSinSpecialValues)
{
    for (auto f : {+[](float x) { return chainmath::tan(x); }, +[](float x) { return chainmath::sin(x); }}) {
        EXPECT_EQ(bitsOf(f(0.0f)), 0u);
        EXPECT_EQ(bitsOf(f(-0.0f)), 0x80000000u);
        EXPECT_EQ(f(kTiny), kTiny);
        EXPECT_EQ(f(-kTiny), -kTiny);
        EXPECT_EQ(f(1e-30f), 1e-30f);
        EXPECT_TRUE(std::isnan(f(kInf)));
        EXPECT_TRUE(std::isnan(f(-kInf)));
        EXPECT_TRUE(std::isnan(f(kNaN)));
        EXPECT_TRUE(std::isfinite(f(FLT_MAX)));
    }
    EXPECT_EQ(chainmath::sin(1.5707964f), 1.0f);
    EXPECT_EQ(chainmath::tan(0.7853982f), 1.0f);
    EXPECT_GT(chainmath::tan(1.5707963f), 1.0e7f);
    EXPECT_LT(chainmath::tan(1.5707964f), -2.0e7f);
    EXPECT_LE(std::fabs(chainmath::sin(FLT_MAX)), 1.0f);
}

TEST(ChainMath, OddFunctionsAreExactlyOdd)
{
    sweepRandom(4, kN / 4, [](float x) {
        if (std::isnan(x)) return;
        ASSERT_EQ(bitsOf(chainmath::tan(-x)), bitsOf(chainmath::tan(x)) ^ 0x80000000u) << x;
        ASSERT_EQ(bitsOf(chainmath::sin(-x)), bitsOf(chainmath::sin(x)) ^ 0x80000000u) << x;
        ASSERT_EQ(bitsOf(chainmath::atan(-x)), bitsOf(chainmath::atan(x)) ^ 0x80000000u) << x;
    });
}

TEST(ChainMath, AtanAccuracy)
{
    Accuracy gate("atan gate range [0, 1]"), any("atan random bits");
    auto check = [](Accuracy& a) { return [&a](float x) { a.add(chainmath::atan(x), std::atan(Ref(x)), x); }; };
    sweepLinear(0.0, 1.0, kN, check(gate));
    sweepBits(1e-12f, 1.0f, kN, check(gate));
    sweepRandom(5, kN, check(any));
    sweepBits(1.0f, 1e9f, kN / 4, check(any));
    gate.report();
    any.report();
}

TEST(ChainMath, AtanSpecialValues)
{
    const float halfPi = 1.5707964f; // pi/2 rounded to float
    EXPECT_EQ(chainmath::atan(kInf), halfPi);
    EXPECT_EQ(chainmath::atan(-kInf), -halfPi);
    EXPECT_EQ(chainmath::atan(FLT_MAX), halfPi);
    EXPECT_EQ(chainmath::atan(1.0f), 0.7853982f);
    EXPECT_EQ(bitsOf(chainmath::atan(0.0f)), 0u);
    EXPECT_EQ(bitsOf(chainmath::atan(-0.0f)), 0x80000000u);
    EXPECT_EQ(chainmath::atan(kTiny), kTiny);
    EXPECT_EQ(chainmath::atan(1e-20f), 1e-20f);
    EXPECT_TRUE(std::isnan(chainmath::atan(kNaN)));
}

TEST(ChainMath, PowAccuracy)
{
    Accuracy db("dbToLinear [-200, 200] dB"), any("pow random");
    auto checkDb = [&](float d) {
        const float y = 0.05f * d;
        db.add(chainmath::dbToLinear(d), std::pow(Ref(10), Ref(y)), d);
    };
    sweepLinear(-200.0, 200.0, kN, checkDb);
    sweepBits(1e-6f, 200.0f, kN / 4, checkDb);
    sweepBits(-1e-6f, -200.0f, kN / 4, checkDb);
    // Positive x of any size, y such that the result stays in or near the float range.
    Lcg g{6};
    for (uint32_t i = 0; i < kN; ++i) {
        const float x = fromBits(g.next() % 0x7f800000u);
        const float y = fromBits(g.next() & 0x7fffffffu);
        const Ref lx = std::log2(Ref(x));
        if (!std::isfinite(y) || std::fabs(lx * Ref(y)) > 160) continue;
        const float sy = (g.next() & 1) ? -y : y;
        any.add(chainmath::pow(x, sy), std::pow(Ref(x), Ref(sy)), x, sy);
    }
    // Bases near 1 with large exponents.
    for (uint32_t i = 0; i < kN / 4; ++i) {
        const float x = fromBits(0x3f800000u + (g.next() % 2001) - 1000);
        const float y = static_cast<float>(static_cast<int32_t>(g.next() % 2000001) - 1000000);
        any.add(chainmath::pow(x, y), std::pow(Ref(x), Ref(y)), x, y);
    }
    db.report();
    any.report();
}

TEST(ChainMath, PowSpecialValues)
{
    EXPECT_EQ(chainmath::dbToLinear(0.0f), 1.0f);
    EXPECT_EQ(chainmath::dbToLinear(20.0f), 10.0f);
    EXPECT_EQ(chainmath::dbToLinear(40.0f), 100.0f);
    EXPECT_EQ(chainmath::dbToLinear(-20.0f), 0.1f);
    EXPECT_EQ(chainmath::pow(2.0f, 10.0f), 1024.0f);
    EXPECT_EQ(chainmath::pow(2.0f, -149.0f), kTiny);
    EXPECT_EQ(chainmath::pow(2.0f, 128.0f), kInf);
    EXPECT_EQ(chainmath::pow(4.0f, 0.5f), 2.0f);
    EXPECT_EQ(chainmath::pow(kTiny, 1.0f), kTiny);
    EXPECT_EQ(chainmath::pow(kTiny, -0.5f), 0x1.6a09e6p+74f);
    // Zero exponent and unit base give 1 whatever the other argument.
    for (float v : {0.0f, -0.0f, 1.0f, -3.0f, kInf, -kInf, kNaN, kTiny}) {
        EXPECT_EQ(chainmath::pow(v, 0.0f), 1.0f) << v;
        EXPECT_EQ(chainmath::pow(v, -0.0f), 1.0f) << v;
        EXPECT_EQ(chainmath::pow(1.0f, v), 1.0f) << v;
    }
    EXPECT_EQ(bitsOf(chainmath::pow(0.0f, 3.0f)), 0u);
    EXPECT_EQ(chainmath::pow(0.0f, -1.0f), kInf);
    EXPECT_EQ(chainmath::pow(-0.0f, -1.0f), -kInf);
    EXPECT_EQ(chainmath::pow(kInf, 0.5f), kInf);
    EXPECT_EQ(bitsOf(chainmath::pow(kInf, -2.0f)), 0u);
    EXPECT_EQ(chainmath::pow(0.5f, kInf), 0.0f);
    EXPECT_EQ(chainmath::pow(0.5f, -kInf), kInf);
    EXPECT_EQ(chainmath::pow(2.0f, kInf), kInf);
    EXPECT_EQ(chainmath::pow(-1.0f, kInf), 1.0f);
    EXPECT_EQ(chainmath::pow(-2.0f, 3.0f), -8.0f);
    EXPECT_EQ(chainmath::pow(-2.0f, 2.0f), 4.0f);
    EXPECT_EQ(chainmath::pow(-2.0f, -1.0f), -0.5f);
    EXPECT_EQ(chainmath::pow(-kInf, 3.0f), -kInf);
    EXPECT_TRUE(std::isnan(chainmath::pow(-2.0f, 0.5f)));
    EXPECT_TRUE(std::isnan(chainmath::pow(kNaN, 2.0f)));
    EXPECT_TRUE(std::isnan(chainmath::pow(2.0f, kNaN)));
}

TEST(ChainMath, MonotonicOverTheChainsRanges)
{
    auto e = [](float x) { return chainmath::exp(x); };
    expectNondecreasing("exp", -1e-3f, -1e-6f, 1000000, e, true);
    expectNondecreasing("exp", -104.0f, -0.0f, 500000, e, false);
    expectNondecreasing("exp", 0.0f, 89.0f, 500000, e, false);
    auto a = [](float x) { return chainmath::atan(x); };
    expectNondecreasing("atan", 0.999f, 1.0f, 100000, a, true);
    expectNondecreasing("atan", 0.0f, 1.0f, 1000000, a, false);
    expectNondecreasing("atan", 1.0f, kInf, 1000000, a, false);
    auto t = [](float x) { return chainmath::tan(x); };
    expectNondecreasing("tan", 0.0f, 1.5707963f, 1000000, t, false);
    expectNondecreasing("tan", 0.78f, 0.79f, 100000, t, true);
    auto d = [](float x) { return chainmath::dbToLinear(x); };
    for (uint32_t i = 0; i + 1 <= 400000; ++i) {
        const float x0 = -200.0f + 0.001f * static_cast<float>(i), x1 = -200.0f + 0.001f * static_cast<float>(i + 1);
        if (!(d(x1) >= d(x0))) {
            ADD_FAILURE() << "dbToLinear decreases at " << x1;
            break;
        }
    }
    auto s = [](float x) { return chainmath::sin(x); };
    expectNondecreasing("sin", 0.0f, 1.5707963f, 1000000, s, false);
}

// exp of small arguments and tan below 0.75 skip the argument reduction; the
// results must be the bits of the full path (reduction, table, scaling).
float expFullPath(float x) { return static_cast<float>(chainmath::detail::expKernel(x)); }

float tanFullPath(float x)
{
    const uint32_t ix = bitsOf(x);
    const uint32_t ax = ix & 0x7fffffffu;
    const chainmath::detail::Reduced d = chainmath::detail::reduce(ax);
    const double t = chainmath::detail::tanQuotientD(d.r, (d.q & 1) != 0);
    return chainmath::detail::withSign(static_cast<float>(t), ix & 0x80000000u);
}

TEST(ChainMath, ShortcutsGiveTheBitsOfTheFullPath)
{
    // Every float of the top binades below each shortcut's limit, and random
    // ones of every smaller magnitude, both signs.
    for (uint32_t b = bitsOf(0x1p-9f); b < bitsOf(0x1p-8f); ++b) {
        for (uint32_t sign : {0u, 0x80000000u}) {
            const float x = fromBits(b | sign);
            ASSERT_EQ(bitsOf(chainmath::exp(x)), bitsOf(expFullPath(x))) << x;
        }
    }
    for (uint32_t b = bitsOf(0.5f); b < bitsOf(0.75f); ++b) {
        const float x = fromBits(b);
        ASSERT_EQ(bitsOf(chainmath::tan(x)), bitsOf(tanFullPath(x))) << x;
        ASSERT_EQ(bitsOf(chainmath::tan(-x)), bitsOf(tanFullPath(-x))) << -x;
    }
    Lcg g{11};
    for (int i = 0; i < 1000000; ++i) {
        const uint32_t r = g.next();
        const float e = fromBits(r % bitsOf(0x1p-9f) | (r & 0x80000000u));
        ASSERT_EQ(bitsOf(chainmath::exp(e)), bitsOf(expFullPath(e))) << e;
        const float t = fromBits(r % bitsOf(0.5f) | (r & 0x80000000u));
        ASSERT_EQ(bitsOf(chainmath::tan(t)), bitsOf(tanFullPath(t))) << t;
    }
    for (float x : {0.0f, -0.0f, 0x1p-8f, -0x1p-8f, 0.75f, -0.75f, std::nextafter(0.75f, 0.0f)}) {
        EXPECT_EQ(bitsOf(chainmath::exp(x)), bitsOf(expFullPath(x))) << x;
        EXPECT_EQ(bitsOf(chainmath::tan(x)), bitsOf(tanFullPath(x))) << x;
    }
}

// The packed functions give every lane the scalar function's bits, whatever
// the other lanes hold: exp over the envelopes' small arguments (packed path)
// mixed with arguments that take the scalar path, atan and tan over the
// ranges the chain uses and over random bit patterns (NaN, infinities,
// subnormals, both signs).
TEST(ChainMath, FourLanesGiveTheScalarBits)
{
    Lcg g{12};
    auto expectLanes = [](float (*packed)(const float*, float*), float (*scalar)(float), const float* x,
                          const char* name) {
        float got[4];
        packed(x, got);
        for (int j = 0; j < 4; ++j)
            ASSERT_EQ(bitsOf(got[j]), bitsOf(scalar(x[j]))) << name << " lane " << j << " x " << x[j];
    };
    auto expX4 = [](const float* x, float* y) {
        _mm_storeu_ps(y, chainmath::expX4(_mm_loadu_ps(x)));
        return 0.0f;
    };
    auto atanX4 = [](const float* x, float* y) {
        _mm_storeu_ps(y, chainmath::atanX4(_mm_loadu_ps(x)));
        return 0.0f;
    };
    auto tanX4 = [](const float* x, float* y) {
        _mm_storeu_ps(y, chainmath::tanX4(_mm_loadu_ps(x)));
        return 0.0f;
    };
    auto tan1 = [](float x) { return chainmath::tan(x); };
    // The small-argument path without its range test, for arguments inside the range.
    auto expSmallX4 = [](const float* x, float* y) {
        _mm_storeu_ps(y, chainmath::expSmallX4(_mm_loadu_ps(x)));
        return 0.0f;
    };
    auto exp1 = [](float x) { return chainmath::exp(x); };
    auto atan1 = [](float x) { return chainmath::atan(x); };
    for (uint32_t i = 0; i < kN; ++i) {
        float small[4], mixed[4], unit[4], any[4];
        for (int j = 0; j < 4; ++j) {
            const uint32_t r = g.next();
            small[j] = fromBits(r % bitsOf(0x1p-8f) | (r & 0x80000000u));
            mixed[j] = (g.next() & 3) == 0 ? fromBits(g.next()) : small[j];
            unit[j] = static_cast<float>(g.next() >> 8) * 0x1p-24f * 1.0001f;
            any[j] = fromBits(g.next());
        }
        expectLanes(expX4, exp1, small, "exp");
        float strictlySmall[4];
        for (int j = 0; j < 4; ++j) strictlySmall[j] = std::fabs(small[j]) < 0x1p-8f ? small[j] : 0.0f;
        expectLanes(expSmallX4, exp1, strictlySmall, "exp small path");
        expectLanes(expX4, exp1, mixed, "exp");
        expectLanes(atanX4, atan1, unit, "atan");
        expectLanes(atanX4, atan1, any, "atan");
        // tan over the width curve's range (packed) and over any bits (huge
        // arguments and non-finite lanes go lane by lane).
        float wide[4];
        for (int j = 0; j < 4; ++j) wide[j] = (unit[j] - 0.2f) * 40.0f;
        expectLanes(tanX4, tan1, wide, "tan");
        // Every lane below 0.75, where no reduction is needed.
        float narrow[4];
        for (int j = 0; j < 4; ++j) narrow[j] = (unit[j] - 0.5f) * 1.4999f;
        expectLanes(tanX4, tan1, narrow, "tan");
        expectLanes(tanX4, tan1, any, "tan");
    }
    const float specials[4] = {kInf, -kInf, kNaN, -0.0f};
    expectLanes(atanX4, atan1, specials, "atan");
    expectLanes(tanX4, tan1, specials, "tan");
    const float tanEdges[4] = {0.75f, std::nextafter(0.75f, 0.0f), 0x1p22f, std::nextafter(0x1p22f, 0.0f)};
    expectLanes(tanX4, tan1, tanEdges, "tan");
    const float edges[4] = {0x1p-8f, -0x1p-8f, std::nextafter(0x1p-8f, 0.0f), 1.0f};
    expectLanes(expX4, exp1, edges, "exp");
}

// A digest of results over fixed arguments: hot ranges, whole-range bit
// patterns and huge reductions. It must be the same on every platform, build
// type and optimisation level; the value below was measured on x86-64 Linux
// and must change only with a deliberate change of the functions.
uint64_t resultDigest()
{
    uint64_t h = 14695981039346656037ull;
    auto mix = [&h](float v) {
        uint32_t b = bitsOf(v);
        if (std::isnan(v)) b = 0x7fc00000u; // NaN payloads are not part of the contract
        for (int i = 0; i < 4; ++i) {
            h ^= (b >> (8 * i)) & 0xffu;
            h *= 1099511628211ull;
        }
    };
    Lcg g{7};
    for (uint32_t i = 0; i < 200000; ++i) {
        const float any = fromBits(g.next());
        const float unit = static_cast<float>(g.next() >> 8) * 0x1p-24f; // [0, 1)
        const float db = static_cast<float>(static_cast<int32_t>(g.next() % 400001) - 200000) * 0.001f;
        const float base = fromBits(g.next() & 0x7fffffffu);
        const float power = fromBits(g.next());
        const float smallPower = static_cast<float>(g.next() >> 16) * 0x1p-10f - 32.0f;
        mix(chainmath::exp(any));
        mix(chainmath::exp(-unit * 0.01f));
        mix(chainmath::exp(unit * 2100.0f - 2000.0f));
        mix(chainmath::tan(any));
        mix(chainmath::tan(unit * 1.6f));
        mix(chainmath::tan(unit * 1e6f));
        mix(chainmath::atan(any));
        mix(chainmath::atan(unit));
        mix(chainmath::sin(any));
        mix(chainmath::sin(unit * 3.2f));
        mix(chainmath::dbToLinear(db));
        mix(chainmath::pow(base, power));
        mix(chainmath::pow(unit * 100.0f, smallPower));
    }
    return h;
}

TEST(ChainMath, SameBitsOnEveryBuild)
{
    const uint64_t digest = resultDigest();
    std::cout << "  result digest " << std::hex << digest << std::dec << '\n';
    EXPECT_EQ(digest, 0xc79891a0fa84723full);
}

TEST(ChainMath, SameResultsWithSubnormalsFlushed)
{
    // Processing runs with flush-to-zero and denormals-are-zero; coefficient
    // design may run without. Normal arguments with normal results agree.
    Lcg g{8};
    constexpr uint32_t n = 20000;
    static float plain[5][n], flushed[5][n], args[n];
    for (uint32_t i = 0; i < n; ++i) args[i] = static_cast<float>(g.next() >> 8) * 0x1p-20f - 8.0f;
    auto run = [&](float (&out)[5][n]) {
        for (uint32_t i = 0; i < n; ++i) {
            out[0][i] = chainmath::exp(args[i]);
            out[1][i] = chainmath::tan(args[i]);
            out[2][i] = chainmath::atan(args[i]);
            out[3][i] = chainmath::sin(args[i]);
            out[4][i] = chainmath::dbToLinear(args[i] * 20.0f);
        }
    };
    run(plain);
    {
        plumbra::ScopedFlushDenormals flush;
        run(flushed);
    }
    for (uint32_t k = 0; k < 5; ++k)
        for (uint32_t i = 0; i < n; ++i)
            ASSERT_EQ(bitsOf(plain[k][i]), bitsOf(flushed[k][i])) << "function " << k << " at " << args[i];
}

}  // namespace
