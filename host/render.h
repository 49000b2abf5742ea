// The render job: a file (or stream, or the demo programme) through the plug-in
// into a file (or stream), with loudness report and plot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/audio_io.h"
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
    std::string reportJson;
    std::string plot;
    std::string plugin;  // resolved library path
    int blockSize = 1024;
};

Status runRender(const RenderOptions& options);
// How many of the samples are NaN or infinite.
int64_t countNonFinite(const float* samples, int64_t count);

}  // namespace plumbra::host
