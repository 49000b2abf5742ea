// The VST 2 host side: loads a plug-in library, calls its VSTPluginMain with
// our host callback, and drives the effect only through the AEffect descriptor.
#pragma once

#include <memory>
#include <string>

#include "host/common/status.h"
#include "shell/vst2.h"

namespace plumbra::host {

// Pin description as the plug-in answers effGetInput/OutputProperties.
struct PinInfo {
    bool present = false;
    std::string label;
    std::string shortLabel;
    VstInt32 flags = 0;
};

class Plugin {
public:
    // Loads the library at path, finds VSTPluginMain, creates the effect and opens it.
    static Result<std::unique_ptr<Plugin>> load(const std::string& path);
    ~Plugin();  // suspends if running, closes the effect, unloads the library

    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const std::string& path() const { return path_; }
    const AEffect& descriptor() const { return *effect_; }
    int numParams() const { return effect_->numParams; }
    int numInputs() const { return effect_->numInputs; }
    int numOutputs() const { return effect_->numOutputs; }
    int latency() const { return effect_->initialDelay; }

    // Identification texts and numbers.
    std::string effectName();
    std::string vendorString();
    std::string productString();
    VstIntPtr vendorVersion();
    VstIntPtr vstVersion();
    VstIntPtr category();
    std::string programName(int index);
    PinInfo inputPin(int index);
    PinInfo outputPin(int index);

    // Parameters: names, labels and displays as the plug-in writes them, values normalised 0..1.
    std::string paramName(int index);
    std::string paramLabel(int index);
    std::string paramDisplay(int index);
    float getParameter(int index);
    void setParameter(int index, float normalised);

    // Processing set-up, in the order a host uses them.
    void setSampleRate(float rate);
    void setBlockSize(int frames);
    void resume();   // effMainsChanged 1
    void suspend();  // effMainsChanged 0
    // Runs one block through processReplacing; inputs and outputs hold numInputs/numOutputs channels.
    void process(float** inputs, float** outputs, int frames);

private:
    Plugin() = default;
    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    std::string text(VstInt32 opcode, VstInt32 index = 0);

    std::string path_;
    void* library_ = nullptr;
    AEffect* effect_ = nullptr;
    bool running_ = false;
};

// The library that sits beside this program (same folder, the plug-in's file name).
std::string defaultPluginPath();

}  // namespace plumbra::host
