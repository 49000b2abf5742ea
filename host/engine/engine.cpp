// The linked-in processor behind a narrow interface.
#include "host/engine/engine.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "dsp/control_table.h"
#include "dsp/mydsp.h"
#include "host/common/text.h"

namespace plumbra::host {

namespace {

// Decimals of a control's step: 1 -> 0, 0.1 -> 1.
int decimalsOfStep(float step)
{
    int d = 0;
    for (double s = step; d < 6 && s > 0 && std::fabs(s - std::round(s)) > 1e-6; s *= 10) ++d;
    return d;
}

Result<int> findControl(const std::string& key)
{
    const std::string k = trim(key);
    for (int i = 0; i < kNumControls; ++i)
        if (k == kControlSpecs[i].label) return i;
    for (int i = 0; i < kNumControls; ++i)
        if (lower(k) == lower(kControlSpecs[i].label)) return i;
    double index = 0;
    if (parseNumber(k, index) && index == std::floor(index)) {
        if (index >= 0 && index < kNumControls) return static_cast<int>(index);
        return Status::fail(kExitParameter, "parameter index " + k + " is out of range 0 to " + std::to_string(kNumControls - 1));
    }
    return Status::fail(kExitParameter, "unknown parameter \"" + k + "\" (plumbra params lists them)");
}

}  // namespace

Engine::Engine(int rate) : rate_(rate), dsp_(std::make_unique<mydsp>())  // value-initialised, like the plug-in's
{
    dsp_->initialise(rate);
}

Engine::~Engine() = default;

int Engine::latency() const
{
    return kLatencySamples;
}

std::string Engine::name() const
{
    struct Find : Meta {
        std::string name;
        void declare(const char* key, const char* value) override
        {
            if (std::string(key) == "name") name = value;
        }
    } find;
    dsp_->declareMetadata(&find);
    return find.name;
}

Status Engine::set(const std::string& assignment)
{
    const auto eq = assignment.rfind('=');
    if (eq == std::string::npos) return Status::fail(kExitParameter, "expected NAME=VALUE, got \"" + assignment + "\"");
    return set(assignment.substr(0, eq), assignment.substr(eq + 1));
}

Status Engine::set(const std::string& name, const std::string& valueText)
{
    auto found = findControl(name);
    if (!found.ok()) return found.status();
    const ControlSpec& c = kControlSpecs[found.value()];
    float& zone = dsp_->controls().*(c.value);
    const std::string v = lower(trim(valueText)), what = std::string("parameter \"") + c.label + "\"";
    if (c.toggle) {
        if (v == "on" || v == "1" || v == "true" || v == "yes") storeControl(zone, 1.0f);
        else if (v == "off" || v == "0" || v == "false" || v == "no") storeControl(zone, 0.0f);
        else return Status::fail(kExitParameter, what + " is a switch: \"" + trim(valueText) + "\" is not on or off");
        return Status::success();
    }
    double x = 0;
    if (!parseNumber(v, x)) return Status::fail(kExitParameter, what + ": \"" + trim(valueText) + "\" is not a number");
    if (x < c.min || x > c.max) {
        const int d = decimalsOfStep(c.step);
        return Status::fail(kExitParameter, what + " value " + trim(valueText) + " is out of range " +
                                                printed("%.*f to %.*f", d, double(c.min), d, double(c.max)));
    }
    storeControl(zone, static_cast<float>(x));
    return Status::success();
}

std::vector<std::pair<std::string, std::string>> Engine::controlTexts() const
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const ControlSpec& c : kControlSpecs) {
        const float v = loadControl(dsp_->controls().*(c.value));
        const std::string fixed = printed("%.*f", decimalsOfStep(c.step), double(v));
        // The step's precision when it reads back to the same value, else every digit needed.
        const std::string text = c.toggle ? (v > 0.5f ? "on" : "off")
                                 : static_cast<float>(std::strtod(fixed.c_str(), nullptr)) == v ? fixed
                                                                                              : shortestText(v);
        out.emplace_back(c.label, text);
    }
    return out;
}

void Engine::setControl(int index, float value) noexcept
{
    if (index >= 0 && index < kNumControls) storeControl(dsp_->controls().*(kControlSpecs[index].value), value);
}

float Engine::control(int index) const noexcept
{
    return index >= 0 && index < kNumControls ? loadControl(dsp_->controls().*(kControlSpecs[index].value)) : 0.0f;
}

void Engine::clear() noexcept
{
    dsp_->clearState();
}

void Engine::process(float** inputs, float** outputs, int frames)
{
    dsp_->processBlock(frames, inputs, outputs);
}

MeterSnapshot Engine::meters() const
{
    return dsp_->meters().read();
}

}  // namespace plumbra::host
