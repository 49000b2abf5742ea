// Lane types: the sample types the chain's sections are written over. A plain
// float, the four lanes of a packed single-precision vector (Lane4), the low
// two lanes of one (Lane2: two channels side by side, lanes 2 and 3 idle) and
// two values side by side (Pair: of one lane type, or of two, such as the
// twelve bands' values as two groups of four and one). Each has exactly the
// operations the sections use: + - * /, sqrt, comparisons, select, and min/max
// with the operand order of std::min/std::max, so that a NaN operand gives
// every lane what the scalar call gives. Every packed operation rounds each
// lane as the scalar operation does, so a section instantiated over packed
// lanes gives in every lane the bits of its float instance, which is the
// reference it is tested against.
//
// State is kept in float memory (Mem<V>: a float, or four floats for the
// packed types, aligned as their vector so that no access straddles two cache
// lines), loaded and stored with unaligned instructions, so that the code never
// depends on where a compiler places a stack copy.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include <emmintrin.h>

#include "dsp/simd/chainmath.h"

namespace plumbra {

// Packed single precision (SSE2), N of the four lanes in use.
template <int N>
struct Sse {
    __m128 v;
};
using Lane4 = Sse<4>;
using Lane2 = Sse<2>;

// Two values side by side, each operation applied to both.
template <class A, class B = A>
struct Pair {
    A lo;
    B hi;
};

// The memory of four packed lanes, aligned as a vector so that no load or
// store of one straddles two cache lines; and of two values side by side,
// aligned as their eight-lane vector (up to 32 bytes).
struct alignas(16) Lanes4Mem : std::array<float, 4> {};
template <class M>
struct alignas(alignof(M) * 2 < 32 ? alignof(M) * 2 : 32) PairMem : std::array<M, 2> {};
// Two values of different lane types, the first one's lanes first.
template <class MA, class MB>
struct HPairMem {
    MA lo;
    MB hi;
};

// The halves of a pair's memory.
template <class M>
M& lowMem(std::array<M, 2>& m) { return m[0]; }
template <class M>
const M& lowMem(const std::array<M, 2>& m) { return m[0]; }
template <class M>
M& highMem(std::array<M, 2>& m) { return m[1]; }
template <class M>
const M& highMem(const std::array<M, 2>& m) { return m[1]; }
template <class MA, class MB>
MA& lowMem(HPairMem<MA, MB>& m) { return m.lo; }
template <class MA, class MB>
const MA& lowMem(const HPairMem<MA, MB>& m) { return m.lo; }
template <class MA, class MB>
MB& highMem(HPairMem<MA, MB>& m) { return m.hi; }
template <class MA, class MB>
const MB& highMem(const HPairMem<MA, MB>& m) { return m.hi; }

// The number of lanes a value's memory holds.
template <class M>
inline constexpr std::size_t kMemLanes = sizeof(M) / sizeof(float);  // float, Lanes4Mem
template <class M>
inline constexpr std::size_t kMemLanes<PairMem<M>> = 2 * kMemLanes<M>;
template <class MA, class MB>
inline constexpr std::size_t kMemLanes<HPairMem<MA, MB>> = kMemLanes<MA> + kMemLanes<MB>;

template <class V>
struct LaneTraits;
template <>
struct LaneTraits<float> {
    static constexpr int kLanes = 1;
    using Mem = float;
};
template <int N>
struct LaneTraits<Sse<N>> {
    static constexpr int kLanes = N;
    using Mem = Lanes4Mem;
};
template <class A, class B>
struct LaneTraits<Pair<A, B>> {
    static constexpr int kLanes = LaneTraits<A>::kLanes + LaneTraits<B>::kLanes;
    using Mem = std::conditional_t<std::is_same_v<A, B>, PairMem<typename LaneTraits<A>::Mem>,
                                   HPairMem<typename LaneTraits<A>::Mem, typename LaneTraits<B>::Mem>>;
};

template <class V>
using Mem = typename LaneTraits<V>::Mem;
template <class V>
inline constexpr int kLanesOf = LaneTraits<V>::kLanes;

// ---------------------------------------------------------------------------
// float: the reference.

inline float load(const float& m, float) { return m; }
inline void store(float& m, float x) { m = x; }
inline float splat(float x, float) { return x; }
inline float sqrt(float a) { return std::sqrt(a); }
inline float max(float a, float b) { return a < b ? b : a; }  // std::max(a, b)
inline float min(float a, float b) { return b < a ? b : a; }  // std::min(a, b)
inline bool greater(float a, float b) { return a > b; }
inline bool greaterEqual(float a, float b) { return a >= b; }
inline bool isNan(float a) { return a != a; }
inline float select(bool m, float a, float b) { return m ? a : b; }
// Whether the bits of a differ from those kept in m (in any lane).
inline bool bitsDiffer(float a, const float& m) { return std::bit_cast<uint32_t>(a) != std::bit_cast<uint32_t>(m); }
inline float laneExp(float a) { return chainmath::exp(a); }
inline float laneAtan(float a) { return chainmath::atan(a); }
inline float laneTan(float a) { return chainmath::tan(a); }
// exp of lanes known to lie strictly between -2^-8 and 2^-8 (exp's small-argument path).
inline float laneExpSmall(float a) { return chainmath::expSmall(a); }

// ---------------------------------------------------------------------------
// Packed lanes.

template <int N>
inline Sse<N> load(const std::array<float, 4>& m, Sse<N>) { return {_mm_loadu_ps(m.data())}; }
template <int N>
inline void store(std::array<float, 4>& m, Sse<N> x) { _mm_storeu_ps(m.data(), x.v); }
template <int N>
inline Sse<N> splat(float x, Sse<N>) { return {_mm_set1_ps(x)}; }
template <int N>
inline Sse<N> operator+(Sse<N> a, Sse<N> b) { return {_mm_add_ps(a.v, b.v)}; }
template <int N>
inline Sse<N> operator-(Sse<N> a, Sse<N> b) { return {_mm_sub_ps(a.v, b.v)}; }
template <int N>
inline Sse<N> operator*(Sse<N> a, Sse<N> b) { return {_mm_mul_ps(a.v, b.v)}; }
template <int N>
inline Sse<N> operator/(Sse<N> a, Sse<N> b) { return {_mm_div_ps(a.v, b.v)}; }
template <int N>
inline Sse<N> sqrt(Sse<N> a) { return {_mm_sqrt_ps(a.v)}; }
// maxps(x, y) returns y unless x > y (NaN included), so std::max(a, b) is
// maxps(b, a); likewise std::min(a, b) is minps(b, a).
template <int N>
inline Sse<N> max(Sse<N> a, Sse<N> b) { return {_mm_max_ps(b.v, a.v)}; }
template <int N>
inline Sse<N> min(Sse<N> a, Sse<N> b) { return {_mm_min_ps(b.v, a.v)}; }
template <int N>
inline Sse<N> greater(Sse<N> a, Sse<N> b) { return {_mm_cmpgt_ps(a.v, b.v)}; }
template <int N>
inline Sse<N> greaterEqual(Sse<N> a, Sse<N> b) { return {_mm_cmpge_ps(a.v, b.v)}; }
template <int N>
inline Sse<N> isNan(Sse<N> a) { return {_mm_cmpunord_ps(a.v, a.v)}; }
template <int N>
inline Sse<N> select(Sse<N> m, Sse<N> a, Sse<N> b) { return {_mm_or_ps(_mm_and_ps(m.v, a.v), _mm_andnot_ps(m.v, b.v))}; }
template <int N>
inline bool bitsDiffer(Sse<N> a, const std::array<float, 4>& m)
{
    const __m128i same = _mm_cmpeq_epi32(_mm_castps_si128(a.v), _mm_castps_si128(_mm_loadu_ps(m.data())));
    constexpr int all = (1 << N) - 1;
    return (_mm_movemask_ps(_mm_castsi128_ps(same)) & all) != all;
}
template <int N>
inline Sse<N> laneExp(Sse<N> a) { return {chainmath::expX4(a.v)}; }
template <int N>
inline Sse<N> laneAtan(Sse<N> a) { return {chainmath::atanX4(a.v)}; }
template <int N>
inline Sse<N> laneTan(Sse<N> a) { return {chainmath::tanX4(a.v)}; }
template <int N>
inline Sse<N> laneExpSmall(Sse<N> a) { return {chainmath::expSmallX4(a.v)}; }

// The lanes of v moved up by K, lanes 0 to K - 1 taking the last K lanes of
// below (a skewed cascade's step: each section fed the previous step's output
// of the section before it, K lanes to a section). With one lane, below itself.
template <int K>
inline float shiftUp(float, float below)
{
    static_assert(K == 1);
    return below;
}
template <int K>
inline Lane4 shiftUp(Lane4 v, Lane4 below)
{
    static_assert(K == 1 || K == 2);
    if constexpr (K == 1) {
        const __m128 u = _mm_shuffle_ps(below.v, v.v, _MM_SHUFFLE(0, 0, 3, 3));  // below3 below3 v0 v0
        return {_mm_shuffle_ps(u, v.v, _MM_SHUFFLE(2, 1, 2, 0))};                // below3 v0 v1 v2
    } else {
        return {_mm_shuffle_ps(below.v, v.v, _MM_SHUFFLE(1, 0, 3, 2))};          // below2 below3 v0 v1
    }
}
// The lanes of v moved up by one, lane 0 taking x.
inline Lane4 shiftUpFrom(Lane4 v, float x)
{
    return {_mm_move_ss(_mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(v.v), 4)), _mm_set_ss(x))};
}

// The lanes of v reordered: lane j of the result is lane I[j] of v.
template <int I0>
inline float permute(float v)
{
    static_assert(I0 == 0);
    return v;
}
template <int I0, int I1, int I2, int I3>
inline Lane4 permute(Lane4 v) { return {_mm_shuffle_ps(v.v, v.v, _MM_SHUFFLE(I3, I2, I1, I0))}; }

// A mask, for select(), with lane j set where B[j] is true.
template <bool B0>
inline bool laneMask(float) { return B0; }
template <bool B0, bool B1, bool B2, bool B3>
inline Lane4 laneMask(Lane4)
{
    return {_mm_castsi128_ps(_mm_setr_epi32(B0 ? -1 : 0, B1 ? -1 : 0, B2 ? -1 : 0, B3 ? -1 : 0))};
}

// Lanes 0 and 1 of a and b interleaved (a0 b0 a1 b1), and lanes 2 and 3 (a2 b2 a3 b3).
inline Lane4 interleaveLow(Lane4 a, Lane4 b) { return {_mm_unpacklo_ps(a.v, b.v)}; }
inline Lane4 interleaveHigh(Lane4 a, Lane4 b) { return {_mm_unpackhi_ps(a.v, b.v)}; }
// Lanes 2 and 3 of a in lanes 0 and 1 (and again in 2 and 3).
inline Lane4 upperLanes(Lane4 a) { return {_mm_movehl_ps(a.v, a.v)}; }
// Lanes 0 and 1 of a as two channels, the idle lanes 0.
inline Lane2 lowerLanes(Lane4 a) { return {_mm_movelh_ps(a.v, _mm_setzero_ps())}; }

// Lane J of a value.
template <std::size_t J>
inline float lane(float v) { static_assert(J == 0); return v; }
template <std::size_t J>
inline float lane(Lane4 v) { static_assert(J < 4); return _mm_cvtss_f32(_mm_shuffle_ps(v.v, v.v, _MM_SHUFFLE(J, J, J, J))); }

// ---------------------------------------------------------------------------
// Pairs.

template <class A, class B>
inline Pair<A, B> load(const Mem<Pair<A, B>>& m, Pair<A, B>) { return {load(lowMem(m), A{}), load(highMem(m), B{})}; }
template <class A, class B>
inline void store(Mem<Pair<A, B>>& m, Pair<A, B> x)
{
    store(lowMem(m), x.lo);
    store(highMem(m), x.hi);
}
template <class A, class B>
inline Pair<A, B> splat(float x, Pair<A, B>) { return {splat(x, A{}), splat(x, B{})}; }
template <class A, class B>
inline Pair<A, B> operator+(Pair<A, B> a, Pair<A, B> b) { return {a.lo + b.lo, a.hi + b.hi}; }
template <class A, class B>
inline Pair<A, B> operator-(Pair<A, B> a, Pair<A, B> b) { return {a.lo - b.lo, a.hi - b.hi}; }
template <class A, class B>
inline Pair<A, B> operator*(Pair<A, B> a, Pair<A, B> b) { return {a.lo * b.lo, a.hi * b.hi}; }
template <class A, class B>
inline Pair<A, B> operator/(Pair<A, B> a, Pair<A, B> b) { return {a.lo / b.lo, a.hi / b.hi}; }
template <class A, class B>
inline Pair<A, B> sqrt(Pair<A, B> a) { return {sqrt(a.lo), sqrt(a.hi)}; }
template <class A, class B>
inline Pair<A, B> max(Pair<A, B> a, Pair<A, B> b) { return {max(a.lo, b.lo), max(a.hi, b.hi)}; }
template <class A, class B>
inline Pair<A, B> min(Pair<A, B> a, Pair<A, B> b) { return {min(a.lo, b.lo), min(a.hi, b.hi)}; }
template <class A, class B>
inline auto greater(Pair<A, B> a, Pair<A, B> b)
{
    return Pair<decltype(greater(a.lo, b.lo)), decltype(greater(a.hi, b.hi))>{greater(a.lo, b.lo), greater(a.hi, b.hi)};
}
template <class A, class B>
inline auto greaterEqual(Pair<A, B> a, Pair<A, B> b)
{
    return Pair<decltype(greaterEqual(a.lo, b.lo)), decltype(greaterEqual(a.hi, b.hi))>{greaterEqual(a.lo, b.lo),
                                                                                        greaterEqual(a.hi, b.hi)};
}
template <class A, class B>
inline auto isNan(Pair<A, B> a) { return Pair<decltype(isNan(a.lo)), decltype(isNan(a.hi))>{isNan(a.lo), isNan(a.hi)}; }
template <class MA, class MB, class A, class B>
inline Pair<A, B> select(Pair<MA, MB> m, Pair<A, B> a, Pair<A, B> b) { return {select(m.lo, a.lo, b.lo), select(m.hi, a.hi, b.hi)}; }
template <class A, class B>
inline bool bitsDiffer(Pair<A, B> a, const Mem<Pair<A, B>>& m) { return bitsDiffer(a.lo, lowMem(m)) || bitsDiffer(a.hi, highMem(m)); }

// Whether the mathematics functions on V work on four double lanes per vector
// (AVX; set in lanes_avx.h) rather than two.
template <class V>
inline constexpr bool kWideDoubles = false;
template <class A, class B>
inline constexpr bool kWideDoubles<Pair<A, B>> = kWideDoubles<A> && kWideDoubles<B>;

// A value computed from an argument only when the argument's bits changed:
// where v differs from the argument kept in `kept`, v is kept and f(v) stored
// in `result`. A value of two halves does this half by half, so that a
// half whose lanes all rest costs nothing. f is called with v or a half of it.
template <class V, class F>
inline void refreshChanged(V v, Mem<V>& kept, Mem<V>& result, F f)
{
    if (bitsDiffer(v, kept)) {
        store(kept, v);
        store(result, f(v));
    }
}
template <class A, class B, class F>
inline void refreshChanged(Pair<A, B> v, Mem<Pair<A, B>>& kept, Mem<Pair<A, B>>& result, F f)
{
    refreshChanged(v.lo, lowMem(kept), lowMem(result), f);
    refreshChanged(v.hi, highMem(kept), highMem(result), f);
}
template <class A, class B>
inline Pair<A, B> laneExp(Pair<A, B> a) { return {laneExp(a.lo), laneExp(a.hi)}; }
template <class A, class B>
inline Pair<A, B> laneAtan(Pair<A, B> a) { return {laneAtan(a.lo), laneAtan(a.hi)}; }
template <class A, class B>
inline Pair<A, B> laneTan(Pair<A, B> a) { return {laneTan(a.lo), laneTan(a.hi)}; }
template <class A, class B>
inline Pair<A, B> laneExpSmall(Pair<A, B> a) { return {laneExpSmall(a.lo), laneExpSmall(a.hi)}; }

// The two halves of a value of two lane groups, and a value from its halves.
template <class A, class B>
inline A lowHalf(Pair<A, B> a) { return a.lo; }
template <class A, class B>
inline B highHalf(Pair<A, B> a) { return a.hi; }
template <class A, class B>
inline Pair<A, B> joinHalves(A lo, B hi, Pair<A, B>) { return {lo, hi}; }

// ---------------------------------------------------------------------------
// Any lane type.

template <class V>
inline V load(const Mem<V>& m) { return load(m, V{}); }

// The lanes of V from consecutive floats.
inline float loadFrom(const float* p, float) { return *p; }
template <int N>
inline Sse<N> loadFrom(const float* p, Sse<N>) { return {_mm_loadu_ps(p)}; }
template <class V>
inline V loadFrom(const float* p) { return loadFrom(p, V{}); }
// The lanes of a value to consecutive floats (all four of a packed vector).
inline void storeTo(float* p, float v) { *p = v; }
template <int N>
inline void storeTo(float* p, Sse<N> v) { _mm_storeu_ps(p, v.v); }
template <class V>
inline V splat(float x) { return splat(x, V{}); }

// Lane j of a value in memory.
inline float& laneOf(float& m, std::size_t) { return m; }
inline float laneOf(const float& m, std::size_t) { return m; }
inline float& laneOf(std::array<float, 4>& m, std::size_t j) { return m[j]; }
inline float laneOf(const std::array<float, 4>& m, std::size_t j) { return m[j]; }
template <class M>
inline float& laneOf(std::array<M, 2>& m, std::size_t j)
{
    return j < kMemLanes<M> ? laneOf(m[0], j) : laneOf(m[1], j - kMemLanes<M>);
}
template <class M>
inline float laneOf(const std::array<M, 2>& m, std::size_t j)
{
    return j < kMemLanes<M> ? laneOf(m[0], j) : laneOf(m[1], j - kMemLanes<M>);
}
template <class MA, class MB>
inline float& laneOf(HPairMem<MA, MB>& m, std::size_t j)
{
    return j < kMemLanes<MA> ? laneOf(m.lo, j) : laneOf(m.hi, j - kMemLanes<MA>);
}
template <class MA, class MB>
inline float laneOf(const HPairMem<MA, MB>& m, std::size_t j)
{
    return j < kMemLanes<MA> ? laneOf(m.lo, j) : laneOf(m.hi, j - kMemLanes<MA>);
}

// Every lane of a value in memory set to x.
inline void fill(float& m, float x) { m = x; }
inline void fill(std::array<float, 4>& m, float x) { m.fill(x); }
template <class M>
inline void fill(std::array<M, 2>& m, float x)
{
    fill(m[0], x);
    fill(m[1], x);
}
template <class MA, class MB>
inline void fill(HPairMem<MA, MB>& m, float x)
{
    fill(m.lo, x);
    fill(m.hi, x);
}

// Two channel groups side by side (Joined<V>), and their halves again: a
// stage with two parallel paths of one design runs both paths in one value.
template <class V>
struct JoinedOf {
    using type = Pair<V>;
    static type join(V a, V b) { return {a, b}; }
    static V low(type w) { return w.lo; }
    static V high(type w) { return w.hi; }
};
// Two channels in lanes 0 and 1: the second path takes lanes 2 and 3.
template <>
struct JoinedOf<Lane2> {
    using type = Lane4;
    static type join(Lane2 a, Lane2 b) { return {_mm_movelh_ps(a.v, b.v)}; }
    static Lane2 low(type w) { return {w.v}; }
    static Lane2 high(type w) { return {_mm_movehl_ps(w.v, w.v)}; }
};
template <class V>
using Joined = typename JoinedOf<V>::type;

// ---------------------------------------------------------------------------
// Memory as 32-bit words.

// Whether none of the words p[0..words-1], read as floats, is NaN or
// +infinity (-infinity passes). Four words at a time: NaN and +inf are the
// words whose magnitude bits reach those of +inf, except -inf itself.
inline bool noNanOrPlusInfinity(const unsigned char* p, std::size_t words)
{
    constexpr uint32_t kPlusInfinity = 0x7f800000u;
    const __m128i magnitude = _mm_set1_epi32(0x7fffffff);
    const __m128i finiteMax = _mm_set1_epi32(static_cast<int>(kPlusInfinity - 1));
    const __m128i minusInfinity = _mm_set1_epi32(static_cast<int>(0xff800000u));
    __m128i badLanes = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 4 <= words; i += 4) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * i));
        const __m128i nonFinite = _mm_cmpgt_epi32(_mm_and_si128(w, magnitude), finiteMax);
        badLanes = _mm_or_si128(badLanes, _mm_andnot_si128(_mm_cmpeq_epi32(w, minusInfinity), nonFinite));
    }
    uint32_t bad = static_cast<uint32_t>(_mm_movemask_epi8(badLanes));
    for (; i < words; ++i) {
        uint32_t w;
        std::memcpy(&w, p + 4 * i, 4);
        bad |= static_cast<uint32_t>((w & 0x7fffffffu) > kPlusInfinity || w == kPlusInfinity);
    }
    return bad == 0;
}

}  // namespace plumbra
