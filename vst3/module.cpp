// The module's factory and its entry points: GetPluginFactory everywhere,
// ModuleEntry/ModuleExit on Linux, InitDll/ExitDll on Windows.
#include <cstring>
#include <type_traits>

#include "vst3/plugin.h"

#ifndef PLUMBRA_VERSION_TEXT
#error "PLUMBRA_VERSION_TEXT must name the plug-in's version"
#endif

namespace plumbra::vst3 {

namespace {

template <std::size_t N>
void copyText(char (&dst)[N], const char* src)
{
    std::memset(dst, 0, N);
    std::strncpy(dst, src, N - 1);
}

template <std::size_t N>
void copyText(char16 (&dst)[N], const char* src)
{
    std::size_t i = 0;
    for (; i < N - 1 && src[i] != 0; ++i) dst[i] = static_cast<char16>(static_cast<unsigned char>(src[i]));
    for (; i < N; ++i) dst[i] = 0;
}

// The one class, in each of the three forms hosts ask for (8-bit texts, then the
// second and the UTF-16 forms with vendor, version and subcategories).
template <class Info>
tresult describe(int32 index, Info* info)
{
    if (index != 0 || !info) return kInvalidArgument;
    std::memcpy(info->cid, kClassId.bytes, 16);
    info->cardinality = kManyInstances;
    copyText(info->category, "Audio Module Class");
    copyText(info->name, kClassName);
    if constexpr (!std::is_same_v<Info, PClassInfo>) {
        info->classFlags = 0;  // one object: component and controller are not separable
        copyText(info->subCategories, kSubCategories);
        copyText(info->vendor, kVendor);
        copyText(info->version, PLUMBRA_VERSION_TEXT);
        copyText(info->sdkVersion, kSdkVersion);
    }
    return kResultOk;
}

// One static factory; its reference count is not needed, so addRef and release do nothing.
class Factory final : public IPluginFactory3 {
public:
    tresult PLUMBRA_VST3_API queryInterface(const TUID iid, void** obj) override
    {
        if (!obj) return kInvalidArgument;
        if (sameUid(iid, kFUnknownIid) || sameUid(iid, kIPluginFactoryIid) || sameUid(iid, kIPluginFactory2Iid) ||
            sameUid(iid, kIPluginFactory3Iid)) {
            *obj = static_cast<IPluginFactory3*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUMBRA_VST3_API addRef() override { return 1; }
    uint32 PLUMBRA_VST3_API release() override { return 1; }

    tresult PLUMBRA_VST3_API getFactoryInfo(PFactoryInfo* info) override
    {
        if (!info) return kInvalidArgument;
        copyText(info->vendor, kVendor);
        copyText(info->url, kUrl);
        copyText(info->email, kEmail);
        info->flags = kFactoryUnicode;
        return kResultOk;
    }
    int32 PLUMBRA_VST3_API countClasses() override { return 1; }
    tresult PLUMBRA_VST3_API getClassInfo(int32 index, PClassInfo* info) override { return describe(index, info); }
    tresult PLUMBRA_VST3_API getClassInfo2(int32 index, PClassInfo2* info) override { return describe(index, info); }
    tresult PLUMBRA_VST3_API getClassInfoUnicode(int32 index, PClassInfoW* info) override
    {
        return describe(index, info);
    }
    tresult PLUMBRA_VST3_API createInstance(FIDString cid, FIDString iid, void** obj) override
    {
        if (!obj) return kInvalidArgument;
        *obj = nullptr;
        if (!sameUid(cid, kClassId)) return kNoInterface;
        IComponent* plugin = createPlugin();
        if (!plugin) return kOutOfMemory;
        const tresult result = plugin->queryInterface(iid, obj);
        plugin->release();  // the caller holds the queried reference, or nothing is left
        return result;
    }
    tresult PLUMBRA_VST3_API setHostContext(FUnknown*) override { return kResultOk; }
};

Factory gFactory;

}  // namespace

}  // namespace plumbra::vst3

#if defined(_WIN32)
#define PLUMBRA_VST3_EXPORT extern "C" __declspec(dllexport)
#else
#define PLUMBRA_VST3_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PLUMBRA_VST3_EXPORT plumbra::vst3::IPluginFactory* PLUMBRA_VST3_API GetPluginFactory()
{
    return &plumbra::vst3::gFactory;
}

// Nothing to set up or tear down per load: the factory is static and every
// instance owns what it uses.
#if defined(_WIN32)
PLUMBRA_VST3_EXPORT bool InitDll()
{
    return true;
}
PLUMBRA_VST3_EXPORT bool ExitDll()
{
    return true;
}
#else
PLUMBRA_VST3_EXPORT bool ModuleEntry(void*)
{
    return true;
}
PLUMBRA_VST3_EXPORT bool ModuleExit()
{
    return true;
}
#endif
