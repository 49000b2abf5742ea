// The host-facing effect classes. `AudioEffect` owns the `AEffect` descriptor
// that the host receives, provides the descriptor's entry functions and answers
// the basic dispatcher requests; `AudioEffectX` answers the extended requests.
// Every operation answers with a fixed default; the plug-in object overrides
// the ones it implements.
//
// Threads: the host may call the dispatcher from any of its threads (usually a
// user-interface or loader thread). processReplacing, processDoubleReplacing and
// process come from the audio thread; setParameter and getParameter from any
// thread, including the audio thread while a block is being processed. The host
// must not overlap effSetSampleRate or effClose with audio processing.
#pragma once

#include "shell/vst2.h"

namespace plumbra {

class AudioEffect {
public:
    AudioEffect(audioMasterCallback audioMaster, VstInt32 numPrograms, VstInt32 numParams);
    virtual ~AudioEffect() = default;

    AudioEffect(const AudioEffect&) = delete;
    AudioEffect& operator=(const AudioEffect&) = delete;

    // The descriptor handed to the host; it lives inside this object.
    AEffect* getAeffect() { return &cEffect; }

    // Answers one host request. Opcodes outside 0..79 answer 0.
    // Thread: any host thread.
    virtual VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);

    // Lifecycle requests; they change nothing here. Thread: any host thread.
    virtual void open() {}
    virtual void close() {}
    virtual void suspend() {}
    virtual void resume() {}

    // Stores the rate. Thread: any host thread, never during processing.
    virtual void setSampleRate(float rate) { sampleRate = rate; }
    float getSampleRate() const { return sampleRate; }
    // Stores the size; nothing depends on it. Thread: any host thread.
    virtual void setBlockSize(VstInt32 size) { blockSize = size; }
    VstInt32 getBlockSize() const { return blockSize; }

    // Programs. Thread: any host thread.
    virtual void setProgram(VstInt32 program) { curProgram = program; }
    virtual VstInt32 getProgram() { return curProgram; }
    virtual void getProgramName(char* name) { name[0] = 0; }

    // Parameters. Thread: any host thread, including the audio thread.
    virtual void setParameter(VstInt32 /*index*/, float /*value*/) {}
    virtual float getParameter(VstInt32 /*index*/) { return 0.0f; }
    // Parameter texts. Thread: any host thread.
    virtual void getParameterLabel(VstInt32 /*index*/, char* label) { label[0] = 0; }
    virtual void getParameterDisplay(VstInt32 /*index*/, char* text) { text[0] = 0; }
    virtual void getParameterName(VstInt32 /*index*/, char* text) { text[0] = 0; }

    // Audio. Thread: the host's audio thread.
    virtual void processReplacing(float** /*inputs*/, float** /*outputs*/, VstInt32 /*sampleFrames*/) {}
    virtual void processDoubleReplacing(double** /*inputs*/, double** /*outputs*/, VstInt32 /*sampleFrames*/) {}

protected:
    audioMasterCallback audioMaster;  // the host's callback
    void* editor = nullptr;           // no editor exists
    float sampleRate = 44100.0f;      // current sample rate in Hz
    VstInt32 blockSize = 1024;        // largest block the host announced
    VstInt32 numPrograms;
    VstInt32 numParams;
    VstInt32 curProgram = 0;
    AEffect cEffect;                  // the descriptor handed to the host

private:
    // Descriptor entry functions: each finds the object through the
    // descriptor's `object` field and calls the operation of the same name.
    static VstIntPtr VSTCALLBACK dispatchEntry(AEffect* e, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                               void* ptr, float opt);
    static void VSTCALLBACK processEntry(AEffect* e, float** inputs, float** outputs, VstInt32 sampleFrames);
    static void VSTCALLBACK processReplacingEntry(AEffect* e, float** inputs, float** outputs,
                                                  VstInt32 sampleFrames);
    static void VSTCALLBACK processDoubleReplacingEntry(AEffect* e, double** inputs, double** outputs,
                                                        VstInt32 sampleFrames);
    static void VSTCALLBACK setParameterEntry(AEffect* e, VstInt32 index, float value);
    static float VSTCALLBACK getParameterEntry(AEffect* e, VstInt32 index);
};

class AudioEffectX : public AudioEffect {
public:
    using AudioEffect::AudioEffect;

    // Answers the extended requests and passes the others on.
    VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) override;

    // Thread: the thread that delivers events (usually the audio thread).
    virtual VstInt32 processEvents(VstEvents* /*events*/) { return 0; }

    // Queries. Thread: any host thread. The pointer arguments are never null
    // here: the dispatcher answers requests with a null pointer itself.
    virtual bool canParameterBeAutomated(VstInt32 /*index*/) { return true; }
    virtual bool getProgramNameIndexed(VstInt32 /*category*/, VstInt32 /*index*/, char* /*text*/) { return false; }
    virtual bool getInputProperties(VstInt32 /*index*/, VstPinProperties* /*properties*/) { return false; }
    virtual bool getOutputProperties(VstInt32 /*index*/, VstPinProperties* /*properties*/) { return false; }
    virtual VstPlugCategory getPlugCategory() { return kPlugCategUnknown; }
    virtual bool getEffectName(char* /*name*/) { return false; }
    virtual bool getVendorString(char* /*text*/) { return false; }
    virtual bool getProductString(char* /*text*/) { return false; }
    virtual VstInt32 getVendorVersion() { return 0; }
    virtual VstInt32 canDo(const char* /*text*/) { return 0; }
    virtual bool getParameterProperties(VstInt32 /*index*/, VstParameterProperties* /*properties*/) { return false; }
    virtual VstInt32 getVstVersion() { return 2400; }
    virtual VstInt32 getMidiProgramName(VstInt32 /*channel*/, MidiProgramName* /*name*/) { return 0; }
    virtual VstInt32 getCurrentMidiProgram(VstInt32 /*channel*/, MidiProgramName* /*current*/) { return -1; }
    virtual VstInt32 getMidiProgramCategory(VstInt32 /*channel*/, MidiProgramCategory* /*category*/) { return 0; }
    virtual VstInt32 getNumMidiInputChannels() { return 0; }
    virtual VstInt32 getNumMidiOutputChannels() { return 0; }
};

}  // namespace plumbra
