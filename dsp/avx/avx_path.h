// The entries of the AVX path (x86-64 builds only): the units in dsp/avx,
// compiled for AVX, with everything they include compiled again into the
// namespaces plumbra_avx and chainmath_avx (so that no inline function or
// template instance compiled for AVX can stand in, at link time, for the one
// the SSE2 path uses). Each entry takes the processor's objects by their own
// types, declared here; the unit sees them as its plumbra_avx copies of the
// same types (own_copy.h). The layout prints of the copies (dsp/blocks/layout.h)
// are exported beside the entries, and the processor takes the AVX path only
// where every one equals the print of its own type (avxCopiesMatch).
#pragma once

#include <cstdint>

namespace plumbra {

template <int N>
struct Sse;
struct Lanes4Mem;
struct Decorrelator;
template <class A, class B>
struct Pair;
template <class V, class Channels>
struct BandBankState;
struct BandOutputs;
struct BlockValues;
template <class V>
struct BandwidthExpanderT;
template <class V>
struct OutputEqualiserT;

// Whether the CPU has AVX and the system saves its registers (CPUID and XGETBV).
bool avxAvailable();

// on, where this build has the AVX path and the CPU can run it; else false.
// (Declared in every build; the entries below exist only in x86-64 builds.)
bool avxPathIf(bool on);

// Whether the AVX units' copies of the decorrelator's and the output stages'
// types have the layouts of the processor's own (true where the build has no
// AVX path).
bool avxCopiesMatch();

// processBandsRun of the bank's state with each group's channels in eight AVX
// lanes, into outputs[0..len-1].
void processBandsRunAvx(BandBankState<Sse<4>, Pair<Sse<4>, Sse<4>>>& state, BandOutputs* outputs, const float* left,
                        const float* right, int len, uint32_t n0, const BlockValues& bv);

// Decorrelator::processRun with the group pairs in eight AVX lanes.
void decorrelateRunAvx(Decorrelator& decorrelator, const float* x, float* left, float* right, int len, uint32_t n0);

// BandwidthExpanderT<Lane2>::processRun of the mixes mix[0..len-1] into the
// main-path values output[0..len-1], then OutputEqualiserT<Lane2>::processRun
// on them.
void outputStagesRunAvx(BandwidthExpanderT<Sse<2>>& expander, OutputEqualiserT<Sse<2>>& equaliser,
                        const Lanes4Mem* mix, Lanes4Mem* output, int len, uint32_t n0);

// The layout prints of the AVX units' copies of BandBankState<Lane4>,
// Decorrelator, BandwidthExpanderT<Lane2> and OutputEqualiserT<Lane2>.
uint64_t bandBankLayoutAvx();
uint64_t decorrelatorLayoutAvx();
uint64_t expanderLayoutAvx();
uint64_t equaliserLayoutAvx();

}  // namespace plumbra
