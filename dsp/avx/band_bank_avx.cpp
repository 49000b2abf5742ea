// The band bank's per-sample work with eight AVX lanes: each band group's left
// and right channels in one vector instead of a Pair of four-lane vectors,
// with the same state in the same memory and the same bits in every lane.
//
// Compiled with -mavx, its code kept in namespaces of its own (see avx_path.h).
#include <algorithm>
#include <array>
#include <bit>
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
#include "dsp/stages/band_bank_process.h"
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

void processBandsRunAvx(BandBankState<Sse<4>, Pair<Sse<4>, Sse<4>>>& state, BandOutputs* outputs, const float* left,
                        const float* right, int len, uint32_t n0, const BlockValues& bv)
{
    namespace own = plumbra_avx;
    processBandsRun(own::ownCopy<own::State8>(state), own::ownCopies<own::BandOutputs>(outputs), left, right, len, n0,
                    own::ownCopy<const own::BlockValues>(bv));
    own::clearUpperHalves();
}

uint64_t bandBankLayoutAvx() { return plumbra_avx::kBandBankLayout<plumbra_avx::Lane4>; }

}  // namespace plumbra
