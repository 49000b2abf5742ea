// The LV2 front end: one plug-in instance wraps one processor. Control ports
// carry plain values in each control's own unit; they are read at the start of
// every run call, as the VST 2 build reads its parameters at every block. The
// meter output ports are written at the end of every run call with the meters
// of the audio that call processed.
#include <lv2/core/lv2.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "dsp/control_table.h"
#include "dsp/mydsp.h"
#include "lv2/ports.h"

namespace plumbra::lv2 {

namespace {

// A host value for a control: a switch is on above one half (as the VST 2
// build converts its host values); a continuous value is held to the range,
// and NaN, which names no value, gives the control's default.
float controlValue(const ControlSpec& c, float v)
{
    if (c.toggle) return v > 0.5f ? 1.0f : 0.0f;
    if (std::isnan(v)) return c.init;
    if (v < c.min) return c.min;
    if (v > c.max) return c.max;
    return v;
}

// The rate the processor runs at, taken as the VST 2 build takes its host's
// rate (single precision, truncated); a rate that is not finite is refused
// with a message and the processor runs at the fallback rate.
int32_t processorRate(double hostRate)
{
    const float r = static_cast<float>(hostRate);
    if (!std::isfinite(r)) {
        std::fprintf(stderr, "Halvex_Plumbra-Vektis: sample rate %g is not a number; running at %g Hz\n", hostRate,
                     static_cast<double>(kFallbackRate));
        return static_cast<int32_t>(kFallbackRate);
    }
    if (r < 1.0f)
        std::fprintf(stderr, "Halvex_Plumbra-Vektis: sample rate %g Hz is below 1 Hz; processing as at 1 Hz\n",
                     hostRate);
    if (r >= 2147483647.0f) return INT32_MAX;
    if (r <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(r);
}

// Frames processed per call when a buffer must be stood in for.
constexpr uint32_t kStandInFrames = 256;

// How a meter's values over consecutive blocks make its value over all of them,
// as the processor would have metered them as one block: the lowest or the
// highest value, the RMS from the blocks' powers, or the value at the last
// block's end (gates, levels, widths, the noise reduction's corner).
enum class Over { kLowest, kHighest, kRms, kLast };

constexpr Over overRun(int meter)
{
    if (meter < kFirstWidthMeter) {
        switch (meter % kMetersPerBand) {
        case kBandGainLow: return Over::kLowest;
        case kBandGainHigh: return Over::kHighest;
        default: return Over::kLast;
        }
    }
    switch (meter) {
    case kMeterLimiterReduction:
    case kMeterInputPeak:
    case kMeterOutputPeak: return Over::kHighest;
    case kMeterInputRms: return Over::kRms;
    default: return Over::kLast;
    }
}

// Adds the meters of the next block of `frames` frames to those of the run so far
// (`before` frames). Levels at the floor stay at the floor.
void addBlockMeters(MeterSnapshot& run, uint64_t before, const MeterSnapshot& next, uint32_t frames)
{
    for (int i = 0; i < kNumMeters; ++i) {
        float& v = run.values[static_cast<std::size_t>(i)];
        const float x = next.values[static_cast<std::size_t>(i)];
        switch (overRun(i)) {
        case Over::kLowest: v = std::min(v, x); break;
        case Over::kHighest: v = std::max(v, x); break;
        case Over::kLast: v = x; break;
        case Over::kRms: {
            const double power = (static_cast<double>(before) * std::pow(10.0, 0.1 * static_cast<double>(v)) +
                                  frames * std::pow(10.0, 0.1 * static_cast<double>(x))) /
                                 static_cast<double>(before + frames);
            v = std::max(kMeterFloorDb, static_cast<float>(10.0 * std::log10(power)));
            break;
        }
        }
    }
    run.block = next.block;
    run.samples = next.samples;
}

struct Instance {
    std::unique_ptr<mydsp> dsp;
    const float* in[2] = {};
    float* out[2] = {};
    const float* control[kNumControls] = {};
    float* latency = nullptr;
    float* meter[kNumMeters] = {};
    // Stand-ins for a port the host left unconnected: silence to read, a sink to write.
    float silence[kStandInFrames] = {};
    float sink[2][kStandInFrames] = {};
};

// Thread: a host thread, never the audio thread.
LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const*)
{
    try {
        auto self = std::make_unique<Instance>();
        self->dsp = std::make_unique<mydsp>();  // value-initialised, as in the VST 2 build
        self->dsp->initialise(processorRate(rate));
        return self.release();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Halvex_Plumbra-Vektis: out of memory\n");
        return nullptr;
    }
}

// Thread: any, but not concurrently with run.
void connectPort(LV2_Handle handle, uint32_t port, void* data)
{
    auto* self = static_cast<Instance*>(handle);
    if (port == kPortInLeft || port == kPortInRight)
        self->in[port - kPortInLeft] = static_cast<const float*>(data);
    else if (port == kPortOutLeft || port == kPortOutRight)
        self->out[port - kPortOutLeft] = static_cast<float*>(data);
    else if (port >= kPortFirstControl && port < kPortLatency)
        self->control[port - kPortFirstControl] = static_cast<const float*>(data);
    else if (port == kPortLatency)
        self->latency = static_cast<float*>(data);
    else if (port >= kPortFirstMeter && port < kPortCount)
        self->meter[port - kPortFirstMeter] = static_cast<float*>(data);
}

// The run's meters to their ports; a port without a buffer is skipped.
void writeMeters(Instance& self, const MeterSnapshot& s)
{
    for (int i = 0; i < kNumMeters; ++i)
        if (float* port = self.meter[i]) *port = s.values[static_cast<std::size_t>(i)];
}

// Thread: a host thread. Clears the signal state; the controls keep their values.
void activate(LV2_Handle handle)
{
    static_cast<Instance*>(handle)->dsp->clearState();
}

// Thread: the audio thread. No allocation, no lock; the processor restores the
// host's floating-point environment on return from each block.
void run(LV2_Handle handle, uint32_t frames)
{
    auto* self = static_cast<Instance*>(handle);
    Controls& controls = self->dsp->controls();
    for (int i = 0; i < kNumControls; ++i) {
        if (!self->control[i]) continue;
        const ControlSpec& c = kControlSpecs[i];
        storeControl(controls.*c.value, controlValue(c, *self->control[i]));
    }
    if (self->latency) *self->latency = static_cast<float>(kLatencySamples);
    if (frames == 0) return;  // no audio, nothing metered: the meter ports keep their values

    const float* in = self->in[0];
    float* out0 = self->out[0];
    float* out1 = self->out[1];
    if (in && out0 && out1) {
        float* inputs[2] = {const_cast<float*>(in), const_cast<float*>(in)};
        float* outputs[2] = {out0, out1};
        self->dsp->processBlock(static_cast<int32_t>(frames), inputs, outputs);
        writeMeters(*self, self->dsp->meters().read());
        return;
    }
    // A port without a buffer: run on silence or into the sink in pieces, so that
    // the processor's history advances as if the host had connected it. The
    // meters of the pieces are gathered into those of the whole run.
    MeterSnapshot meters{};
    uint32_t done = 0;
    do {
        const uint32_t n = frames - done < kStandInFrames ? frames - done : kStandInFrames;
        float* input = in ? const_cast<float*>(in) + done : self->silence;
        float* inputs[2] = {input, input};
        float* outputs[2] = {out0 ? out0 + done : self->sink[0], out1 ? out1 + done : self->sink[1]};
        self->dsp->processBlock(static_cast<int32_t>(n), inputs, outputs);
        const MeterSnapshot piece = self->dsp->meters().read();
        if (done == 0)
            meters = piece;
        else
            addBlockMeters(meters, done, piece, n);
        done += n;
    } while (done < frames);
    writeMeters(*self, meters);
}

void deactivate(LV2_Handle) {}

void cleanup(LV2_Handle handle)
{
    delete static_cast<Instance*>(handle);
}

const void* extensionData(const char*)
{
    return nullptr;
}

constexpr LV2_Descriptor kDescriptor = {PLUMBRA_LV2_URI, instantiate, connectPort, activate, run,
                                        deactivate,      cleanup,     extensionData};

}  // namespace

}  // namespace plumbra::lv2

// Thread: the host thread that loads the library.
LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    return index == 0 ? &plumbra::lv2::kDescriptor : nullptr;
}
