// The meters of a render, one line per 100 ms of programme: written as JSON
// lines, summarised per band for the report and drawn in the plot's band panel.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/meters.h"

namespace plumbra::host {

// One band's gain over a render (dB, from the lines' gains: the mean of each
// line's lowest and highest) and its gate.
struct BandSummary {
    int band = 0;
    double medianDb = 0, p95Db = 0;  // nearest-rank percentiles over the lines
    double largestChangeDb = 0;      // largest difference between successive lines, either way
    double gateClosedPercent = 0;    // lines whose gate reads below kGateClosedBelow
};

class MeterLog {
public:
    // Frames per line at `rate`: a tenth of a second, at least one frame.
    static int lineFrames(int rate) { return rate / 10 > 0 ? rate / 10 : 1; }

    explicit MeterLog(int rate) : rate_(rate) {}
    // A line for a block of input that ends `inputFrames` into the programme.
    void add(int64_t inputFrames, const MeterSnapshot& snapshot);

    size_t lines() const { return times_.size(); }
    double seconds(size_t line) const { return times_[line]; }
    float value(size_t line, int meter) const { return values_[line][static_cast<size_t>(meter)]; }
    // The band gain the summary and the plot use: the mean of the line's low and high, dB.
    double bandGainDb(size_t line, int band) const;

    // {"t_s": ..., "<symbol>": ..., ...} per line, meters in table order.
    std::string jsonLines() const;
    std::vector<BandSummary> summary() const;

private:
    int rate_;
    std::vector<double> times_;
    std::vector<std::array<float, kNumMeters>> values_;
};

}  // namespace plumbra::host
