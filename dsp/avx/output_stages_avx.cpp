// The output stages (bandwidth expander and output equaliser of both channels)
// compiled for AVX: the same types, state and bits as on the SSE2 path, with
// the three-operand AVX forms of the same operations. Compiled with -mavx, its
// code kept in namespaces of its own (see avx_path.h).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#define plumbra plumbra_avx
#define chainmath chainmath_avx
#include "dsp/avx/own_copy.h"
#include "dsp/simd/lanes_avx.h"
#include "dsp/stages/bandwidth_expander.h"
#include "dsp/stages/output_eq.h"
#undef chainmath
#undef plumbra

#include "dsp/avx/avx_path.h"

namespace plumbra {

void outputStagesRunAvx(BandwidthExpanderT<Sse<2>>& expander, OutputEqualiserT<Sse<2>>& equaliser,
                        const Lanes4Mem* mix, Lanes4Mem* output, int len, uint32_t n0)
{
    namespace own = plumbra_avx;
    using Lane2 = own::Lane2;
    auto& e = own::ownCopy<own::BandwidthExpanderT<Lane2>>(expander);
    auto& q = own::ownCopy<own::OutputEqualiserT<Lane2>>(equaliser);
    own::Mem<Lane2>* y = own::ownCopies<own::Mem<Lane2>>(output);
    e.processRun(own::ownCopies<own::Mem<Lane2>>(mix), y, len, n0);
    q.processRun(y, len);
    own::clearUpperHalves();
}

uint64_t expanderLayoutAvx() { return plumbra_avx::kExpanderLayout<plumbra_avx::Lane2>; }
uint64_t equaliserLayoutAvx() { return plumbra_avx::kEqualiserLayout<plumbra_avx::Lane2>; }

}  // namespace plumbra
