// The decorrelator's run, on the path the CPU allows.
#include "dsp/stages/decorrelator.h"

#include "dsp/avx/avx_path.h"

namespace plumbra {

bool Decorrelator::useAvx(bool on)
{
#ifdef PLUMBRA_AVX_PATH
    on = on && decorrelatorLayoutAvx() == kDecorrelatorLayout;
#endif
    avx = avxPathIf(on);
    return avx;
}

void Decorrelator::processRun(const float* x, float* left, float* right, int len, uint32_t n0)
{
#ifdef PLUMBRA_AVX_PATH
    if (avx) {
        decorrelateRunAvx(*this, x, left, right, len, n0);
        return;
    }
#endif
    processRunIn<Pair<Lane4>>(x, left, right, len, n0);
}

}  // namespace plumbra
