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
#undef chainmath
#undef plumbra

#include "dsp/avx/avx_path.h"

namespace plumbra_avx {

using Group4 = BandGroup<Lane4>;
using Group8 = BandGroup<Lane4, Lane8>;
static_assert(sizeof(Group8) == sizeof(Group4) && alignof(Group8) == alignof(Group4));
static_assert(offsetof(Group8, widthDetector) == offsetof(Group4, widthDetector));
static_assert(offsetof(Group8, width) == offsetof(Group4, width));
static_assert(offsetof(Group8, run) == offsetof(Group4, run));

}  // namespace plumbra_avx

namespace plumbra {

void processBandsRunAvx(void* groups, void* outputs, const void* times, const float* left, const float* right, int len,
                        uint32_t n0, const void* blockValues)
{
    using namespace plumbra_avx;
    auto& g = *std::launder(static_cast<std::array<Group8, kBandGroups>*>(groups));
    processBandsRun(g, std::launder(static_cast<BandOutputs*>(outputs)), *static_cast<const BandTimeConstants*>(times),
                    left, right, len, n0, *static_cast<const BlockValues*>(blockValues));
    // The caller's SSE2 code must not find the upper halves of the vector
    // registers in use (every legacy SSE instruction would then wait for them).
    _mm256_zeroupper();
}

}  // namespace plumbra
