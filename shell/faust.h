// The plug-in object: wraps the processor and its parameter table for the host.
#pragma once

#include <memory>

#include "dsp/mydsp.h"
#include "shell/audioeffect.h"
#include "shell/vstui.h"

namespace plumbra {

// Unique ID used when the processor's metadata names none: "FAUS".
inline constexpr VstInt32 kFallbackUniqueId = 0x46415553;

class Faust : public AudioEffectX {
public:
    // Takes ownership of the processor and of the collector that holds its
    // declared controls; initialises the processor for 44100 Hz.
    // Thread: the host thread that called VSTPluginMain.
    Faust(audioMasterCallback audioMaster, std::unique_ptr<mydsp> processor, std::unique_ptr<vstUI> ui);
    ~Faust() override;

    // ---- lifecycle; thread: any host thread, never during processing ----

    // Recomputes the processor's rate constants and clears its signal state;
    // the parameter values survive. A non-finite rate is ignored.
    void setSampleRate(float rate) override;

    // ---- programs; thread: any host thread ----

    void setProgram(VstInt32 program) override;
    void getProgramName(char* name) override;
    bool getProgramNameIndexed(VstInt32 category, VstInt32 index, char* text) override;
    VstInt32 getMidiProgramName(VstInt32 channel, MidiProgramName* name) override;
    VstInt32 getCurrentMidiProgram(VstInt32 channel, MidiProgramName* current) override;
    VstInt32 getMidiProgramCategory(VstInt32 channel, MidiProgramCategory* category) override;

    // ---- parameters ----

    // Thread: any host thread, including the audio thread during a block.
    void setParameter(VstInt32 index, float value) override;
    float getParameter(VstInt32 index) override;
    // Thread: any host thread.
    void getParameterLabel(VstInt32 index, char* label) override;
    void getParameterDisplay(VstInt32 index, char* text) override;
    void getParameterName(VstInt32 index, char* text) override;
    bool getParameterProperties(VstInt32 index, VstParameterProperties* properties) override;

    // ---- audio and events ----

    // Thread: the host's audio thread.
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    // Thread: the thread that delivers events (usually the audio thread).
    VstInt32 processEvents(VstEvents* events) override;

    // ---- identification and pins; thread: any host thread ----

    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    VstInt32 getVendorVersion() override;
    bool getInputProperties(VstInt32 index, VstPinProperties* properties) override;
    bool getOutputProperties(VstInt32 index, VstPinProperties* properties) override;
    VstPlugCategory getPlugCategory() override;
    VstInt32 getNumMidiInputChannels() override { return 1; }
    VstInt32 getNumMidiOutputChannels() override { return 0; }

    // The processor's metadata text for key, or fallback when the key is absent.
    const char* lookupMetadata(const char* key, const char* fallback);

    // Read-only views for tests and tools.
    mydsp& processor() { return *fDSP; }
    vstUI& parameters() { return *fDSPUI; }

private:
    bool inRange(VstInt32 index) const { return index >= 0 && index < numParams; }
    VstInt32 computeUniqueId();
    void writeMidiProgram(MidiProgramName* name);

    std::unique_ptr<mydsp> fDSP;    // the processor (owned)
    std::unique_ptr<vstUI> fDSPUI;  // its parameter table (owned)
    char programName[kVstMaxProgNameLen + 1];  // "Default", never changed
};

// Builds the processor, lets it declare its controls and wraps both in a
// plug-in object. Thread: the host thread that called VSTPluginMain.
AudioEffect* createEffectInstance(audioMasterCallback audioMaster);

}  // namespace plumbra

using plumbra::Faust;
