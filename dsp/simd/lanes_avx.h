// Eight lanes of a packed single-precision AVX vector (Lane8), the same
// values as a Pair<Lane4> and kept in the same memory: two runs of four
// floats, one after the other. A section's state therefore has one layout for
// both, and the processor can change between them without moving any state.
//
// Only for translation units compiled with AVX, whose own code is kept apart
// from the rest (see band_bank_avx.cpp). No fused multiply-add: every lane
// rounds as the scalar operation does.
#pragma once

#include <immintrin.h>
#include <type_traits>

#include "dsp/simd/lanes.h"

namespace plumbra {

struct Lane8 {
    __m256 v;
};

template <>
struct LaneTraits<Lane8> {
    static constexpr int kLanes = 8;
    using Mem = PairMem<Lanes4Mem>;  // the memory of a Pair<Lane4>
};
static_assert(sizeof(Mem<Lane8>) == 8 * sizeof(float) && std::is_same_v<Mem<Lane8>, Mem<Pair<Lane4>>>);

inline Lane4 lowHalf(Lane8 a) { return {_mm256_castps256_ps128(a.v)}; }
inline Lane4 highHalf(Lane8 a) { return {_mm256_extractf128_ps(a.v, 1)}; }
inline Lane8 joinHalves(Lane4 lo, Lane4 hi, Lane8) { return {_mm256_insertf128_ps(_mm256_castps128_ps256(lo.v), hi.v, 1)}; }

inline Lane8 load(const Mem<Lane8>& m, Lane8) { return {_mm256_loadu_ps(m[0].data())}; }
inline void store(Mem<Lane8>& m, Lane8 x) { _mm256_storeu_ps(m[0].data(), x.v); }
inline Lane8 loadFrom(const float* p, Lane8) { return {_mm256_loadu_ps(p)}; }
inline Lane8 splat(float x, Lane8) { return {_mm256_set1_ps(x)}; }
inline Lane8 operator+(Lane8 a, Lane8 b) { return {_mm256_add_ps(a.v, b.v)}; }
inline Lane8 operator-(Lane8 a, Lane8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline Lane8 operator*(Lane8 a, Lane8 b) { return {_mm256_mul_ps(a.v, b.v)}; }
inline Lane8 operator/(Lane8 a, Lane8 b) { return {_mm256_div_ps(a.v, b.v)}; }
inline Lane8 sqrt(Lane8 a) { return {_mm256_sqrt_ps(a.v)}; }
// The operand order of the Lane4 ones: std::max(a, b) is maxps(b, a).
inline Lane8 max(Lane8 a, Lane8 b) { return {_mm256_max_ps(b.v, a.v)}; }
inline Lane8 min(Lane8 a, Lane8 b) { return {_mm256_min_ps(b.v, a.v)}; }
// The predicates of cmpltps/cmpleps with swapped operands and of cmpunordps.
inline Lane8 greater(Lane8 a, Lane8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GT_OS)}; }
inline Lane8 greaterEqual(Lane8 a, Lane8 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GE_OS)}; }
inline Lane8 isNan(Lane8 a) { return {_mm256_cmp_ps(a.v, a.v, _CMP_UNORD_Q)}; }
inline Lane8 select(Lane8 m, Lane8 a, Lane8 b) { return {_mm256_or_ps(_mm256_and_ps(m.v, a.v), _mm256_andnot_ps(m.v, b.v))}; }
// AVX has no eight-lane integer compare: the bits are compared by halves, and
// one test covers all eight lanes.
inline bool bitsDiffer(Lane8 a, const Mem<Lane8>& m)
{
    const __m128i low = _mm_cmpeq_epi32(_mm_castps_si128(lowHalf(a).v), _mm_castps_si128(_mm_loadu_ps(m[0].data())));
    const __m128i high = _mm_cmpeq_epi32(_mm_castps_si128(highHalf(a).v), _mm_castps_si128(_mm_loadu_ps(m[1].data())));
    return _mm_movemask_ps(_mm_castsi128_ps(_mm_and_si128(low, high))) != 0xF;
}
// Before an AVX unit returns to code compiled for SSE2: the upper halves of
// the vector registers cleared, so that the caller's legacy SSE instructions
// do not wait for them.
inline void clearUpperHalves() { _mm256_zeroupper(); }

template <>
inline constexpr bool kWideDoubles<Lane4> = true;
template <>
inline constexpr bool kWideDoubles<Lane8> = true;
inline Lane8 laneExp(Lane8 a) { return joinHalves(laneExp(lowHalf(a)), laneExp(highHalf(a)), Lane8{}); }
inline Lane8 laneAtan(Lane8 a) { return joinHalves(laneAtan(lowHalf(a)), laneAtan(highHalf(a)), Lane8{}); }
inline Lane8 laneTan(Lane8 a) { return joinHalves(laneTan(lowHalf(a)), laneTan(highHalf(a)), Lane8{}); }
inline Lane8 laneExpSmall(Lane8 a) { return joinHalves(laneExpSmall(lowHalf(a)), laneExpSmall(highHalf(a)), Lane8{}); }

}  // namespace plumbra
