// A stand-in plug-in for the host's own tests, never installed: one input copied
// to two outputs, except that samples above +0.5 come out as NaN and samples
// below -0.5 as +infinity, so that a test knows exactly how many non-finite
// samples a render must report. No latency, no parameters.
#include <cmath>
#include <cstring>
#include <limits>

#include "shell/vst2.h"

namespace {

VstIntPtr VSTCALLBACK dispatcher(AEffect* e, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float)
{
    switch (opcode) {
    case effClose:
        delete e;
        return 1;
    case effGetEffectName:
        if (ptr) std::strcpy(static_cast<char*>(ptr), "Fault");
        return 1;
    default:
        return 0;
    }
}

void VSTCALLBACK processReplacing(AEffect*, float** in, float** out, VstInt32 frames)
{
    for (VstInt32 i = 0; i < frames; ++i) {
        const float x = in[0][i];
        const float y = x > 0.5f ? std::numeric_limits<float>::quiet_NaN()
                        : x < -0.5f ? std::numeric_limits<float>::infinity() : x;
        out[0][i] = y;
        out[1][i] = y;
    }
}

void VSTCALLBACK setParameter(AEffect*, VstInt32, float) {}
float VSTCALLBACK getParameter(AEffect*, VstInt32) { return 0.0f; }

}  // namespace

extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback)
{
    auto* e = new AEffect();
    e->magic = kEffectMagic;
    e->dispatcher = dispatcher;
    e->setParameter = setParameter;
    e->getParameter = getParameter;
    e->processReplacing = processReplacing;
    e->numInputs = 2;
    e->numOutputs = 2;
    e->flags = effFlagsCanReplacing;
    return e;
}
