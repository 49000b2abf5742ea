// The plug-in library's one exported symbol: the host calls it with its
// callback and receives the effect descriptor through which it drives the rest.
#include <new>

#include "shell/faust.h"
#include "shell/vst2.h"

#if defined(_WIN32)
#define PLUMBRA_EXPORT extern "C" __declspec(dllexport)
#else
#define PLUMBRA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Thread: the host thread that loads the plug-in.
PLUMBRA_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster)
{
    if (!audioMaster) return nullptr;
    // A host that does not answer the version query is not served.
    if (audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
    try {
        plumbra::AudioEffect* effect = plumbra::createEffectInstance(audioMaster);
        return effect ? effect->getAeffect() : nullptr;
    } catch (...) {
        // No exception may cross into the host: out of memory means no plug-in.
        return nullptr;
    }
}
