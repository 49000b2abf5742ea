// The band groups with eight AVX lanes (x86-64 builds only): band_bank_avx.cpp,
// compiled for AVX, its code in a namespace of its own. The arguments are the
// bank's own objects (std::array<BandGroup<Lane4>, kBandGroups>,
// BandOutputs[kRunLength], BandTimeConstants, BlockValues), passed untyped because that
// translation unit has its own copies of these types, of the same layout.
#pragma once

#include <cstdint>

namespace plumbra {

// Whether the CPU has AVX and the system saves its registers (CPUID and XGETBV).
bool avxAvailable();

void processBandsRunAvx(void* groups, void* outputs, const void* times, const float* left, const float* right, int len,
                        uint32_t n0, const void* blockValues);

}  // namespace plumbra
