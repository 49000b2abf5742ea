// The render job: a file (or stream, or the demo programme) through the plug-in
// into a file (or stream), with loudness report and plot.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/audio/audio_io.h"
#include "host/delivery/delivery.h"
#include "host/engine/engine.h"
#include "host/report/meter_log.h"
#include "host/plugin/params.h"
#include "host/plugin/plugin_host.h"
#include "host/report/report.h"
#include "host/common/status.h"

namespace plumbra::host {

// Everything one render needs besides its input, output and plug-in instance.
struct RenderSetup {
    std::vector<Assignment> assignments;  // checked, applied after rate and block size
    SampleFormat format = SampleFormat::FollowInput;
    bool rawLatency = false;
    bool tags = true;    // copy the input's tags
    int blockSize = 1024;
    // Delivery: the plug-in's output times `gain`, then held under `ceiling` (both linear)
    // by the true-peak limiter, whose latency is compensated with the plug-in's.
    struct Delivery {
        float gain = 1.0f;
        float ceiling = 1.0f;
    };
    std::optional<Delivery> delivery;
    // In-process callers (the Python module): hears each stretch of output as it is
    // written, interleaved, `at` frames into the output, besides or instead of a file.
    std::function<void(int64_t at, const float* interleaved, int64_t frames)> capture;
};

// What a render takes from the command line, for one file or a batch.
struct RenderOptions {
    std::string plugin;  // resolved library path
    std::vector<std::string> presets;  // preset files, applied in order
    std::vector<std::string> sets;     // NAME=VALUE, applied after the presets
    RenderSetup setup;   // its assignments are filled in from presets and sets
    bool quiet = false;
    std::string reportJson;  // "-": standard output
    // One file only:
    std::string input;   // path, "-" for standard input; unused with demo
    bool demo = false;
    double demoSeconds = 30.0;
    std::string output;  // path, "-" for standard output
    std::string plot;
    std::string meters;  // JSON lines of the meters: the render runs the linked-in engine
    std::optional<DeliveryTarget> target;  // --target: measured first, then rendered onto it
};

Status runRender(const RenderOptions& options);

// The plug-in loaded, its parameters learnt and every assignment checked (into
// setup.assignments) before anything is set or written.
struct PreparedPlugin {
    std::unique_ptr<Plugin> plugin;
    ParamTable table;
};
Result<PreparedPlugin> preparePlugin(const RenderOptions& options, RenderSetup& setup);

struct RenderOutcome {
    RenderReport report;
    std::vector<float> inShortTerm, outShortTerm;  // for the plot
    std::optional<MeterLog> meters;                // engine renders: a line per 100 ms of input
    float limiterSmallestGain = 1.0f;              // renders with a delivery: the limiter's smallest gain
    std::shared_ptr<const LoudnessMeter> outMeter;  // the output's meter, released (for pooled loudness)
};

// The settings of the presets and --set values (collectSettings) as the plug-in's assignments.
Result<std::vector<Assignment>> collectAssignments(const ParamTable& table, const std::vector<std::string>& presets,
                                                   const std::vector<std::string>& sets);

// Streams `source` through `plugin` (loaded, not yet resumed: rate, block size and
// parameters are set here) into `output`, which appears only when complete.
// `progress` hears the input frames done so far.
Result<RenderOutcome> renderStream(Plugin& plugin, const ParamTable& table, AudioSource& source,
                                   const std::string& output, const RenderSetup& setup,
                                   const std::function<void(int64_t)>& progress);

// One pass of a render onto a target: the programme from its start through a fresh
// processor into `output` ("" measures only), with `setup`.
using RenderPass = std::function<Result<RenderOutcome>(const std::string& output, const RenderSetup& setup,
                                                       const std::function<void(int64_t)>& progress)>;

// A render onto a delivery target, in passes over the programme that hold no more of
// it in memory than a plain render: the first measures the processed programme, the
// next apply the gain that lands it on the target and the true-peak limiter (measuring
// only, when the limiter's cost in loudness has to be found and made up for), the last
// writes `output`. Every pass opens the input afresh and runs a fresh processor, so
// that each sees the same programme and gives the same audio. Only the passes that
// write `output` hear setup.capture.
Result<RenderOutcome> renderOntoTarget(const RenderPass& pass, const std::string& output, const RenderSetup& setup,
                                       const DeliveryTarget& target, const std::function<void(int64_t)>& progress);

// renderOntoTarget with the plug-in library, a fresh instance per pass.
Result<RenderOutcome> renderDelivered(const std::function<Result<std::unique_ptr<AudioSource>>()>& open,
                                      const std::function<Result<std::unique_ptr<Plugin>>()>& load,
                                      const ParamTable& table, const std::string& output, const RenderSetup& setup,
                                      const DeliveryTarget& target, const std::function<void(int64_t)>& progress);

// A render through the linked-in engine instead of the plug-in library, for callers
// that hold no library path (the Python module): a fresh engine at the programme's
// rate, its controls set by `configure`, in blocks of setup.blockSize; onto `target`
// when one is given. The audio equals the plug-in's render bit for bit.
Result<RenderOutcome> renderWithEngine(const std::function<Result<std::unique_ptr<AudioSource>>()>& open,
                                       const std::function<Status(Engine&)>& configure, const std::string& output,
                                       const RenderSetup& setup, const std::optional<DeliveryTarget>& target,
                                       const std::function<void(int64_t)>& progress);

// Streams `source` through the linked-in engine (already at the source's rate, its
// controls set) into `output` in blocks of 100 ms, logging the meters once per block.
Result<RenderOutcome> renderEngineStream(Engine& engine, AudioSource& source, const std::string& output,
                                         const RenderSetup& setup, const std::function<void(int64_t)>& progress);

// How many of the samples are NaN or infinite.
int64_t countNonFinite(const float* samples, int64_t count);

}  // namespace plumbra::host
