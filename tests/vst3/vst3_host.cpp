// Test host for the VST 3 bundle.
#include "tests/vst3/vst3_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace plumbra::test::vst3 {

std::string bundleBinary(const std::string& bundle)
{
    std::string stem = bundle;
    while (!stem.empty() && stem.back() == '/') stem.pop_back();
    stem = stem.substr(stem.find_last_of('/') + 1);
    stem = stem.substr(0, stem.size() - 5);  // without ".vst3"
#if defined(_WIN32)
    return bundle + (sizeof(void*) == 4 ? "/Contents/x86-win/" : "/Contents/x86_64-win/") + stem + ".vst3";
#else
    return bundle + "/Contents/x86_64-linux/" + stem + ".so";
#endif
}

Module& loadModule(const std::string& bundle)
{
    static std::map<std::string, Module> loaded;
    auto found = loaded.find(bundle);
    if (found != loaded.end()) return found->second;
    Module& m = loaded[bundle];
    const std::string path = bundleBinary(bundle);
#if defined(_WIN32)
    HMODULE lib = LoadLibraryA(path.c_str());
    if (!lib) {
        m.error = "cannot load " + path;
        return m;
    }
    auto symbol = [lib](const char* name) { return reinterpret_cast<void (*)()>(GetProcAddress(lib, name)); };
    auto init = reinterpret_cast<InitDllProc>(symbol("InitDll"));
    m.hasEntry = init && symbol("ExitDll");
    if (init && !init()) m.error = "InitDll failed";
#else
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        m.error = dlerror();
        return m;
    }
    auto symbol = [lib](const char* name) { return reinterpret_cast<void (*)()>(dlsym(lib, name)); };
    auto entry = reinterpret_cast<ModuleEntryProc>(symbol("ModuleEntry"));
    m.hasEntry = entry && symbol("ModuleExit");
    if (!entry || !entry(lib)) m.error = "ModuleEntry missing or failed";
#endif
    auto get = reinterpret_cast<GetFactoryProc>(symbol("GetPluginFactory"));
    if (!get) {
        m.error = "no GetPluginFactory";
        return m;
    }
    m.factory = get();
    return m;
}

std::string uidText(const char* b)
{
    const auto* u = reinterpret_cast<const unsigned char*>(b);
#if defined(_WIN32)
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
#else
    const int order[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
#endif
    std::string s;
    char hex[3];
    for (int i : order) {
        std::snprintf(hex, sizeof(hex), "%02X", u[i]);
        s += hex;
    }
    return s;
}

namespace {
tresult answer(const TUID iid, void** obj, void* self, const Uid& own)
{
    if (sameUid(iid, kFUnknownIid) || sameUid(iid, own)) {
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}
}  // namespace

tresult MemoryStream::queryInterface(const TUID iid, void** obj)
{
    return answer(iid, obj, this, kIBStreamIid);
}
tresult MemoryStream::read(void* buffer, int32 n, int32* got)
{
    const std::size_t k = std::min<std::size_t>({static_cast<std::size_t>(std::max(n, 0)), bytes.size() - pos,
                                                 static_cast<std::size_t>(maxRead)});
    if (k > 0) std::memcpy(buffer, bytes.data() + pos, k);
    pos += k;
    if (got) *got = static_cast<int32>(k);
    return kResultOk;
}
tresult MemoryStream::write(void* buffer, int32 n, int32* written)
{
    if (n < 0) return kInvalidArgument;
    if (bytes.size() < pos + static_cast<std::size_t>(n)) bytes.resize(pos + static_cast<std::size_t>(n));
    if (n > 0) std::memcpy(bytes.data() + pos, buffer, static_cast<std::size_t>(n));
    pos += static_cast<std::size_t>(n);
    if (written) *written = n;
    return kResultOk;
}
tresult MemoryStream::seek(int64 p, int32 mode, int64* result)
{
    const int64 base = mode == kIBSeekSet ? 0 : mode == kIBSeekCur ? static_cast<int64>(pos) : static_cast<int64>(bytes.size());
    if (base + p < 0) return kInvalidArgument;
    pos = static_cast<std::size_t>(base + p);
    if (result) *result = static_cast<int64>(pos);
    return kResultOk;
}
tresult MemoryStream::tell(int64* p)
{
    if (p) *p = static_cast<int64>(pos);
    return kResultOk;
}

tresult ValueQueue::queryInterface(const TUID iid, void** obj)
{
    return answer(iid, obj, this, kIParamValueQueueIid);
}
tresult ValueQueue::getPoint(int32 index, int32& offset, ParamValue& value)
{
    if (index < 0 || index >= static_cast<int32>(points.size())) return kResultFalse;
    offset = points[static_cast<std::size_t>(index)].first;
    value = points[static_cast<std::size_t>(index)].second;
    return kResultOk;
}
tresult ValueQueue::addPoint(int32 offset, ParamValue value, int32& index)
{
    index = static_cast<int32>(points.size());
    points.emplace_back(offset, value);
    return kResultOk;
}

void ParameterChanges::add(ParamID id, int32 offset, ParamValue value)
{
    int32 index = 0;
    int32 point = 0;
    addParameterData(id, index)->addPoint(offset, value, point);
}
tresult ParameterChanges::queryInterface(const TUID iid, void** obj)
{
    return answer(iid, obj, this, kIParameterChangesIid);
}
IParamValueQueue* ParameterChanges::getParameterData(int32 index)
{
    return index >= 0 && index < static_cast<int32>(queues.size()) ? &queues[static_cast<std::size_t>(index)] : nullptr;
}
IParamValueQueue* ParameterChanges::addParameterData(const ParamID& id, int32& index)
{
    for (std::size_t i = 0; i < queues.size(); ++i)
        if (queues[i].id == id) {
            index = static_cast<int32>(i);
            return &queues[i];
        }
    queues.emplace_back();
    queues.back().id = id;
    index = static_cast<int32>(queues.size() - 1);
    return &queues.back();
}

tresult ComponentHandler::queryInterface(const TUID iid, void** obj)
{
    return answer(iid, obj, this, kIComponentHandlerIid);
}
tresult HostApplication::queryInterface(const TUID iid, void** obj)
{
    return answer(iid, obj, this, kIHostApplicationIid);
}
tresult HostApplication::getName(String128 name)
{
    const char* text = "plumbra test host";
    int i = 0;
    for (; text[i]; ++i) name[i] = static_cast<TChar>(text[i]);
    name[i] = 0;
    return kResultOk;
}

Instance::Instance(const std::string& bundle, SpeakerArrangement input, int32 maxBlock)
{
    Module& m = loadModule(bundle);
    if (!m.factory) throw std::runtime_error("no factory: " + m.error);
    PClassInfo info{};
    if (m.factory->getClassInfo(0, &info) != kResultOk) throw std::runtime_error("no class");
    void* obj = nullptr;
    if (m.factory->createInstance(info.cid, kIComponentIid.bytes, &obj) != kResultOk || !obj)
        throw std::runtime_error("createInstance failed");
    component = static_cast<IComponent*>(obj);
    if (component->initialize(&context) != kResultOk) throw std::runtime_error("initialize failed");
    if (component->queryInterface(kIAudioProcessorIid.bytes, &obj) != kResultOk) throw std::runtime_error("no processor");
    processor = static_cast<IAudioProcessor*>(obj);
    if (component->queryInterface(kIEditControllerIid.bytes, &obj) != kResultOk) throw std::runtime_error("no controller");
    controller = static_cast<IEditController*>(obj);
    controller->initialize(&context);  // the controller role, as Ardour does
    controller->setComponentHandler(&handler);
    MemoryStream s;
    component->getState(&s);
    s.pos = 0;
    controller->setComponentState(&s);
    ProcessSetup setup{kRealtime, kSample32, maxBlock, 48000.0};
    SpeakerArrangement out = kSpeakerArrStereo;
    if (processor->setBusArrangements(&input, 1, &out, 1) != kResultTrue) throw std::runtime_error("arrangement refused");
    component->activateBus(kAudio, kInput, 0, 1);
    component->activateBus(kAudio, kOutput, 0, 1);
    processor->setupProcessing(setup);
    component->setActive(1);
    processor->setProcessing(1);
}

Instance::~Instance()
{
    processor->setProcessing(0);
    component->setActive(0);
    controller->setComponentHandler(nullptr);
    controller->terminate();
    component->terminate();
    controller->release();
    processor->release();
    component->release();
}

tresult Instance::process(const std::vector<const float*>& inputs, float* left, float* right, int32 frames,
                          ParameterChanges* changes)
{
    std::vector<float*> in;
    for (const float* p : inputs) in.push_back(const_cast<float*>(p));
    float* out[2] = {left, right};
    AudioBusBuffers inBus{};
    inBus.numChannels = static_cast<int32>(in.size());
    inBus.channelBuffers32 = in.data();
    AudioBusBuffers outBus{};
    outBus.numChannels = 2;
    outBus.silenceFlags = ~0ull;
    outBus.channelBuffers32 = out;
    ProcessData data{};
    data.processMode = kRealtime;
    data.symbolicSampleSize = kSample32;
    data.numSamples = frames;
    data.numInputs = 1;
    data.numOutputs = 1;
    data.inputs = &inBus;
    data.outputs = &outBus;
    data.inputParameterChanges = changes;
    const tresult r = processor->process(data);
    if (frames > 0 && outBus.silenceFlags != 0) return kInternalError;
    return r;
}

std::vector<float> Instance::render(const std::vector<float>& programme, const std::vector<int32>& blocks)
{
    std::vector<float> out(programme.size() * 2);
    std::vector<float> l(programme.size() + 1), r(programme.size() + 1);
    std::size_t done = 0;
    for (std::size_t b = 0; done < programme.size(); ++b) {
        const int32 n = static_cast<int32>(
            std::min<std::size_t>(static_cast<std::size_t>(blocks[b % blocks.size()]), programme.size() - done));
        if (process({programme.data() + done}, l.data() + done, r.data() + done, n) != kResultOk)
            throw std::runtime_error("process failed");
        done += static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < programme.size(); ++i) {
        out[2 * i] = l[i];
        out[2 * i + 1] = r[i];
    }
    return out;
}

std::vector<unsigned char> Instance::state()
{
    MemoryStream s;
    component->getState(&s);
    return s.bytes;
}

}  // namespace plumbra::test::vst3
