// The VST 3 plug-in object: buses, parameters, state and processing over the
// same processor and parameter table as the VST 2 build.
#include "vst3/plugin.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "dsp/control_table.h"
#include "dsp/mydsp.h"
#include "dsp/simd/denormals.h"
#include "shell/checks.h"
#include "shell/vstui.h"

namespace plumbra::vst3 {

namespace {

void copyString(TChar* dst, const char* src, int capacity)
{
    int i = 0;
    for (; i < capacity - 1 && src[i] != 0; ++i) dst[i] = static_cast<TChar>(static_cast<unsigned char>(src[i]));
    for (; i < capacity; ++i) dst[i] = 0;
}

const char* unitText(ControlUnit unit)
{
    switch (unit) {
    case ControlUnit::kDecibel: return "dB";
    case ControlUnit::kHertz: return "Hz";
    case ControlUnit::kFactor: return "x";
    case ControlUnit::kNone: break;
    }
    return "";
}

void putWord(unsigned char* at, uint32 w)
{
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(w >> (8 * i));
}

uint32 getWord(const unsigned char* at)
{
    uint32 w = 0;
    for (int i = 0; i < 4; ++i) w |= static_cast<uint32>(at[i]) << (8 * i);
    return w;
}

// Bypass switches over this many milliseconds: short, and long enough not to click.
constexpr double kBypassFadeMs = 10.0;

class Plugin final : public IComponent,
                     public IAudioProcessor,
                     public IEditController,
                     public IProcessContextRequirements {
public:
    Plugin() : fDsp(std::make_unique<mydsp>()), fUi(std::make_unique<vstUI>())
    {
        // As the VST 2 build: a value-initialised processor at 44100 Hz until a rate is set.
        fDsp->declareControls(fUi.get());
        PLUMBRA_CHECK(fUi->size() == kNumControls);
        fDsp->initialise(44100);
        setFade(44100.0);
    }

    // ---- FUnknown ----
    tresult PLUMBRA_VST3_API queryInterface(const TUID iid, void** obj) override
    {
        if (!obj) return kInvalidArgument;
        void* found = nullptr;
        if (sameUid(iid, kFUnknownIid) || sameUid(iid, kIPluginBaseIid) || sameUid(iid, kIComponentIid))
            found = static_cast<IComponent*>(this);
        else if (sameUid(iid, kIAudioProcessorIid))
            found = static_cast<IAudioProcessor*>(this);
        else if (sameUid(iid, kIEditControllerIid))
            found = static_cast<IEditController*>(this);
        else if (sameUid(iid, kIProcessContextRequirementsIid))
            found = static_cast<IProcessContextRequirements*>(this);
        *obj = found;
        if (!found) return kNoInterface;
        addRef();
        return kResultOk;
    }
    uint32 PLUMBRA_VST3_API addRef() override { return ++fRefs; }
    uint32 PLUMBRA_VST3_API release() override
    {
        const uint32 left = --fRefs;
        if (left == 0) delete this;
        return left;
    }

    // ---- IPluginBase: a host may initialise once per role; the work is done on
    // the first initialise and the last terminate.
    tresult PLUMBRA_VST3_API initialize(FUnknown*) override
    {
        ++fInitialised;
        return kResultOk;
    }
    tresult PLUMBRA_VST3_API terminate() override
    {
        if (fInitialised > 0 && --fInitialised == 0) setComponentHandler(nullptr);
        return kResultOk;
    }

    // ---- IComponent ----
    tresult PLUMBRA_VST3_API getControllerClassId(TUID) override { return kNotImplemented; }
    tresult PLUMBRA_VST3_API setIoMode(IoMode) override { return kResultOk; }
    int32 PLUMBRA_VST3_API getBusCount(MediaType type, BusDirection dir) override
    {
        return type == kAudio && (dir == kInput || dir == kOutput) ? 1 : 0;
    }
    tresult PLUMBRA_VST3_API getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) override
    {
        if (type != kAudio || index != 0 || (dir != kInput && dir != kOutput)) return kInvalidArgument;
        bus.mediaType = kAudio;
        bus.direction = dir;
        bus.channelCount = dir == kInput ? fInputChannels : 2;
        copyString(bus.name, dir == kInput ? "Programme In" : "Output", 128);
        bus.busType = kMain;
        bus.flags = kDefaultActive;
        return kResultOk;
    }
    tresult PLUMBRA_VST3_API getRoutingInfo(RoutingInfo&, RoutingInfo&) override { return kNotImplemented; }
    tresult PLUMBRA_VST3_API activateBus(MediaType type, BusDirection dir, int32 index, TBool) override
    {
        return type == kAudio && index == 0 && (dir == kInput || dir == kOutput) ? kResultOk : kInvalidArgument;
    }
    // Activation keeps the processor's history, as the VST 2 build keeps it on
    // resume: hosts deactivate and activate around block-size changes and
    // before exports, and a render must not depend on which build a host loads.
    // Only a new sample rate starts the processor afresh (setupProcessing).
    tresult PLUMBRA_VST3_API setActive(TBool state) override
    {
        if (state) fBypassMix = fBypass.load(std::memory_order_relaxed) > 0.5f ? 1.0f : 0.0f;
        return kResultOk;
    }
    tresult PLUMBRA_VST3_API setState(IBStream* state) override { return readState(state); }
    tresult PLUMBRA_VST3_API getState(IBStream* state) override
    {
        unsigned char chunk[kStateBytes];
        for (int i = 0; i < 4; ++i) chunk[i] = static_cast<unsigned char>(kStateMagic[i]);
        putWord(chunk + 4, kStateVersion);
        putWord(chunk + 8, kParameterCount);
        for (int32 i = 0; i < kParameterCount; ++i) {
            const float v = i < kNumControls ? loadControl(*fUi->at(i).zone()) : fBypass.load(std::memory_order_relaxed);
            uint32 bits = 0;
            std::memcpy(&bits, &v, 4);
            putWord(chunk + 12 + 4 * i, bits);
        }
        return writeAll(state, chunk, kStateBytes);
    }

    // ---- IAudioProcessor ----
    tresult PLUMBRA_VST3_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                                                int32 numOuts) override
    {
        if (numIns < 0 || numOuts < 0) return kInvalidArgument;
        if (numIns != 1 || numOuts != 1 || !inputs || !outputs || outputs[0] != kSpeakerArrStereo) return kResultFalse;
        if (inputs[0] == kSpeakerArrMono)
            fInputChannels = 1;
        else if (inputs[0] == kSpeakerArrStereo)
            fInputChannels = 2;
        else
            return kResultFalse;
        return kResultTrue;
    }
    tresult PLUMBRA_VST3_API getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement& arr) override
    {
        if (index != 0 || (dir != kInput && dir != kOutput)) return kInvalidArgument;
        arr = dir == kOutput || fInputChannels == 2 ? kSpeakerArrStereo : kSpeakerArrMono;
        return kResultOk;
    }
    // 64-bit samples are refused: the processor's arithmetic is single precision.
    tresult PLUMBRA_VST3_API canProcessSampleSize(int32 size) override
    {
        return size == kSample32 ? kResultTrue : kResultFalse;
    }
    uint32 PLUMBRA_VST3_API getLatencySamples() override { return static_cast<uint32>(kLatencySamples); }
    tresult PLUMBRA_VST3_API setupProcessing(ProcessSetup& setup) override
    {
        if (setup.symbolicSampleSize != kSample32) return kResultFalse;
        try {
            fScratch.resize(static_cast<std::size_t>(std::clamp(setup.maxSamplesPerBlock, 1, 1 << 16)));
        } catch (const std::bad_alloc&) {
            return kOutOfMemory;
        }
        // The rate as the VST 2 build takes it (single precision, truncated); the
        // controls keep their values across the processor's re-initialisation.
        const float rate = static_cast<float>(setup.sampleRate);
        if (!std::isfinite(rate) || truncateToInt32(rate) == fRate) return kResultOk;
        fRate = truncateToInt32(rate);
        float saved[kNumControls];
        for (int i = 0; i < kNumControls; ++i) saved[i] = loadControl(*fUi->at(i).zone());
        fDsp->initialise(fRate);
        for (int i = 0; i < kNumControls; ++i) storeControl(*fUi->at(i).zone(), saved[i]);
        std::fill(fDry.begin(), fDry.end(), 0.0f);
        fDryPos = 0;
        setFade(setup.sampleRate);
        return kResultOk;
    }
    tresult PLUMBRA_VST3_API setProcessing(TBool) override { return kResultOk; }
    tresult PLUMBRA_VST3_API process(ProcessData& data) override;
    uint32 PLUMBRA_VST3_API getTailSamples() override { return static_cast<uint32>(kLatencySamples); }

    // ---- IProcessContextRequirements: no transport information needed ----
    uint32 PLUMBRA_VST3_API getProcessContextRequirements() override { return 0; }

    // ---- IEditController ----
    // The component state already carries every value; the controller has none of its own.
    tresult PLUMBRA_VST3_API setComponentState(IBStream* state) override { return readState(state); }
    tresult PLUMBRA_VST3_API setControllerState(IBStream*) override { return kResultOk; }
    tresult PLUMBRA_VST3_API getControllerState(IBStream*) override { return kResultOk; }
    int32 PLUMBRA_VST3_API getParameterCount() override { return kParameterCount; }
    tresult PLUMBRA_VST3_API getParameterInfo(int32 index, ParameterInfo& info) override
    {
        if (index < 0 || index >= kParameterCount) return kResultFalse;
        std::memset(&info, 0, sizeof(info));
        info.id = static_cast<ParamID>(index);
        info.unitId = 0;
        if (index == static_cast<int32>(kBypassId)) {
            copyString(info.title, "Bypass", 128);
            copyString(info.shortTitle, "Bypass", 128);
            info.stepCount = 1;
            info.defaultNormalizedValue = 0.0;
            info.flags = kCanAutomate | kIsBypass;
            return kResultOk;
        }
        const ControlSpec& c = kControlSpecs[index];
        copyString(info.title, c.label, 128);
        copyString(info.shortTitle, c.label, 128);
        copyString(info.units, unitText(c.unit), 128);
        info.stepCount = c.toggle ? 1 : static_cast<int32>(std::lround((c.max - c.min) / c.step));
        info.defaultNormalizedValue = c.toggle ? c.init : (c.init - c.min) / (c.max - c.min);
        info.flags = kCanAutomate;
        return kResultOk;
    }
    tresult PLUMBRA_VST3_API getParamStringByValue(ParamID id, ParamValue value, String128 string) override
    {
        if (id > kBypassId) return kResultFalse;
        char text[kMaxParamNameBytes];
        const vstUIObject& object = id == kBypassId ? bypassSwitch() : fUi->at(static_cast<int32_t>(id));
        object.formatValue(object.plainOfNormalized(value), text);
        copyString(string, text, 128);
        return kResultOk;
    }
    tresult PLUMBRA_VST3_API getParamValueByString(ParamID id, TChar* string, ParamValue& value) override
    {
        if (id > kBypassId || !string) return kResultFalse;
        char text[64];
        int n = 0;
        for (; n < 63 && string[n] != 0; ++n) text[n] = string[n] < 128 ? static_cast<char>(string[n]) : '?';
        text[n] = 0;
        double plain = 0.0;
        if (std::strcmp(text, "ON") == 0) {
            plain = 1.0;
        } else if (std::strcmp(text, "OFF") == 0) {
            plain = 0.0;
        } else {
            char* end = nullptr;
            plain = std::strtod(text, &end);
            if (end == text || !std::isfinite(plain)) return kResultFalse;
        }
        value = plainParamToNormalized(id, plain);
        return kResultOk;
    }
    ParamValue PLUMBRA_VST3_API normalizedParamToPlain(ParamID id, ParamValue value) override
    {
        if (id > kBypassId) return 0.0;
        const vstUIObject& object = id == kBypassId ? bypassSwitch() : fUi->at(static_cast<int32_t>(id));
        return object.plainOfNormalized(value);
    }
    ParamValue PLUMBRA_VST3_API plainParamToNormalized(ParamID id, ParamValue plain) override
    {
        if (id > kBypassId) return 0.0;
        if (id == kBypassId || kControlSpecs[id].toggle) return plain > 0.5 ? 1.0 : 0.0;
        const ControlSpec& c = kControlSpecs[id];
        // The VST 2 build's normalised reading of a stored value.
        const float v = std::clamp(static_cast<float>(plain), c.min, c.max);
        return (v - c.min) / (c.max - c.min);
    }
    ParamValue PLUMBRA_VST3_API getParamNormalized(ParamID id) override
    {
        if (id == kBypassId) return fBypass.load(std::memory_order_relaxed);
        return id < kBypassId ? fUi->at(static_cast<int32_t>(id)).getNormalized() : 0.0;
    }
    tresult PLUMBRA_VST3_API setParamNormalized(ParamID id, ParamValue value) override
    {
        if (id > kBypassId) return kResultFalse;
        setNormalized(id, value);
        return kResultOk;
    }
    tresult PLUMBRA_VST3_API setComponentHandler(IComponentHandler* handler) override
    {
        if (handler == fHandler) return kResultOk;
        if (handler) handler->addRef();
        if (fHandler) fHandler->release();
        fHandler = handler;
        return kResultOk;
    }
    IPlugView* PLUMBRA_VST3_API createView(FIDString) override { return nullptr; }

private:
    ~Plugin()
    {
        if (fHandler) fHandler->release();
    }

    // Bypass shares the switches' conversions and display.
    const vstUIObject& bypassSwitch() const { return fBypassSwitch; }

    // Thread: any host thread, the audio thread included (relaxed atomic stores).
    void setNormalized(ParamID id, ParamValue value)
    {
        if (id == kBypassId)
            fBypass.store(fBypassSwitch.plainOfNormalized(value), std::memory_order_relaxed);
        else
            fUi->at(static_cast<int32_t>(id)).setNormalized(value);
    }

    void setFade(double rate)
    {
        const double samples = std::floor(rate * kBypassFadeMs / 1000.0);
        fFadeStep = samples >= 1.0 && samples < 1e6 ? static_cast<float>(1.0 / samples) : 1.0f;
    }

    static tresult writeAll(IBStream* stream, unsigned char* bytes, int32 count)
    {
        if (!stream) return kInvalidArgument;
        int32 written = 0;
        if (stream->write(bytes, count, &written) != kResultOk || written != count) return kResultFalse;
        return kResultOk;
    }

    // Reads and checks a whole chunk before anything is applied: an unknown or
    // damaged chunk is refused and every value stays as it was.
    tresult readState(IBStream* stream)
    {
        if (!stream) return kInvalidArgument;
        unsigned char chunk[kStateBytes];
        int32 have = 0;
        while (have < kStateBytes) {
            int32 got = 0;
            if (stream->read(chunk + have, kStateBytes - have, &got) != kResultOk || got <= 0) break;
            have += got;
        }
        if (have != kStateBytes || std::memcmp(chunk, kStateMagic, 4) != 0 || getWord(chunk + 4) != kStateVersion ||
            getWord(chunk + 8) != static_cast<uint32>(kParameterCount))
            return kResultFalse;
        float values[kParameterCount];
        for (int32 i = 0; i < kParameterCount; ++i) {
            const uint32 bits = getWord(chunk + 12 + 4 * i);
            std::memcpy(&values[i], &bits, 4);
            const float v = values[i];
            const bool isSwitch = i == static_cast<int32>(kBypassId) || kControlSpecs[i].toggle;
            const bool valid = isSwitch ? (v == 0.0f || v == 1.0f)
                                        : (v >= kControlSpecs[i].min && v <= kControlSpecs[i].max);
            if (!valid) return kResultFalse;
        }
        for (int i = 0; i < kNumControls; ++i) storeControl(*fUi->at(i).zone(), values[i]);
        fBypass.store(values[kBypassId], std::memory_order_relaxed);
        return kResultOk;
    }

    std::atomic<uint32> fRefs{1};
    int fInitialised = 0;
    std::unique_ptr<mydsp> fDsp;
    std::unique_ptr<vstUI> fUi;
    float fBypassStore = 0.0f;                           // unused zone of the bypass switch
    vstCheckButton fBypassSwitch{"Bypass", &fBypassStore};  // conversions and display only
    std::atomic<float> fBypass{0.0f};                    // 0 or 1, any thread
    IComponentHandler* fHandler = nullptr;
    int32 fInputChannels = 1;  // mono programme by default; stereo is mixed (L+R)/2
    int32_t fRate = 44100;     // the processor's rate

    // Audio thread only (and setActive/setupProcessing while inactive).
    std::vector<float> fScratch = std::vector<float>(1024);  // the programme of one piece
    std::vector<float> fDry = std::vector<float>(static_cast<std::size_t>(kLatencySamples));  // delayed dry
    std::size_t fDryPos = 0;
    float fBypassMix = 0.0f;  // 0 processed .. 1 dry
    float fFadeStep = 1.0f;
};

// Thread: the audio thread. No allocation, lock or system call; the
// floating-point environment is the host's again on return.
tresult Plugin::process(ProcessData& data)
{
    if (IParameterChanges* changes = data.inputParameterChanges) {
        const int32 count = changes->getParameterCount();
        for (int32 i = 0; i < count; ++i) {
            IParamValueQueue* queue = changes->getParameterData(i);
            if (!queue) continue;
            const int32 points = queue->getPointCount();
            int32 offset = 0;
            ParamValue value = 0.0;
            if (points > 0 && queue->getPoint(points - 1, offset, value) == kResultOk) {
                const ParamID id = queue->getParameterId();
                if (id <= kBypassId && std::isfinite(value)) setNormalized(id, value);
            }
        }
    }
    const int32 frames = data.numSamples;
    if (frames <= 0 || data.numOutputs < 1 || !data.outputs || data.outputs[0].numChannels < 2) return kResultOk;
    if (data.symbolicSampleSize != kSample32) return kInvalidArgument;
    float** outs = data.outputs[0].channelBuffers32;
    if (!outs || !outs[0] || !outs[1]) return kResultOk;
    data.outputs[0].silenceFlags = 0;

    const float* inL = nullptr;
    const float* inR = nullptr;
    if (data.numInputs >= 1 && data.inputs && data.inputs[0].channelBuffers32 && data.inputs[0].numChannels >= 1) {
        inL = data.inputs[0].channelBuffers32[0];
        if (data.inputs[0].numChannels >= 2) inR = data.inputs[0].channelBuffers32[1];
    }

    ScopedFlushDenormals flush;
    const float target = fBypass.load(std::memory_order_relaxed) > 0.5f ? 1.0f : 0.0f;
    const std::size_t piece = fScratch.size();
    for (int32 done = 0; done < frames;) {
        const int32 n = static_cast<int32>(std::min<std::size_t>(piece, static_cast<std::size_t>(frames - done)));
        float* programme = fScratch.data();
        // The programme is taken before the outputs are written: they may be the inputs.
        for (int32 i = 0; i < n; ++i) {
            const float l = inL ? inL[done + i] : 0.0f;
            programme[i] = inR ? (l + inR[done + i]) * 0.5f : l;
        }
        float* inputs[2] = {programme, programme};
        float* outputs[2] = {outs[0] + done, outs[1] + done};
        fDsp->processBlock(n, inputs, outputs);

        // The dry programme, delayed by the latency, and the switch between the two.
        float* dry = fDry.data();
        const std::size_t size = fDry.size();
        for (int32 i = 0; i < n; ++i) {
            const float delayed = dry[fDryPos];
            const float x = programme[i];
            dry[fDryPos] = std::isfinite(x) ? x : 0.0f;
            fDryPos = fDryPos + 1 == size ? 0 : fDryPos + 1;
            if (fBypassMix != target)
                fBypassMix = target > fBypassMix ? std::min(target, fBypassMix + fFadeStep)
                                                 : std::max(target, fBypassMix - fFadeStep);
            if (fBypassMix == 0.0f) continue;
            float& o0 = outputs[0][i];
            float& o1 = outputs[1][i];
            if (fBypassMix == 1.0f) {
                o0 = delayed;
                o1 = delayed;
            } else {
                o0 = o0 * (1.0f - fBypassMix) + delayed * fBypassMix;
                o1 = o1 * (1.0f - fBypassMix) + delayed * fBypassMix;
            }
        }
        done += n;
    }
    return kResultOk;
}

}  // namespace

IComponent* createPlugin()
{
    try {
        return new Plugin();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace plumbra::vst3
