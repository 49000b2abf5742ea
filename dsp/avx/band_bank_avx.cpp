// The band bank's per-sample work with eight AVX lanes: each band group's left
// and right channels in one vector instead of a Pair of four-lane vectors,
// with the same state in the same memory and the same bits in every lane.
//
// This file is compiled with -mavx. Everything it includes is compiled in the
// namespaces plumbra_avx and chainmath_avx, so that no inline function or template instance of
// this translation unit can stand in, at link time, for the one the SSE2 path
// uses (they would carry AVX instructions onto CPUs without AVX). The check
// no_avx_outside_avx_path verifies the linked code for that.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include <emmintrin.h>
#include <immintrin.h>

#define plumbra plumbra_avx
#define chainmath chainmath_avx
#include "dsp/simd/lanes_avx.h"
#include "dsp/stages/band_bank_process.h"
// The mathematics functions' out-of-line parts, too (argument reduction).
#include "dsp/simd/chainmath.cpp"
#undef chainmath
#undef plumbra

#include "dsp/avx/avx_path.h"

namespace plumbra_avx {

using State4 = BandBankState<Lane4>;
using State8 = BandBankState<Lane4, Lane8>;
static_assert(sizeof(State8) == sizeof(State4) && alignof(State8) == alignof(State4));
static_assert(offsetof(State8, groups) == offsetof(State4, groups));
static_assert(offsetof(State8, slow) == offsetof(State4, slow));
static_assert(offsetof(State8, widthFollower) == offsetof(State4, widthFollower));
static_assert(offsetof(State8, run) == offsetof(State4, run));
static_assert(std::is_same_v<Mem<State8::Bands>, Mem<State4::Bands>>);
static_assert(std::is_same_v<Mem<State8::BandChannels>, Mem<State4::BandChannels>>);

}  // namespace plumbra_avx

namespace plumbra {

void processBandsRunAvx(void* state, void* outputs, const float* left, const float* right, int len, uint32_t n0,
                        const void* blockValues)
{
    using namespace plumbra_avx;
    processBandsRun(*std::launder(static_cast<State8*>(state)), std::launder(static_cast<BandOutputs*>(outputs)), left,
                    right, len, n0, *static_cast<const BlockValues*>(blockValues));
    // The caller's SSE2 code must not find the upper halves of the vector
    // registers in use (every legacy SSE instruction would then wait for them).
    _mm256_zeroupper();
}

}  // namespace plumbra
