// A self-contained SVG chart of short-term loudness over time, input against
// output, with axes, grid, legend and the integrated loudness of each.
#pragma once

#include <string>
#include <vector>

namespace plumbra::host {

struct PlotSeries {
    std::string label;
    std::vector<float> lufs;  // one value per step; -inf where there is no measurement
    double integrated;        // drawn as a dashed line when finite
    std::string colour;
};

class MeterLog;

// With `bands`, a second panel under the loudness one shows the twelve bands'
// gain over time as a heat map with its dB scale; without, the loudness panel alone.
std::string loudnessPlotSvg(const std::string& title, const std::vector<PlotSeries>& series, double stepSeconds,
                            const MeterLog* bands = nullptr);

}  // namespace plumbra::host
