// The entries of the AVX path (x86-64 builds only): band_bank_avx.cpp,
// decorrelator_avx.cpp and output_stages_avx.cpp, compiled for AVX, their code
// in namespaces of their own. The arguments are the processor's own objects,
// passed untyped because those translation units have their own copies of
// these types, of the same layout.
#pragma once

#include <cstdint>

namespace plumbra {

// Whether the CPU has AVX and the system saves its registers (CPUID and XGETBV).
bool avxAvailable();

// on, where this build has the AVX path and the CPU can run it; else false.
// (Declared in every build; the entries below exist only in x86-64 builds.)
bool avxPathIf(bool on);

// A run through the band groups: state is the bank's BandBankState<Lane4>,
// outputs its BandOutputs[kRunLength], blockValues the block's BlockValues.
void processBandsRunAvx(void* state, void* outputs, const float* left, const float* right, int len, uint32_t n0,
                        const void* blockValues);

// Decorrelator::processRun of the Decorrelator at decorrelator.
void decorrelateRunAvx(void* decorrelator, const float* x, float* left, float* right, int len, uint32_t n0);

// BandwidthExpanderT<Lane2>::processRun of the expander at expander from the
// mixes mix[0..len-1] (Mem<Lane2>) into the main-path values output[0..len-1],
// then OutputEqualiserT<Lane2>::processRun of the equaliser at equaliser on them.
void outputStagesRunAvx(void* expander, void* equaliser, const void* mix, void* output, int len, uint32_t n0);

}  // namespace plumbra
