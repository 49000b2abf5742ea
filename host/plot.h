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

std::string loudnessPlotSvg(const std::string& title, const std::vector<PlotSeries>& series, double stepSeconds);

}  // namespace plumbra::host
