// The decorrelator with its group pairs in eight AVX lanes, the same state
// and bits as the Pair<Lane4> form. Compiled with -mavx, its code kept in
// namespaces of its own (see avx_path.h).
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#define plumbra plumbra_avx
#define chainmath chainmath_avx
#include "dsp/avx/own_copy.h"
#include "dsp/simd/lanes_avx.h"
#include "dsp/stages/decorrelator.h"
#undef chainmath
#undef plumbra

#include "dsp/avx/avx_path.h"

namespace plumbra {

void decorrelateRunAvx(Decorrelator& decorrelator, const float* x, float* left, float* right, int len, uint32_t n0)
{
    namespace own = plumbra_avx;
    own::ownCopy<own::Decorrelator>(decorrelator).processRunIn<own::Lane8>(x, left, right, len, n0);
    own::clearUpperHalves();
}

uint64_t decorrelatorLayoutAvx() { return plumbra_avx::kDecorrelatorLayout; }

}  // namespace plumbra
