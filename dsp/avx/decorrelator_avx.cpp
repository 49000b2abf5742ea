// The decorrelator with its group pairs in eight AVX lanes, the same state
// and bits as the Pair<Lane4> form. Compiled with -mavx, its code kept in
// namespaces of its own as in band_bank_avx.cpp.
#include <array>
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
#include "dsp/stages/decorrelator.h"
#undef chainmath
#undef plumbra

#include "dsp/avx/avx_path.h"

namespace plumbra {

void decorrelateRunAvx(void* decorrelator, const float* x, float* left, float* right, int len, uint32_t n0)
{
    auto& d = *std::launder(static_cast<plumbra_avx::Decorrelator*>(decorrelator));
    d.processRunIn<plumbra_avx::Lane8>(x, left, right, len, n0);
    _mm256_zeroupper();
}

}  // namespace plumbra
