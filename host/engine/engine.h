// The processor itself, linked into the program: what plumbra runs when it
// needs more than audio (the meters), and what a live engine runs per device
// block. Nothing here touches files, threads or devices.
//
// The engine is driven like the VST 2 build drives the same processor: two
// inputs of which the first is the programme, two outputs, the controls set in
// their own units from the control table. Its audio therefore equals the
// plug-in's bit for bit (the tests compare them).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dsp/meters.h"
#include "host/common/status.h"

namespace plumbra {
class mydsp;
}

namespace plumbra::host {

class Engine {
public:
    // A processor at `rate` Hz with every control at its default and a clear state.
    explicit Engine(int rate);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    int rate() const { return rate_; }
    static int numInputs() { return 2; }  // the second input is unused
    static int numOutputs() { return 2; }
    int latency() const;       // samples by which the output trails the input
    std::string name() const;  // the processor's name, as the plug-in gives it to hosts

    // Sets a control by its label (exact, else case-insensitive) or index, from a
    // value in the control's unit; switches take on/off. "NAME=VALUE" or name and value.
    Status set(const std::string& assignment);
    Status set(const std::string& name, const std::string& value);
    // Every control's label and value as text (on/off for switches), in table order.
    std::vector<std::pair<std::string, std::string>> controlTexts() const;

    // A control by its table index, in its unit (already checked against the
    // range): no allocation, no lock, so the audio thread may call it between blocks.
    void setControl(int index, float value) noexcept;
    float control(int index) const noexcept;
    // Clears the signal state (controls kept), as at the start; allocates nothing.
    void clear() noexcept;

    // One block: inputs[0] is the programme, outputs[0..1] receive the two channels.
    void process(float** inputs, float** outputs, int frames);
    // The meters of the last block processed.
    MeterSnapshot meters() const;

private:
    int rate_;
    std::unique_ptr<mydsp> dsp_;
};

}  // namespace plumbra::host
