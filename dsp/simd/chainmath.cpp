// The out-of-line parts of the chain's mathematics: the reduction of huge
// arguments by pi/2, the special cases of pow, and sin.
#include "dsp/simd/chainmath.h"

namespace chainmath {
namespace detail {

namespace {

// The binary digits of 2/pi, 32 to a word, after one word of zeros: bit p of
// this array (p = 0 the most significant bit of word 0) is the digit of weight
// 2^-(p - 31). Eight words, 256 digits, cover every float exponent.
constexpr uint32_t kTwoByPiBits[9] = {
    0x00000000, 0xa2f9836e, 0x4e441529, 0xfc2757d1, 0xf534ddc0,
    0xdb629599, 0x3c439041, 0xfe5163ab, 0xdebbc561,
};

// sin r and cos r for |r| <= pi/4 (+ a hair) by their Taylor series to r^15
// and r^16; the first terms left out are below 2^-53 of the results.
void sinCosKernel(double r, double& s, double& c)
{
    const double r2 = r * r;
    s = r + r * r2 *
                (-1.0 / 6 +
                 r2 * (1.0 / 120 +
                       r2 * (-1.0 / 5040 +
                             r2 * (1.0 / 362880 +
                                   r2 * (-1.0 / 39916800 + r2 * (1.0 / 6227020800.0 + r2 * (-1.0 / 1307674368000.0)))))));
    c = 1.0 - 0.5 * r2 +
        r2 * r2 *
            (1.0 / 24 +
             r2 * (-1.0 / 720 +
                   r2 * (1.0 / 40320 +
                         r2 * (-1.0 / 3628800 +
                               r2 * (1.0 / 479001600 + r2 * (-1.0 / 87178291200.0 + r2 * (1.0 / 20922789888000.0)))))));
}

}  // namespace

Reduced reduceLarge(uint32_t ax)
{
    // x = M * 2^E with M a 24-bit integer and E >= -1. In x * 2/pi the digits
    // of 2/pi of weight 2^-i with i <= E - 2 contribute multiples of 4, which
    // do not change sin or tan: keep the 128 digits from i = E - 1 on,
    // W = those digits as an integer, so that x * 2/pi = M * W * 2^-126
    // (mod 4), short of less than 2^-102.
    const int32_t E = static_cast<int32_t>(ax >> 23) - 150;
    const uint32_t M = (ax & 0x7fffffu) | 0x800000u;
    const uint32_t p0 = static_cast<uint32_t>(E - 1 + 31);
    const uint32_t w = p0 >> 5;
    const uint32_t sh = p0 & 31;
    uint32_t W[4];
    for (uint32_t k = 0; k < 4; ++k) {
        const uint64_t pair = (static_cast<uint64_t>(kTwoByPiBits[w + k]) << 32) | kTwoByPiBits[w + k + 1];
        W[k] = static_cast<uint32_t>((pair << sh) >> 32);
    }
    // P = M * W mod 2^128, in 32-bit limbs, most significant first.
    const uint64_t a3 = static_cast<uint64_t>(M) * W[3];
    const uint64_t a2 = static_cast<uint64_t>(M) * W[2] + (a3 >> 32);
    const uint64_t a1 = static_cast<uint64_t>(M) * W[1] + (a2 >> 32);
    const uint32_t P0 = M * W[0] + static_cast<uint32_t>(a1 >> 32);
    const uint32_t P1 = static_cast<uint32_t>(a1);
    const uint32_t P2 = static_cast<uint32_t>(a2);
    const uint32_t P3 = static_cast<uint32_t>(a3);
    // The top two bits are the quotient mod 4; the other 126 the fraction,
    // here as a 128-bit fixed-point number hi:lo in [0, 1).
    uint32_t q = P0 >> 30;
    uint64_t hi = (((static_cast<uint64_t>(P0) << 32) | P1) << 2) | (P2 >> 30);
    uint64_t lo = ((static_cast<uint64_t>(P2) << 32) | P3) << 2;
    // Round the quotient to the nearest integer: a fraction of 1/2 or more
    // becomes the negative fraction 1 - f of the next quotient.
    const bool negative = (hi >> 63) != 0;
    if (negative) {
        q += 1;
        lo = ~lo + 1;
        hi = ~hi + (lo == 0 ? 1 : 0);
    }
    // The fraction in double, from four 26-bit pieces (exact conversions),
    // smallest first; 104 bits keep full precision for any float argument.
    const double c0 = static_cast<int32_t>(hi >> 38);
    const double c1 = static_cast<int32_t>((hi >> 12) & 0x3ffffffu);
    const double c2 = static_cast<int32_t>(((hi & 0xfffu) << 14) | (lo >> 50));
    const double c3 = static_cast<int32_t>((lo >> 24) & 0x3ffffffu);
    const double f = ((c3 * 0x1p-104 + c2 * 0x1p-78) + c1 * 0x1p-52) + c0 * 0x1p-26;
    const double r = f * kPiBy2;
    return {negative ? -r : r, q};
}

float powSpecial(float x, float y)
{
    const uint32_t ix = std::bit_cast<uint32_t>(x);
    const uint32_t iy = std::bit_cast<uint32_t>(y);
    const uint32_t ax = ix & 0x7fffffffu;
    const uint32_t ay = iy & 0x7fffffffu;
    const float inf = std::bit_cast<float>(0x7f800000u);
    if (ay == 0 || ix == 0x3f800000u) return 1.0f; // x^0 = 1 and 1^y = 1, even for NaN
    if (ax > 0x7f800000u || ay > 0x7f800000u) return x + y; // NaN
    // Is y an integer, and if so an odd one? Floats of 2^24 and above are even integers.
    bool integer = false, odd = false;
    const uint32_t ey = ay >> 23;
    if (ey >= 151) {
        integer = true;
    } else if (ey >= 127) {
        const uint32_t shift = 150 - ey;
        const uint32_t mant = (ay & 0x7fffffu) | 0x800000u;
        integer = (mant & ((1u << shift) - 1)) == 0;
        odd = integer && ((mant >> shift) & 1) != 0;
    }
    const bool negativeX = (ix >> 31) != 0;
    if (negativeX && ax != 0 && ax != 0x7f800000u && !integer) return (x - x) / (x - x); // NaN
    const uint32_t sign = negativeX && odd ? 0x80000000u : 0;
    const bool negativeY = (iy >> 31) != 0;
    if (ay == 0x7f800000u) { // y = +-inf
        if (ax == 0x3f800000u) return 1.0f;
        return (ax > 0x3f800000u) != negativeY ? inf : 0.0f;
    }
    if (ax == 0) return withSign(negativeY ? inf : 0.0f, sign);
    if (ax == 0x7f800000u) return withSign(negativeY ? 0.0f : inf, sign);
    double lx;
    if (ax >= 0x00800000u) {
        lx = logKernel(ax);
    } else {
        // Subnormal: ln x = ln(integer significand) - 149 ln2.
        const float n = static_cast<float>(static_cast<int32_t>(ax));
        lx = (logKernel(std::bit_cast<uint32_t>(n)) - 149.0 * kLn2Hi) - 149.0 * kLn2Lo;
    }
    double z = static_cast<double>(y) * lx;
    z = z > 89.0 ? 89.0 : z;
    z = z < -104.0 ? -104.0 : z;
    return withSign(static_cast<float>(expKernel(z)), sign);
}

}  // namespace detail

float sin(float x)
{
    const uint32_t ix = std::bit_cast<uint32_t>(x);
    const uint32_t ax = ix & 0x7fffffffu;
    if (ax >= 0x7f800000u) return x - x;
    const detail::Reduced d = detail::reduce(ax);
    double s, c;
    detail::sinCosKernel(d.r, s, c);
    // sin(r + q pi/2) is sin r, cos r, -sin r, -cos r for q = 0, 1, 2, 3.
    double v = (d.q & 1) != 0 ? c : s;
    v = (d.q & 2) != 0 ? -v : v;
    return detail::withSign(static_cast<float>(v), ix & 0x80000000u);
}

}  // namespace chainmath
