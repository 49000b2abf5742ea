// Descriptor entry functions and the dispatcher of host requests.
#include "shell/audioeffect.h"

#include <climits>
#include <cstring>

namespace plumbra {

namespace {

// The host-given object behind a descriptor, or null for a null descriptor.
AudioEffect* objectOf(AEffect* e)
{
    return e ? static_cast<AudioEffect*>(e->object) : nullptr;
}

// Identification answered to effIdentify: the characters "NvEf".
constexpr VstIntPtr kIdentifyAnswer = 0x4E764566;

}  // namespace

AudioEffect::AudioEffect(audioMasterCallback audioMaster_, VstInt32 numPrograms_, VstInt32 numParams_)
    : audioMaster(audioMaster_), numPrograms(numPrograms_), numParams(numParams_)
{
    std::memset(&cEffect, 0, sizeof(cEffect));  // reserved fields and future area stay zero
    cEffect.magic = kEffectMagic;
    cEffect.dispatcher = &AudioEffect::dispatchEntry;
    cEffect.process = &AudioEffect::processEntry;
    cEffect.setParameter = &AudioEffect::setParameterEntry;
    cEffect.getParameter = &AudioEffect::getParameterEntry;
    cEffect.numPrograms = numPrograms_;
    cEffect.numParams = numParams_;
    cEffect.numInputs = 0;  // the derived object sets its channel counts and flags
    cEffect.numOutputs = 0;
    cEffect.flags = 0;
    cEffect.initialDelay = 0;
    cEffect.ioRatio = 1.0f;
    cEffect.object = this;
    cEffect.user = nullptr;
    cEffect.uniqueID = 0;
    cEffect.version = 1;
    cEffect.processReplacing = &AudioEffect::processReplacingEntry;
    cEffect.processDoubleReplacing = &AudioEffect::processDoubleReplacingEntry;
}

// ---- descriptor entry functions ---------------------------------------------

VstIntPtr VSTCALLBACK AudioEffect::dispatchEntry(AEffect* e, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                                 void* ptr, float opt)
{
    AudioEffect* self = objectOf(e);
    if (!self) return 0;
    const VstIntPtr answer = self->dispatcher(opcode, index, value, ptr, opt);
    if (opcode == effClose) {
        // The descriptor lives inside the object: nothing may touch it after this.
        delete self;
        return 1;
    }
    return answer;
}

// The accumulating process call is not supported: the outputs stay as passed.
void VSTCALLBACK AudioEffect::processEntry(AEffect*, float**, float**, VstInt32) {}

void VSTCALLBACK AudioEffect::processReplacingEntry(AEffect* e, float** inputs, float** outputs,
                                                    VstInt32 sampleFrames)
{
    if (AudioEffect* self = objectOf(e)) self->processReplacing(inputs, outputs, sampleFrames);
}

void VSTCALLBACK AudioEffect::processDoubleReplacingEntry(AEffect* e, double** inputs, double** outputs,
                                                          VstInt32 sampleFrames)
{
    if (AudioEffect* self = objectOf(e)) self->processDoubleReplacing(inputs, outputs, sampleFrames);
}

void VSTCALLBACK AudioEffect::setParameterEntry(AEffect* e, VstInt32 index, float value)
{
    if (AudioEffect* self = objectOf(e)) self->setParameter(index, value);
}

float VSTCALLBACK AudioEffect::getParameterEntry(AEffect* e, VstInt32 index)
{
    AudioEffect* self = objectOf(e);
    return self ? self->getParameter(index) : 0.0f;
}

// ---- basic requests ---------------------------------------------------------

VstIntPtr AudioEffect::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt)
{
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
    case effOpen:
        open();
        return 0;
    case effClose:
        close();
        return 0;
    case effSetProgram:
        if (value < numPrograms) {
            // A value below the 32-bit range is held at its lower end rather
            // than wrapped, so that it can never turn into a valid program.
            setProgram(value < INT32_MIN ? INT32_MIN : static_cast<VstInt32>(value));
        }
        return 0;
    case effGetProgram:
        return getProgram();
    case effSetProgramName:
        return 0;  // the program name cannot be changed
    case effGetProgramName:
        if (text) getProgramName(text);
        return 0;
    case effGetParamLabel:
        if (text) getParameterLabel(index, text);
        return 0;
    case effGetParamDisplay:
        if (text) getParameterDisplay(index, text);
        return 0;
    case effGetParamName:
        if (text) getParameterName(index, text);
        return 0;
    case effSetSampleRate:
        setSampleRate(opt);
        return 0;
    case effSetBlockSize:
        setBlockSize(static_cast<VstInt32>(value));
        return 0;
    case effMainsChanged:
        if (value)
            resume();
        else
            suspend();
        return 0;
    case effIdentify:
        return kIdentifyAnswer;
    case effGetVu:
    case effEditGetRect:  // no editor
    case effEditOpen:
    case effEditClose:
    case effEditDraw:
    case effEditMouse:
    case effEditKey:
    case effEditIdle:
    case effEditTop:
    case effEditSleep:
    case effGetChunk:  // no chunk support
    case effSetChunk:
    default:
        return 0;
    }
}

// ---- extended requests ------------------------------------------------------

VstIntPtr AudioEffectX::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt)
{
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
    case effProcessEvents:
        // Every list is accepted, a missing one as if it were empty.
        if (ptr) processEvents(static_cast<VstEvents*>(ptr));
        return 1;
    case effCanBeAutomated:
        return canParameterBeAutomated(index) ? 1 : 0;
    case effGetProgramNameIndexed:
        return text && getProgramNameIndexed(static_cast<VstInt32>(value), index, text) ? 1 : 0;
    case effGetInputProperties:
        return ptr && getInputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case effGetOutputProperties:
        return ptr && getOutputProperties(index, static_cast<VstPinProperties*>(ptr)) ? 1 : 0;
    case effGetPlugCategory:
        return getPlugCategory();
    case effSetSpeakerArrangement:  // refused
    case effSetBlockSizeAndSampleRate:  // neither is stored
    case effSetBypass:  // no soft bypass
        return 0;
    case effGetEffectName:
        return text && getEffectName(text) ? 1 : 0;
    case effGetVendorString:
        return text && getVendorString(text) ? 1 : 0;
    case effGetProductString:
        return text && getProductString(text) ? 1 : 0;
    case effGetVendorVersion:
        return getVendorVersion();
    case effCanDo:
        return text ? canDo(text) : 0;
    case effGetParameterProperties:
        return ptr && getParameterProperties(index, static_cast<VstParameterProperties*>(ptr)) ? 1 : 0;
    case effGetVstVersion:
        return getVstVersion();
    case effGetMidiProgramName:
        return ptr ? getMidiProgramName(index, static_cast<MidiProgramName*>(ptr)) : 0;
    case effGetCurrentMidiProgram:
        return ptr ? getCurrentMidiProgram(index, static_cast<MidiProgramName*>(ptr)) : -1;
    case effGetMidiProgramCategory:
        return ptr ? getMidiProgramCategory(index, static_cast<MidiProgramCategory*>(ptr)) : 0;
    case effGetSpeakerArrangement:
        // No arrangement: both of the host's arrangement pointers become null.
        if (value) *reinterpret_cast<void**>(value) = nullptr;
        if (ptr) *static_cast<void**>(ptr) = nullptr;
        return 0;
    case effSetTotalSampleToProcess:
        return value;
    case effSetProcessPrecision:
        return 0;  // single precision is the only one
    case effGetNumMidiInputChannels:
        return getNumMidiInputChannels();
    case effGetNumMidiOutputChannels:
        return getNumMidiOutputChannels();
    case effString2Parameter:
    case effGetNumProgramCategories:
    case effCopyProgram:
    case effConnectInput:
    case effConnectOutput:
    case effGetCurrentPosition:
    case effGetDestinationBuffer:
    case effOfflineNotify:
    case effOfflinePrepare:
    case effOfflineRun:
    case effProcessVarIo:
    case effGetErrorText:
    case effVendorSpecific:
    case effGetTailSize:
    case effIdle:
    case effGetIcon:
    case effSetViewPosition:
    case effKeysRequired:
    case effEditKeyDown:
    case effEditKeyUp:
    case effSetEditKnobMode:
    case effHasMidiProgramsChanged:
    case effGetMidiKeyName:
    case effBeginSetProgram:
    case effEndSetProgram:
    case effShellGetNextPlugin:
    case effStartProcess:
    case effStopProcess:
    case effSetPanLaw:
    case effBeginLoadBank:
    case effBeginLoadProgram:
        return 0;
    default:
        return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
    }
}

}  // namespace plumbra
