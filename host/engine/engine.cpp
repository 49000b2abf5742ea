// The linked-in processor behind a narrow interface.
#include "host/engine/engine.h"

#include "dsp/control_table.h"
#include "dsp/mydsp.h"
#include "host/common/control_text.h"

namespace plumbra::host {

Engine::Engine(int rate)
    : rate_(rate)
    , dsp_(std::make_unique<mydsp>())  // value-initialised, like the plug-in's
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
    auto s = parseSetting(assignment);
    if (!s.ok()) return s.status();
    setControl(s->index, s->value);
    return Status::success();
}

Status Engine::set(const std::string& name, const std::string& value)
{
    auto s = parseSetting(name, value);
    if (!s.ok()) return s.status();
    setControl(s->index, s->value);
    return Status::success();
}

std::vector<std::pair<std::string, std::string>> Engine::controlTexts() const
{
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < kNumControls; ++i) out.emplace_back(kControlSpecs[i].label, controlDisplayText(i, control(i)));
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
