// The render job: a file (or stream, or the demo programme) through the plug-in
// into a file (or stream), with loudness report and plot.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/audio_io.h"
#include "host/params.h"
#include "host/plugin_host.h"
#include "host/report.h"
#include "host/status.h"

namespace plumbra::host {

struct RenderOptions {
    std::string input;   // path, "-" for standard input; unused with demo
    bool demo = false;
    double demoSeconds = 30.0;
    std::string output;  // path, "-" for standard output
    std::vector<std::string> sets;  // NAME=VALUE, applied after the preset
    std::string preset;
    SampleFormat format = SampleFormat::FollowInput;
    bool rawLatency = false;
    bool quiet = false;
    bool tags = true;    // copy the input's tags
    std::string reportJson;  // "-": standard output
    std::string plot;
    std::string plugin;  // resolved library path
    int blockSize = 1024;
};

Status runRender(const RenderOptions& options);

// Everything one render needs besides its input, output and plug-in instance.
struct RenderSetup {
    std::vector<Assignment> assignments;  // checked, applied after rate and block size
    SampleFormat format = SampleFormat::FollowInput;
    bool rawLatency = false;
    bool tags = true;
    int blockSize = 1024;
};

struct RenderOutcome {
    RenderReport report;
    std::vector<float> inShortTerm, outShortTerm;  // for the plot
};

// Parameters from a preset file and NAME=VALUE texts, all checked before any is set.
Result<std::vector<Assignment>> collectAssignments(const ParamTable& table, const std::string& preset,
                                                   const std::vector<std::string>& sets);

// Streams `source` through `plugin` (loaded, not yet resumed: rate, block size and
// parameters are set here) into `output`, which appears only when complete.
// `progress` hears the input frames done so far.
Result<RenderOutcome> renderStream(Plugin& plugin, const ParamTable& table, AudioSource& source,
                                   const std::string& output, const RenderSetup& setup,
                                   const std::function<void(int64_t)>& progress);

// How many of the samples are NaN or infinite.
int64_t countNonFinite(const float* samples, int64_t count);

}  // namespace plumbra::host
