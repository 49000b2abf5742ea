// Loading the plug-in library and talking to the effect through its descriptor.
#include "host/plugin/plugin_host.h"

#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace plumbra::host {

namespace {

// Host callback opcodes the host answers beyond the version query.
constexpr VstInt32 kAudioMasterGetSampleRate = 16;
constexpr VstInt32 kAudioMasterGetBlockSize = 17;
constexpr VstInt32 kAudioMasterGetVendorString = 32;
constexpr VstInt32 kAudioMasterGetProductString = 33;
constexpr VstInt32 kAudioMasterGetVendorVersion = 34;
constexpr VstInt32 kHostVstVersion = 2400;

// What the plug-in may ask of us. The effect's `user` field, which belongs to
// the host, points at the current sample rate and block size once they are set.
struct HostState {
    float sampleRate = 44100.0f;
    VstIntPtr blockSize = 1024;
};

VstIntPtr VSTCALLBACK hostCallback(AEffect* effect, VstInt32 opcode, VstInt32 /*index*/,
                                   VstIntPtr /*value*/, void* ptr, float /*opt*/)
{
    const HostState* state = effect ? static_cast<const HostState*>(effect->user) : nullptr;
    switch (opcode) {
    case audioMasterVersion:
        return kHostVstVersion;
    case kAudioMasterGetSampleRate:
        return state ? static_cast<VstIntPtr>(state->sampleRate) : 0;
    case kAudioMasterGetBlockSize:
        return state ? state->blockSize : 0;
    case kAudioMasterGetVendorString:
        if (ptr) std::strcpy(static_cast<char*>(ptr), "Halvex");
        return ptr ? 1 : 0;
    case kAudioMasterGetProductString:
        if (ptr) std::strcpy(static_cast<char*>(ptr), "plumbra");
        return ptr ? 1 : 0;
    case kAudioMasterGetVendorVersion:
        return 1;
    default:
        return 0;
    }
}

#ifdef _WIN32
void* openLibrary(const std::string& path, std::string& why)
{
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) why = "cannot load (Windows error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(h);
}
void* findSymbol(void* lib, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
void closeLibrary(void* lib) { FreeLibrary(static_cast<HMODULE>(lib)); }
#else
void* openLibrary(const std::string& path, std::string& why)
{
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        why = e ? e : "cannot load";
    }
    return h;
}
void* findSymbol(void* lib, const char* name)
{
    return dlsym(lib, name);
}
void closeLibrary(void* lib) { dlclose(lib); }
#endif

// Loading, opening, closing and unloading happen one at a time, even when
// several threads each run their own instance: a library's entry point and its
// open and close need not expect to be called concurrently. Recursive, because a
// failed load closes what it opened while still holding it.
std::recursive_mutex gLifecycle;

HostState& hostStateOf(AEffect* e) { return *static_cast<HostState*>(e->user); }

}  // namespace

Result<std::unique_ptr<Plugin>> Plugin::load(const std::string& path)
{
    std::lock_guard<std::recursive_mutex> lock(gLifecycle);
    std::unique_ptr<Plugin> p(new Plugin());
    p->path_ = path;
    std::string why;
    p->library_ = openLibrary(path, why);
    if (!p->library_) return Status::fail(kExitPlugin, "cannot load plug-in " + path + ": " + why);

    void* entry = findSymbol(p->library_, "VSTPluginMain");
    if (!entry) return Status::fail(kExitPlugin, path + " is not a VST 2 plug-in: it has no VSTPluginMain");
    auto main = reinterpret_cast<VstPluginMainProc>(entry);

    AEffect* e = main(hostCallback);
    if (!e) return Status::fail(kExitPlugin, "plug-in " + path + " refused to start (VSTPluginMain returned null)");
    if (e->magic != kEffectMagic)
        return Status::fail(kExitPlugin, "plug-in " + path + " returned a descriptor without the VST magic number");
    if (!e->dispatcher)
        return Status::fail(kExitPlugin, "plug-in " + path + " returned a descriptor without a dispatcher");
    p->effect_ = e;  // from here on the destructor closes the effect
    e->user = new HostState();
    if (!e->processReplacing || !e->setParameter || !e->getParameter)
        return Status::fail(kExitPlugin, "plug-in " + path + " does not offer single-precision replacing processing");
    if (e->numInputs < 1 || e->numOutputs < 1)
        return Status::fail(kExitPlugin, "plug-in " + path + " has no audio inputs or outputs");
    p->dispatch(effOpen);
    return p;
}

Plugin::~Plugin()
{
    std::lock_guard<std::recursive_mutex> lock(gLifecycle);
    if (effect_) {
        if (running_) suspend();
        auto* state = static_cast<HostState*>(effect_->user);
        dispatch(effClose);  // the effect, and the descriptor with it, is gone after this
        delete state;
        effect_ = nullptr;
    }
    if (library_) closeLibrary(library_);
}

VstIntPtr Plugin::dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt)
{
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

// Texts come back in a buffer the host provides. The interface's nominal
// lengths are small, but parameter names are written whole, so the buffer is
// generous and zeroed.
std::string Plugin::text(VstInt32 opcode, VstInt32 index)
{
    std::vector<char> buf(512, '\0');
    dispatch(opcode, index, 0, buf.data());
    buf.back() = '\0';
    return std::string(buf.data());
}

std::string Plugin::effectName() { return text(effGetEffectName); }
std::string Plugin::vendorString() { return text(effGetVendorString); }
std::string Plugin::productString() { return text(effGetProductString); }
VstIntPtr Plugin::vendorVersion() { return dispatch(effGetVendorVersion); }
VstIntPtr Plugin::vstVersion() { return dispatch(effGetVstVersion); }
VstIntPtr Plugin::category() { return dispatch(effGetPlugCategory); }

std::string Plugin::programName(int index)
{
    std::vector<char> buf(512, '\0');
    if (dispatch(effGetProgramNameIndexed, index, 0, buf.data()) == 0) return {};
    buf.back() = '\0';
    return std::string(buf.data());
}

namespace {
PinInfo pinInfo(VstIntPtr answer, const VstPinProperties& props)
{
    PinInfo pin;
    if (answer == 0) return pin;
    pin.present = true;
    pin.label.assign(props.label, strnlen(props.label, sizeof props.label));
    pin.shortLabel.assign(props.shortLabel, strnlen(props.shortLabel, sizeof props.shortLabel));
    pin.flags = props.flags;
    return pin;
}
}  // namespace

PinInfo Plugin::inputPin(int index)
{
    VstPinProperties props{};
    return pinInfo(dispatch(effGetInputProperties, index, 0, &props), props);
}

PinInfo Plugin::outputPin(int index)
{
    VstPinProperties props{};
    return pinInfo(dispatch(effGetOutputProperties, index, 0, &props), props);
}

std::string Plugin::paramName(int index) { return text(effGetParamName, index); }
std::string Plugin::paramLabel(int index) { return text(effGetParamLabel, index); }
std::string Plugin::paramDisplay(int index) { return text(effGetParamDisplay, index); }
float Plugin::getParameter(int index) { return effect_->getParameter(effect_, index); }
void Plugin::setParameter(int index, float normalised) { effect_->setParameter(effect_, index, normalised); }

void Plugin::setSampleRate(float rate)
{
    hostStateOf(effect_).sampleRate = rate;
    dispatch(effSetSampleRate, 0, 0, nullptr, rate);
}

void Plugin::setBlockSize(int frames)
{
    hostStateOf(effect_).blockSize = frames;
    dispatch(effSetBlockSize, 0, frames);
}

void Plugin::resume()
{
    dispatch(effMainsChanged, 0, 1);
    running_ = true;
}

void Plugin::suspend()
{
    dispatch(effMainsChanged, 0, 0);
    running_ = false;
}

void Plugin::process(float** inputs, float** outputs, int frames)
{
    effect_->processReplacing(effect_, inputs, outputs, frames);
}

std::string defaultPluginPath()
{
#ifdef _WIN32
    const char* file = "Halvex_Plumbra-Vektis.dll";
    std::vector<char> buf(32768, '\0');
    DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    const std::string exe(buf.data(), n);
#else
    const char* file = "Halvex_Plumbra-Vektis.so";
    std::vector<char> buf(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    const std::string exe(buf.data(), n > 0 ? static_cast<size_t>(n) : 0);
#endif
    // Beside the program (a build tree, a zip's folder), else where the package or the
    // installer put it: <prefix>/lib/vst beside <prefix>/bin, or the VST 2 folder the
    // Windows installer recorded (in the registry view of the program's own bitness).
    const std::filesystem::path dir = std::filesystem::path(exe).parent_path();
    std::error_code ec;
#ifdef _WIN32
    char folder[MAX_PATH] = {};
    DWORD size = sizeof folder;
    if (!std::filesystem::exists(dir / file, ec) &&
        RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Halvex\\Plumbra-Vektis", "VST2Folder", RRF_RT_REG_SZ, nullptr, folder,
                     &size) == ERROR_SUCCESS)
        return (std::filesystem::path(folder) / file).string();
#endif
    const std::filesystem::path installed = dir.parent_path() / "lib" / "vst" / file;
    if (!std::filesystem::exists(dir / file, ec) && dir.filename() == "bin" && std::filesystem::exists(installed, ec))
        return installed.string();
    return (dir / file).string();
}

}  // namespace plumbra::host
