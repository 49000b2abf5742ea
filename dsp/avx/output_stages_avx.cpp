// The output stages (bandwidth expander and output equaliser of both channels)
// compiled for AVX: the same types, state and bits as on the SSE2 path, with
// the three-operand AVX forms of the same operations. Compiled with -mavx, its
// code kept in namespaces of its own as in band_bank_avx.cpp.
#include <algorithm>
#include <array>
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
#include "dsp/stages/bandwidth_expander.h"
#include "dsp/stages/output_eq.h"
#undef chainmath
#undef plumbra

#include "dsp/avx/avx_path.h"

namespace plumbra {

void outputStagesRunAvx(void* expander, void* equaliser, const void* mix, void* output, int len, uint32_t n0)
{
    using namespace plumbra_avx;
    auto& e = *std::launder(static_cast<BandwidthExpanderT<Lane2>*>(expander));
    auto& q = *std::launder(static_cast<OutputEqualiserT<Lane2>*>(equaliser));
    auto* y = std::launder(static_cast<Mem<Lane2>*>(output));
    e.processRun(std::launder(static_cast<const Mem<Lane2>*>(mix)), y, len, n0);
    q.processRun(y, len);
    _mm256_zeroupper();
}

}  // namespace plumbra
