// The out-of-line part of the chain's mathematics (reduction of huge arguments,
// the special cases of pow, sin) compiled for AVX, in the namespace
// chainmath_avx of the AVX units' inline mathematics: the one copy that every
// AVX unit calls.
#include <bit>
#include <cstdint>

#define chainmath chainmath_avx
#include "dsp/simd/chainmath.cpp"
#undef chainmath
