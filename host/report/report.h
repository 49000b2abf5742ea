// The summary printed at the end of a render, as text and as JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/delivery/delivery.h"
#include "host/common/json.h"
#include "host/delivery/loudness.h"
#include "host/report/meter_log.h"

namespace plumbra::host {

// A render with --target: what was measured, applied and delivered.
struct DeliveryReport {
    DeliveryTarget target;
    double measuredLufs = 0;        // the processed programme before the gain
    double gainDb = 0;              // applied before the limiter
    double gainNeededDb = 0;        // that the target asked for: gainDb unless the cap held it
    bool gainCapped = false;        // the target asked for more than target.maxGainDb
    double limiterReductionDb = 0;  // the limiter's largest gain reduction
    int passes = 0;                 // renders of the programme it took
    Compliance compliance;          // of the output
    // Above this reduction the report says that the limiter, not only the gain, shaped the result.
    static constexpr double kNotableReductionDb = 1.0;
};

struct RenderReport {
    std::string input, output, plugin;
    std::string inputFormat, outputFormat;
    std::string outputContainer;  // the output's container alone, e.g. "WAV (Microsoft)"
    int rate = 0;
    int inputChannels = 0;
    int outputChannels = 0;
    int64_t inputFrames = 0, outputFrames = 0;
    int latency = 0;          // samples the plug-in reports
    bool compensated = true;  // latency removed from the output
    int blockSize = 0;
    LoudnessSummary in, out;
    int64_t nonFinite = 0;    // NaN or infinite samples in the plug-in's output
    double elapsedSeconds = 0, speed = 0;  // speed in multiples of real time
    std::vector<std::pair<std::string, std::string>> parameters;  // name, value in its unit
    std::vector<std::pair<std::string, std::string>> tags;         // name, value: copied to the output
    std::vector<std::pair<std::string, std::string>> tagsDropped;  // the output's container cannot hold them
    std::vector<BandSummary> bands;  // renders with meters: the bands' gain and gate, in band order
    Json sections = Json::object();  // further members of the JSON report, after the parameters
    std::optional<DeliveryReport> delivery;  // renders with --target
};

std::string reportText(const RenderReport& r);
// The report as the members of a JSON object.
Json reportJson(const RenderReport& r);

}  // namespace plumbra::host
