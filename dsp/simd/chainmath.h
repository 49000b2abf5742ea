// Single-precision mathematics of the signal chain.
//
// The C libraries of Linux and Windows round expf, tanf, atanf, powf and sinf
// differently in the last bit, and the chain amplifies a one-ulp difference
// anywhere upstream into an audible one. These functions are the chain's own:
// faithfully rounded, and giving the same bits on every x86 build with SSE2.
//
// How: each function widens its float argument to double, reduces it exactly
// (or with an error far below a float ulp), evaluates a short polynomial in
// double and rounds once to float. The double result is accurate to about
// 2^-50 relative, so the one rounding gives the correctly rounded float in all
// but a tiny fraction of arguments and is never more than one ulp off. Only
// IEEE-754 basic operations (+ - * /) in round-to-nearest, conversions and
// integer bit manipulation are used: no C library call, no long double, no
// fused multiply-add. Tables hold exact binary (hexadecimal) literals.
//
// With flush-to-zero and denormals-are-zero set (as during processing),
// subnormal float arguments read as zero and subnormal float results become
// zero, the same on every platform.
#pragma once

#include <bit>
#include <cfloat>
#include <cstdint>

#include <emmintrin.h>
#ifdef __AVX__
#include <immintrin.h>
#endif

#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "chainmath needs float and double evaluated in their own precision (SSE2: -msse2 -mfpmath=sse)"
#endif

namespace chainmath {

namespace detail {

// Adding and subtracting 1.5 * 2^52 rounds a double below 2^51 in magnitude to
// the nearest integer (ties to even); the integer is then in the low bits.
inline constexpr double kRoundShift = 0x1.8p52;

// ---- lanes of doubles ------------------------------------------------------
// The double-precision kernels below are written once, over a type D of double
// lanes: double itself (one lane: the scalar functions), or the packed types of
// the four-lane functions further down (D2, D4). Each operation of D rounds
// every lane as the same operation on a double does, so every lane of a packed
// function gives the scalar function's bits. A comparison gives a mask (bool
// for one lane), which selectD takes. The operations of one lane:
inline double splatD(double x, double) { return x; }
inline bool greaterD(double a, double b) { return a > b; }
inline double selectD(bool m, double a, double b) { return m ? a : b; }
inline double negateD(double a) { return -a; }
// The integer part of a lane in [0, 2^31), truncated, and back to double.
inline uint32_t truncateD(double a) { return static_cast<uint32_t>(a); }
inline double fromIntD(uint32_t j, double) { return static_cast<double>(j); }
// Whether the lowest mantissa bit of a lane is set.
inline bool oddD(double a) { return (std::bit_cast<uint64_t>(a) & 1u) != 0; }

// ---- exp ------------------------------------------------------------------
// e^z = 2^(k/64) * e^r with k = round(z * 64/ln2) and r = z - k * ln2/64,
// |r| <= ln2/128. ln2/64 is split in kLn2By64Hi (39 significant bits, so that
// k * kLn2By64Hi is exact for |k| < 2^14) and kLn2By64Lo.
inline constexpr double k64ByLn2 = 0x1.71547652b82fep+6;
inline constexpr double kLn2By64Hi = 0x1.62e42fefa4000p-7;
inline constexpr double kLn2By64Lo = -0x1.8432a1b0e2634p-49;

// 2^(j/64), j = 0..63, each rounded to the nearest double.
inline constexpr double kExp2Table[64] = {
    0x1.0000000000000p+0, 0x1.02c9a3e778061p+0, 0x1.059b0d3158574p+0,
    0x1.0874518759bc8p+0, 0x1.0b5586cf9890fp+0, 0x1.0e3ec32d3d1a2p+0,
    0x1.11301d0125b51p+0, 0x1.1429aaea92de0p+0, 0x1.172b83c7d517bp+0,
    0x1.1a35beb6fcb75p+0, 0x1.1d4873168b9aap+0, 0x1.2063b88628cd6p+0,
    0x1.2387a6e756238p+0, 0x1.26b4565e27cddp+0, 0x1.29e9df51fdee1p+0,
    0x1.2d285a6e4030bp+0, 0x1.306fe0a31b715p+0, 0x1.33c08b26416ffp+0,
    0x1.371a7373aa9cbp+0, 0x1.3a7db34e59ff7p+0, 0x1.3dea64c123422p+0,
    0x1.4160a21f72e2ap+0, 0x1.44e086061892dp+0, 0x1.486a2b5c13cd0p+0,
    0x1.4bfdad5362a27p+0, 0x1.4f9b2769d2ca7p+0, 0x1.5342b569d4f82p+0,
    0x1.56f4736b527dap+0, 0x1.5ab07dd485429p+0, 0x1.5e76f15ad2148p+0,
    0x1.6247eb03a5585p+0, 0x1.6623882552225p+0, 0x1.6a09e667f3bcdp+0,
    0x1.6dfb23c651a2fp+0, 0x1.71f75e8ec5f74p+0, 0x1.75feb564267c9p+0,
    0x1.7a11473eb0187p+0, 0x1.7e2f336cf4e62p+0, 0x1.82589994cce13p+0,
    0x1.868d99b4492edp+0, 0x1.8ace5422aa0dbp+0, 0x1.8f1ae99157736p+0,
    0x1.93737b0cdc5e5p+0, 0x1.97d829fde4e50p+0, 0x1.9c49182a3f090p+0,
    0x1.a0c667b5de565p+0, 0x1.a5503b23e255dp+0, 0x1.a9e6b5579fdbfp+0,
    0x1.ae89f995ad3adp+0, 0x1.b33a2b84f15fbp+0, 0x1.b7f76f2fb5e47p+0,
    0x1.bcc1e904bc1d2p+0, 0x1.c199bdd85529cp+0, 0x1.c67f12e57d14bp+0,
    0x1.cb720dcef9069p+0, 0x1.d072d4a07897cp+0, 0x1.d5818dcfba487p+0,
    0x1.da9e603db3285p+0, 0x1.dfc97337b9b5fp+0, 0x1.e502ee78b3ff6p+0,
    0x1.ea4afa2a490dap+0, 0x1.efa1bee615a27p+0, 0x1.f50765b6e4540p+0,
    0x1.fa7c1819e90d8p+0,
};

// e^r - 1 by its Taylor series to r^5, for |r| <= ln2/128; the first term left
// out is below 2^-54: r + r^2 (1/2 + r (1/6 + r (1/24 + r/120))).
template <class D>
inline D expm1SeriesD(D r)
{
    D p = r * splatD(1.0 / 120, D{});
    p = r * (splatD(1.0 / 24, D{}) + p);
    p = r * (splatD(1.0 / 6, D{}) + p);
    p = splatD(0.5, D{}) + p;
    return r + (r * r) * p;
}

// Below this magnitude z * 64/ln2 lies within 0.37 of zero, so that the
// reduction in expKernel gives k = 0, r = z exactly, t = 1 and scale = 1.
inline constexpr double kExpSmall = 0x1p-8;

// exp's small-argument path 1 + expm1Series(z).
template <class D>
inline D expSmallD(D z)
{
    return splatD(1.0, D{}) + expm1SeriesD(z);
}

// e^z for z in [-104, 89] (the caller clamps), in double. Past those bounds
// the float result is +0 or +inf anyway. NaN propagates.
inline double expKernel(double z)
{
    double kd = z * k64ByLn2 + kRoundShift;
    const uint32_t k = static_cast<uint32_t>(std::bit_cast<uint64_t>(kd));
    kd -= kRoundShift;
    // z - k * hi is exact (k * hi is exact and lies within a factor 2 of z).
    const double r = (z - kd * kLn2By64Hi) - kd * kLn2By64Lo;
    const double p = expm1SeriesD(r);
    const double t = kExp2Table[k & 63];
    // 2^floor(k/64) built directly as a double: exponent field 1023 + k/64.
    const int32_t m = static_cast<int32_t>(k) >> 6;
    const double scale = std::bit_cast<double>(static_cast<uint64_t>(static_cast<uint32_t>(m + 1023)) << 52);
    return scale * (t + t * p);
}

// ---- log (for pow) ----------------------------------------------------------
// x = 2^e * m with m in [0.697, 1.394); m lies in one of 128 subintervals,
// each with a reciprocal centre invc (at most 21 significant bits, so that
// r = m * invc - 1 is exact) and logc = -ln(invc) rounded to the nearest
// double. The subinterval around 1 has invc = 1 exactly, so ln x keeps its
// full relative accuracy near x = 1. ln x = e*ln2 + logc + ln(1 + r), |r| <= 2^-8.
struct LogEntry {
    double invc; // reciprocal of the subinterval's centre
    double logc; // -ln(invc)
};
inline constexpr uint32_t kLogOffset = 0x3f328000; // bits of 0.6973, the lowest m
inline constexpr double kLn2Hi = 0x1.62e42fefa3a00p-1; // 44 bits: e * kLn2Hi exact
inline constexpr double kLn2Lo = -0x1.0ca86c3898d00p-49;
inline constexpr LogEntry kLogTable[128] = {
    {0x1.6e1f700000000p+0, -0x1.6e60dbaaf16b3p-2}, {0x1.6c16c00000000p+0, -0x1.68ac7fe9c69f4p-2},
    {0x1.6a13d00000000p+0, -0x1.630038f3aabc1p-2}, {0x1.6816800000000p+0, -0x1.5d5bd9f595f10p-2},
    {0x1.661ec00000000p+0, -0x1.57bf623c8cf29p-2}, {0x1.642c800000000p+0, -0x1.522ad0738a1d8p-2},
    {0x1.623fa00000000p+0, -0x1.4c9df4617289fp-2}, {0x1.6058100000000p+0, -0x1.4718caa71c1b7p-2},
    {0x1.5e75c00000000p+0, -0x1.419b4f3d5e775p-2}, {0x1.5c98800000000p+0, -0x1.3c251f7333104p-2},
    {0x1.5ac0500000000p+0, -0x1.36b663abe0e0bp-2}, {0x1.58ed200000000p+0, -0x1.314f151d35c42p-2},
    {0x1.571ed00000000p+0, -0x1.2beefc8dc9256p-2}, {0x1.5555500000000p+0, -0x1.269611134d992p-2},
    {0x1.5390900000000p+0, -0x1.21444910eb75ap-2}, {0x1.51d0800000000p+0, -0x1.1bf99a35a6b75p-2},
    {0x1.5015000000000p+0, -0x1.16b5c8bacfb53p-2}, {0x1.4e5e100000000p+0, -0x1.1178f9227e23ap-2},
    {0x1.4cab900000000p+0, -0x1.0c42edb615eaap-2}, {0x1.4afd700000000p+0, -0x1.07139884d55b6p-2},
    {0x1.4953a00000000p+0, -0x1.01eaeae26c654p-2}, {0x1.47ae100000000p+0, -0x1.f991aacb3b069p-3},
    {0x1.460cc00000000p+0, -0x1.ef5af44dcfe02p-3}, {0x1.446f800000000p+0, -0x1.e530c7fe709d2p-3},
    {0x1.42d6600000000p+0, -0x1.db13cc0d4885fp-3}, {0x1.4141400000000p+0, -0x1.d103772655e3bp-3},
    {0x1.3fb0100000000p+0, -0x1.c6ffa2ef00ce6p-3}, {0x1.3e22d00000000p+0, -0x1.bd088e83bd5d4p-3},
    {0x1.3c99600000000p+0, -0x1.b31daa75bc8e4p-3}, {0x1.3b13b00000000p+0, -0x1.a93ecbc8ad9a3p-3},
    {0x1.3991c00000000p+0, -0x1.9f6c2e7089520p-3}, {0x1.3813800000000p+0, -0x1.95a5a5cf7013fp-3},
    {0x1.3698e00000000p+0, -0x1.8beb03b38fe73p-3}, {0x1.3521d00000000p+0, -0x1.823c18551a3bep-3},
    {0x1.33ae400000000p+0, -0x1.7898b254446cfp-3}, {0x1.323e300000000p+0, -0x1.6f0109b7566fbp-3},
    {0x1.30d1900000000p+0, -0x1.6574eb68c133ap-3}, {0x1.2f68500000000p+0, -0x1.5bf422b543aa2p-3},
    {0x1.2e02600000000p+0, -0x1.527e794a1b2b4p-3}, {0x1.2c9fb00000000p+0, -0x1.4913b7333b120p-3},
    {0x1.2b40500000000p+0, -0x1.3fb47dd9923dfp-3}, {0x1.29e4100000000p+0, -0x1.365fb90158ed2p-3},
    {0x1.288b000000000p+0, -0x1.2d1608c8680fap-3}, {0x1.2735100000000p+0, -0x1.23d731a49be41p-3},
    {0x1.25e2200000000p+0, -0x1.1aa286e23edc9p-3}, {0x1.2492500000000p+0, -0x1.117918227db7cp-3},
    {0x1.2345600000000p+0, -0x1.08595659e2f0ep-3}, {0x1.21fb800000000p+0, -0x1.fe89839dbbce6p-4},
    {0x1.20b4700000000p+0, -0x1.ec738d30a10e3p-4}, {0x1.1f70400000000p+0, -0x1.da72063842e22p-4},
    {0x1.1e2ef00000000p+0, -0x1.c8854b1bc45a7p-4}, {0x1.1cf0700000000p+0, -0x1.b6acd2dad506ap-4},
    {0x1.1bb4a00000000p+0, -0x1.a4e72a0b1b5a6p-4}, {0x1.1a7b900000000p+0, -0x1.93358dd593a69p-4},
    {0x1.1945400000000p+0, -0x1.819856f40c9a8p-4}, {0x1.1811800000000p+0, -0x1.700d20aeac061p-4},
    {0x1.16e0700000000p+0, -0x1.5e9611d977a97p-4}, {0x1.15b1e00000000p+0, -0x1.4d30bdd206f8cp-4},
    {0x1.1485f00000000p+0, -0x1.3bdf4d7d1ee10p-4}, {0x1.135c800000000p+0, -0x1.2aa03a4471725p-4},
    {0x1.1235900000000p+0, -0x1.1973d4146545ep-4}, {0x1.1111100000000p+0, -0x1.08597b59e3987p-4},
    {0x1.0fef000000000p+0, -0x1.eea2fc006b77cp-5}, {0x1.0ecf500000000p+0, -0x1.ccb670ddd8a28p-5},
    {0x1.0db2100000000p+0, -0x1.aaefd30faf613p-5}, {0x1.0c97100000000p+0, -0x1.894a0949f9cb3p-5},
    {0x1.0b7e700000000p+0, -0x1.67c9752d4b9efp-5}, {0x1.0a68100000000p+0, -0x1.466ad942de386p-5},
    {0x1.0953f00000000p+0, -0x1.252ec4f8d0c6ep-5}, {0x1.0842100000000p+0, -0x1.0415c89e74404p-5},
    {0x1.0732600000000p+0, -0x1.c63d06c14aa2ap-6}, {0x1.0624e00000000p+0, -0x1.8493028c8bb9fp-6},
    {0x1.0519800000000p+0, -0x1.432ab25980c41p-6}, {0x1.0410400000000p+0, -0x1.0205258935647p-6},
    {0x1.0309200000000p+0, -0x1.8246da3884d1ap-7}, {0x1.0204100000000p+0, -0x1.010547587e661p-7},
    {0x1.0101000000000p+0, -0x1.007f559588335p-8}, {0x1.0000000000000p+0, 0.0},
    {0x1.fc08000000000p-1, 0x1.fdfaa6b126789p-8}, {0x1.f81f800000000p-1, 0x1.fc0b0b0fc07e4p-7},
    {0x1.f446600000000p-1, 0x1.7b90e87d5c4a3p-6}, {0x1.f07c200000000p-1, 0x1.f82990e783380p-6},
    {0x1.ecc0800000000p-1, 0x1.39e82b9fec3a0p-5}, {0x1.e913200000000p-1, 0x1.774537632e48cp-5},
    {0x1.e573a00000000p-1, 0x1.b42eab1199da3p-5}, {0x1.e1e1e00000000p-1, 0x1.f0a32c01163a6p-5},
    {0x1.de5d600000000p-1, 0x1.1653e8ea397f3p-4}, {0x1.dae6000000000p-1, 0x1.341db961bd9d1p-4},
    {0x1.d77b600000000p-1, 0x1.51b0a1f061c61p-4}, {0x1.d41d400000000p-1, 0x1.6f0d38ae56bccp-4},
    {0x1.d0cb600000000p-1, 0x1.8c341f631a2a3p-4}, {0x1.cd85600000000p-1, 0x1.a9271fa4ae0abp-4},
    {0x1.ca4b400000000p-1, 0x1.c5e4bcf5bed8bp-4}, {0x1.c71c800000000p-1, 0x1.e26ff6e2b12e6p-4},
    {0x1.c3f9000000000p-1, 0x1.fec8831dc133bp-4}, {0x1.c0e0800000000p-1, 0x1.0d779fcd0a299p-3},
    {0x1.bdd2c00000000p-1, 0x1.1b728b52f6c24p-3}, {0x1.bacfa00000000p-1, 0x1.2954eb8200733p-3},
    {0x1.b7d6c00000000p-1, 0x1.371fd401e90b8p-3}, {0x1.b4e8200000000p-1, 0x1.44d2a0ccb7f02p-3},
    {0x1.b203600000000p-1, 0x1.526e713a1b5a1p-3}, {0x1.af28600000000p-1, 0x1.5ff33f0a7a014p-3},
    {0x1.ac57000000000p-1, 0x1.6d6106719d25dp-3}, {0x1.a98f000000000p-1, 0x1.7ab860210e209p-3},
    {0x1.a6d0200000000p-1, 0x1.87f9eb520cbeap-3}, {0x1.a41a400000000p-1, 0x1.9525b1cf456f4p-3},
    {0x1.a16d400000000p-1, 0x1.a23bbffe2b567p-3}, {0x1.9ec8e00000000p-1, 0x1.af3cc2e80c837p-3},
    {0x1.9c2d200000000p-1, 0x1.bc283042d98a7p-3}, {0x1.9999a00000000p-1, 0x1.c8ff5c79a9e22p-3},
    {0x1.970e400000000p-1, 0x1.d5c264b4fd355p-3}, {0x1.948b000000000p-1, 0x1.e270c6e2b0be6p-3},
    {0x1.920fc00000000p-1, 0x1.ef0aa2bdc665ap-3}, {0x1.8f9c200000000p-1, 0x1.fb9162d5e433bp-3},
    {0x1.8d30200000000p-1, 0x1.040246cb4d2edp-2}, {0x1.8acba00000000p-1, 0x1.0a32272739cc5p-2},
    {0x1.886e600000000p-1, 0x1.1058bd1ae4ae2p-2}, {0x1.8618600000000p-1, 0x1.1675cebaba62ep-2},
    {0x1.83c9800000000p-1, 0x1.1c89761699dc3p-2}, {0x1.8181800000000p-1, 0x1.229423bcf7986p-2},
    {0x1.7f40600000000p-1, 0x1.2895a0bde86a4p-2}, {0x1.7d06000000000p-1, 0x1.2e8e0bae12531p-2},
    {0x1.7ad2200000000p-1, 0x1.347ddb2987d59p-2}, {0x1.78a4c00000000p-1, 0x1.3a64db56949b2p-2},
    {0x1.767dc00000000p-1, 0x1.40432f686b3c6p-2}, {0x1.745d200000000p-1, 0x1.4618a421c6342p-2},
    {0x1.7242800000000p-1, 0x1.4be60f5777c69p-2}, {0x1.702e000000000p-1, 0x1.51aae872dfa2dp-2},
};

// ln x in double for the bits of a positive normal float x.
inline double logKernel(uint32_t ix)
{
    const uint32_t tmp = ix - kLogOffset;
    const int32_t e = static_cast<int32_t>(tmp) >> 23;
    const LogEntry& c = kLogTable[(tmp >> 16) & 127];
    const double m = std::bit_cast<float>(ix - (static_cast<uint32_t>(e) << 23));
    const double r = m * c.invc - 1.0; // exact
    // ln(1 + r) by its Taylor series to r^7; the first term left out is below 2^-59 r.
    const double lp =
        r + r * r * (-0.5 + r * (1.0 / 3 + r * (-1.0 / 4 + r * (1.0 / 5 + r * (-1.0 / 6 + r * (1.0 / 7))))));
    const double ed = e;
    return (ed * kLn2Hi + c.logc) + (lp + ed * kLn2Lo);
}

// x^y = e^(y ln x) for a positive normal float x (given by its bits) and a finite y.
inline float powPositive(uint32_t ix, float y)
{
    double z = static_cast<double>(y) * logKernel(ix);
    z = z > 89.0 ? 89.0 : z;
    z = z < -104.0 ? -104.0 : z;
    return static_cast<float>(expKernel(z));
}

// Every case outside the positive normal x and finite y of the fast path.
float powSpecial(float x, float y);

// ---- atan ---------------------------------------------------------------------
// atan(v) for v in [0, 1] = atan(c) + atan(t), c = j/16 the nearest sixteenth,
// t = (v - c) / (1 + v c), |t| <= 1/32. atan(j/16), j = 0..16, rounded to the
// nearest double:
inline constexpr double kAtanTable[17] = {
    0.0, 0x1.ff55bb72cfdeap-5, 0x1.fd5ba9aac2f6ep-4,
    0x1.7b97b4bce5b02p-3, 0x1.f5b75f92c80ddp-3, 0x1.362773707ebccp-2,
    0x1.6f61941e4def1p-2, 0x1.a64eec3cc23fdp-2, 0x1.dac670561bb4fp-2,
    0x1.0657e94db30d0p-1, 0x1.1e00babdefeb4p-1, 0x1.345f01cce37bbp-1,
    0x1.4978fa3269ee1p-1, 0x1.5d58987169b18p-1, 0x1.700a7c5784634p-1,
    0x1.819d0b7158a4dp-1, 0x1.921fb54442d18p-1,
};
inline constexpr double kPiBy2 = 0x1.921fb54442d18p+0;

inline double atanTableD(uint32_t j, double) { return kAtanTable[j]; }

// atan of non-NaN lanes, without the sign. kSomeAbove1: some lane may exceed 1
// (otherwise the fold above 1 is left out, which changes nothing there).
// atan t by its Taylor series to t^9; the first term left out is below 2^-53 t.
template <bool kSomeAbove1, class D>
inline D atanMagnitudeD(D a)
{
    const D one = splatD(1.0, D{});
    // Above 1, atan a = pi/2 - atan(1/a).
    const auto big = greaterD(a, one);
    const D v = kSomeAbove1 ? selectD(big, one / a, a) : a;
    const auto j = truncateD(v * splatD(16.0, D{}) + splatD(0.5, D{}));
    const D c = fromIntD(j, D{}) * splatD(1.0 / 16, D{});
    const D t = (v - c) / (one + v * c);  // v - c is exact
    const D t2 = t * t;
    D p = t2 * splatD(1.0 / 9, D{});
    p = t2 * (splatD(-1.0 / 7, D{}) + p);
    p = t2 * (splatD(1.0 / 5, D{}) + p);
    p = splatD(-1.0 / 3, D{}) + p;
    const D w = atanTableD(j, D{}) + (t + (t * t2) * p);
    return kSomeAbove1 ? selectD(big, splatD(kPiBy2, D{}) - w, w) : w;
}

// ---- sin, tan: reduction by multiples of pi/2 ----------------------------------
// x = q * pi/2 + r with |r| <= pi/4 (plus a hair), r in double.
struct Reduced {
    double r;   // remainder
    uint32_t q; // quotient, modulo 4
};

// For 0 <= x < 2^22: q = round(x * 2/pi) < 2^22 and pi/2 split in three parts,
// the first two with 31 significant bits so that q times them is exact.
// x - q * kPiBy2A is exact; the remainder keeps about 2^-53 relative accuracy
// for every float in this range (the nearest float to a multiple of pi/2
// lies 2^-30 from it, far above the 2^-90 left out by the split).
inline constexpr double k2ByPi = 0x1.45f306dc9c883p-1;
inline constexpr double kPiBy2A = 0x1.921fb54400000p+0;
inline constexpr double kPiBy2B = 0x1.0b4611a800000p-34;
inline constexpr double kPiBy2C = -0x1.d9cceba3f91f2p-66;
inline constexpr uint32_t kReduceSmallLimit = 0x4a800000; // bits of 2^22

// The remainder r of lanes below 2^22; shifted receives x * 2/pi + kRoundShift,
// whose low mantissa bits hold the quotient.
template <class D>
inline D reduceSmallD(D x, D& shifted)
{
    shifted = x * splatD(k2ByPi, D{}) + splatD(kRoundShift, D{});
    const D kd = shifted - splatD(kRoundShift, D{});
    return ((x - kd * splatD(kPiBy2A, D{})) - kd * splatD(kPiBy2B, D{})) - kd * splatD(kPiBy2C, D{});
}

inline Reduced reduceSmall(double x)
{
    double shifted;
    const double r = reduceSmallD(x, shifted);
    return {r, static_cast<uint32_t>(std::bit_cast<uint64_t>(shifted))};
}

// Below 0.75, x * 2/pi lies within 0.48 of zero: reduceSmall gives q = 0 and
// r = x exactly (every product with q is zero).
inline constexpr uint32_t kReduceNoneLimit = 0x3f400000; // bits of 0.75

// For finite x >= 2^22 (given by its bits): exact reduction with 128 bits of
// 2/pi taken at the position that the exponent of x selects.
Reduced reduceLarge(uint32_t ax);

inline Reduced reduce(uint32_t ax)
{
    return ax < kReduceSmallLimit ? reduceSmall(static_cast<double>(std::bit_cast<float>(ax))) : reduceLarge(ax);
}

// tan r for |r| <= pi/4 (+ a hair) as num/den, from the ninth convergent of
// Lambert's continued fraction tan r = r / (1 - r^2 / (3 - r^2 / (5 - ...))):
// num = r (34459425 - 4729725 y + 135135 y^2 - 990 y^3 + y^4),
// den = 34459425 - 16216200 y + 945945 y^2 - 13860 y^3 + 45 y^4, y = r^2.
// Its relative error is below 2^-59 over the range; the integer coefficients
// are exact in double.
template <class D>
inline void tanKernelD(D r, D& num, D& den)
{
    const D y = r * r;
    num = splatD(-990.0, D{}) + y;
    num = splatD(135135.0, D{}) + y * num;
    num = splatD(-4729725.0, D{}) + y * num;
    num = r * (splatD(34459425.0, D{}) + y * num);
    den = splatD(-13860.0, D{}) + y * splatD(45.0, D{});
    den = splatD(945945.0, D{}) + y * den;
    den = splatD(-16216200.0, D{}) + y * den;
    den = splatD(34459425.0, D{}) + y * den;
}

// tan(r + q pi/2) from the remainder r and whether q is odd: tan r for even q,
// -cot r for odd q.
template <class D, class M>
inline D tanQuotientD(D r, M odd)
{
    D num, den;
    tanKernelD(r, num, den);
    return selectD(odd, negateD(den), num) / selectD(odd, num, den);
}

// tan of lanes with |x| below 2^22, without the sign: reduceSmall, the kernel
// and the quotient, lane by lane.
template <class D>
inline D tanMagnitudeD(D x)
{
    D shifted;
    const D r = reduceSmallD(x, shifted);
    return tanQuotientD(r, oddD(shifted));
}

// The same for lanes below 0.75, where reduceSmall gives q = 0 and r = x
// exactly: the kernel alone.
template <class D>
inline D tanSmallMagnitudeD(D x)
{
    D num, den;
    tanKernelD(x, num, den);
    return num / den;
}

inline float withSign(float v, uint32_t sign)
{
    return std::bit_cast<float>(std::bit_cast<uint32_t>(v) ^ sign);
}

}  // namespace detail

// e^x. Overflows to +inf above 88.72, underflows to +0 below -103.97.
inline float exp(float x)
{
    double z = x;
    // Small arguments (the per-sample release coefficients): with k = 0 the
    // kernel's scale * (t + t * p) is 1 * (1 + 1 * p), which is 1 + p exactly,
    // so the reduction and the table are skipped with the same result.
    if (z > -detail::kExpSmall && z < detail::kExpSmall) return static_cast<float>(detail::expSmallD(z));
    z = z > 89.0 ? 89.0 : z;
    z = z < -104.0 ? -104.0 : z;
    return static_cast<float>(detail::expKernel(z));
}

// tan x for every finite x; NaN for infinities and NaN.
inline float tan(float x)
{
    const uint32_t ix = std::bit_cast<uint32_t>(x);
    const uint32_t ax = ix & 0x7fffffffu;
    if (ax >= 0x7f800000u) return x - x;
    // Kept short: tanX4 inlines it for its rare lanes, into its callers' loops.
    const uint32_t sign = ix & 0x80000000u;
    const double a = std::bit_cast<float>(ax);
    // Below 0.75 no reduction is needed (q = 0): the kernel alone.
    if (ax < detail::kReduceNoneLimit) return detail::withSign(static_cast<float>(detail::tanSmallMagnitudeD(a)), sign);
    const detail::Reduced d = detail::reduce(ax);
    return detail::withSign(static_cast<float>(detail::tanQuotientD(d.r, (d.q & 1) != 0)), sign);
}

// atan x, in [-pi/2, pi/2].
inline float atan(float x)
{
    if (x != x) return x + x;
    const uint32_t ix = std::bit_cast<uint32_t>(x);
    const double a = std::bit_cast<float>(ix & 0x7fffffffu);
    const double w = detail::atanMagnitudeD<true>(a);
    return detail::withSign(static_cast<float>(w), ix & 0x80000000u);
}

// ---- four lanes at a time --------------------------------------------------
// exp, atan and tan of the four lanes of a packed single-precision vector:
// the kernels above over packed double lanes, two per SSE2 vector (D2) or, in
// code compiled for AVX, all four in one AVX vector (D4), so that each lane
// gives exactly the scalar result.

namespace detail {

struct D2 {
    __m128d v;
};
inline D2 operator+(D2 a, D2 b) { return {_mm_add_pd(a.v, b.v)}; }
inline D2 operator-(D2 a, D2 b) { return {_mm_sub_pd(a.v, b.v)}; }
inline D2 operator*(D2 a, D2 b) { return {_mm_mul_pd(a.v, b.v)}; }
inline D2 operator/(D2 a, D2 b) { return {_mm_div_pd(a.v, b.v)}; }
inline D2 splatD(double x, D2) { return {_mm_set1_pd(x)}; }
inline D2 greaterD(D2 a, D2 b) { return {_mm_cmpgt_pd(a.v, b.v)}; }
inline D2 selectD(D2 m, D2 a, D2 b) { return {_mm_or_pd(_mm_and_pd(m.v, a.v), _mm_andnot_pd(m.v, b.v))}; }
inline D2 negateD(D2 a) { return {_mm_xor_pd(a.v, _mm_set1_pd(-0.0))}; }
// The integer parts of lanes in [0, 2^31), truncated, and back to double.
inline __m128i truncateD(D2 a) { return _mm_cvttpd_epi32(a.v); }
inline D2 fromIntD(__m128i j, D2) { return {_mm_cvtepi32_pd(j)}; }
inline D2 atanTableD(__m128i j, D2)
{
    const auto j0 = static_cast<uint32_t>(_mm_cvtsi128_si32(j));
    const auto j1 = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(j, _MM_SHUFFLE(1, 1, 1, 1))));
    return {_mm_setr_pd(kAtanTable[j0], kAtanTable[j1])};
}
// All ones in the lanes whose lowest mantissa bit is set.
inline __m128d oddLanes(__m128i bits)
{
    const __m128i odd32 = _mm_cmpeq_epi32(_mm_and_si128(bits, _mm_set1_epi32(1)), _mm_set1_epi32(1));
    return _mm_castsi128_pd(_mm_shuffle_epi32(odd32, _MM_SHUFFLE(2, 2, 0, 0)));
}
inline D2 oddD(D2 a) { return {oddLanes(_mm_castpd_si128(a.v))}; }

// Four float lanes widened to two D2 halves, and rounded back.
struct FourD2 {
    D2 lo, hi;
};
inline FourD2 widen(__m128 x, D2) { return {{_mm_cvtps_pd(x)}, {_mm_cvtps_pd(_mm_movehl_ps(x, x))}}; }
inline __m128 narrow(FourD2 a) { return _mm_movelh_ps(_mm_cvtpd_ps(a.lo.v), _mm_cvtpd_ps(a.hi.v)); }
template <class F>
inline FourD2 each(FourD2 a, F f) { return {f(a.lo), f(a.hi)}; }
inline int maskOf(FourD2 m) { return _mm_movemask_pd(m.lo.v) | (_mm_movemask_pd(m.hi.v) << 2); }

#ifdef __AVX__
struct D4 {
    __m256d v;
};
inline D4 operator+(D4 a, D4 b) { return {_mm256_add_pd(a.v, b.v)}; }
inline D4 operator-(D4 a, D4 b) { return {_mm256_sub_pd(a.v, b.v)}; }
inline D4 operator*(D4 a, D4 b) { return {_mm256_mul_pd(a.v, b.v)}; }
inline D4 operator/(D4 a, D4 b) { return {_mm256_div_pd(a.v, b.v)}; }
inline D4 splatD(double x, D4) { return {_mm256_set1_pd(x)}; }
inline D4 greaterD(D4 a, D4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OS)}; }
inline D4 selectD(D4 m, D4 a, D4 b) { return {_mm256_or_pd(_mm256_and_pd(m.v, a.v), _mm256_andnot_pd(m.v, b.v))}; }
inline D4 negateD(D4 a) { return {_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))}; }
inline __m128i truncateD(D4 a) { return _mm256_cvttpd_epi32(a.v); }
inline D4 fromIntD(__m128i j, D4) { return {_mm256_cvtepi32_pd(j)}; }
inline D4 atanTableD(__m128i j, D4)
{
    alignas(16) uint32_t k[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(k), j);
    return {_mm256_setr_pd(kAtanTable[k[0]], kAtanTable[k[1]], kAtanTable[k[2]], kAtanTable[k[3]])};
}
inline D4 oddD(D4 a)
{
    const __m256i bits = _mm256_castpd_si256(a.v);
    return {_mm256_insertf128_pd(_mm256_castpd128_pd256(oddLanes(_mm256_castsi256_si128(bits))),
                                 oddLanes(_mm256_extractf128_si256(bits, 1)), 1)};
}
inline D4 widen(__m128 x, D4) { return {_mm256_cvtps_pd(x)}; }
inline __m128 narrow(D4 a) { return _mm256_cvtpd_ps(a.v); }
template <class F>
inline D4 each(D4 a, F f) { return f(a); }
inline int maskOf(D4 m) { return _mm256_movemask_pd(m.v); }
using Wide = D4;  // four lanes in one value
#else
using Wide = D2;  // four lanes as two halves
#endif

}  // namespace detail

// exp of every lane.
inline __m128 expX4(__m128 x)
{
    using detail::Wide;
    const auto z = detail::widen(x, Wide{});
    const auto inRange = detail::each(z, [](auto d) {
        using D = decltype(d);
        const D small = detail::splatD(detail::kExpSmall, D{});
        return detail::selectD(detail::greaterD(d, detail::negateD(small)), detail::greaterD(small, d), D{});
    });
    if (detail::maskOf(inRange) == 0xF)
        return detail::narrow(detail::each(z, [](auto d) { return detail::expSmallD(d); }));
    alignas(16) float v[4];
    _mm_store_ps(v, x);
    for (float& e : v) e = exp(e);
    return _mm_load_ps(v);
}

// exp of every lane when every lane lies strictly between -2^-8 and 2^-8:
// exp's small-argument path, without the range test.
inline __m128 expSmallX4(__m128 x)
{
    const auto z = detail::widen(x, detail::Wide{});
    return detail::narrow(detail::each(z, [](auto d) { return detail::expSmallD(d); }));
}

// The same for one value.
inline float expSmall(float x) { return static_cast<float>(detail::expSmallD(static_cast<double>(x))); }

// atan of every lane.
inline __m128 atanX4(__m128 x)
{
    const __m128 signBit = _mm_set1_ps(-0.0f);
    const __m128 nan = _mm_cmpunord_ps(x, x);
    // NaN lanes go through as 0 and are replaced by x + x at the end.
    const __m128 a = _mm_andnot_ps(nan, _mm_andnot_ps(signBit, x));
    const auto z = detail::widen(a, detail::Wide{});
    // The gates' arguments never exceed 1.
    const bool someAbove1 = _mm_movemask_ps(_mm_cmpgt_ps(a, _mm_set1_ps(1.0f))) != 0;
    const __m128 m = someAbove1 ? detail::narrow(detail::each(z, [](auto d) { return detail::atanMagnitudeD<true>(d); }))
                                : detail::narrow(detail::each(z, [](auto d) { return detail::atanMagnitudeD<false>(d); }));
    const __m128 r = _mm_xor_ps(m, _mm_and_ps(signBit, x));
    return _mm_or_ps(_mm_and_ps(nan, _mm_add_ps(x, x)), _mm_andnot_ps(nan, r));
}

// tan of every lane: packed for |x| below 2^22, lane by lane otherwise
// (huge arguments, infinities and NaN).
inline __m128 tanX4(__m128 x)
{
    const __m128 signBit = _mm_set1_ps(-0.0f);
    const __m128 a = _mm_andnot_ps(signBit, x);
    const __m128i big = _mm_cmpgt_epi32(_mm_castps_si128(a), _mm_set1_epi32(static_cast<int>(detail::kReduceSmallLimit - 1)));
    if (_mm_movemask_epi8(big) != 0) {
        alignas(16) float v[4];
        _mm_store_ps(v, x);
        for (float& e : v) e = tan(e);
        return _mm_load_ps(v);
    }
    const auto z = detail::widen(a, detail::Wide{});
    const __m128i reduced = _mm_cmpgt_epi32(_mm_castps_si128(a), _mm_set1_epi32(static_cast<int>(detail::kReduceNoneLimit - 1)));
    const __m128 m = _mm_movemask_epi8(reduced) == 0
                         ? detail::narrow(detail::each(z, [](auto d) { return detail::tanSmallMagnitudeD(d); }))
                         : detail::narrow(detail::each(z, [](auto d) { return detail::tanMagnitudeD(d); }));
    return _mm_xor_ps(m, _mm_and_ps(signBit, x));
}

// x^y. The fast path covers positive normal x with finite y; the rest follows
// the usual conventions (x^0 = 1, 1^y = 1, negative x only for integer y, ...).
inline float pow(float x, float y)
{
    const uint32_t ix = std::bit_cast<uint32_t>(x);
    const uint32_t iy = std::bit_cast<uint32_t>(y);
    if (ix - 0x00800000u < 0x7f000000u && (iy & 0x7fffffffu) < 0x7f800000u) return detail::powPositive(ix, y);
    return detail::powSpecial(x, y);
}

// sin x for every finite x; NaN for infinities and NaN. Used in coefficient design.
float sin(float x);

// Decibels to a linear factor, 10^(x/20), in the chain's conventional form.
inline float dbToLinear(float db) { return chainmath::pow(10.0f, 0.05f * db); }

}  // namespace chainmath
