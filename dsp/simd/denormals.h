// Flushes subnormal numbers to zero for the duration of one processing call and
// restores the caller's floating-point control word on exit, so that decaying
// filter states cost no more than normal signal and the host's floating-point
// environment is left exactly as it was.
#pragma once

#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64) || defined(_M_IX86)
#include <xmmintrin.h>
#define PLUMBRA_HAVE_MXCSR 1
#endif

namespace plumbra {

class ScopedFlushDenormals {
public:
#ifdef PLUMBRA_HAVE_MXCSR
    static constexpr unsigned kFlushToZero = 0x8000;     // FTZ: subnormal results become zero
    static constexpr unsigned kDenormalsAreZero = 0x0040; // DAZ: subnormal inputs read as zero

    ScopedFlushDenormals() : fSaved(_mm_getcsr()) { _mm_setcsr(fSaved | kFlushToZero | kDenormalsAreZero); }
    ~ScopedFlushDenormals() { _mm_setcsr(fSaved); }

private:
    unsigned fSaved;
#else
    ScopedFlushDenormals() = default;
#endif
public:
    ScopedFlushDenormals(const ScopedFlushDenormals&) = delete;
    ScopedFlushDenormals& operator=(const ScopedFlushDenormals&) = delete;
};

}  // namespace plumbra
