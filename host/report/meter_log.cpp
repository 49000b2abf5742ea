// Collecting, writing and summarising the meters of a render.
#include "host/report/meter_log.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace plumbra::host {

namespace {

// The shortest text that reads back to the same number; null when not finite.
template <class T>
std::string shortest(T v)
{
    if (!std::isfinite(v)) return "null";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// The value at rank ceil(p * n) of the sorted values (1-based), p in 0..1.
double nearestRank(const std::vector<double>& sorted, double p)
{
    const auto n = sorted.size();
    const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(n)));
    return sorted[std::clamp<size_t>(rank, 1, n) - 1];
}

}  // namespace

void MeterLog::add(int64_t inputFrames, const MeterSnapshot& snapshot)
{
    times_.push_back(static_cast<double>(inputFrames) / rate_);
    values_.push_back(snapshot.values);
}

double MeterLog::bandGainDb(size_t line, int band) const
{
    return 0.5 * (static_cast<double>(value(line, bandMeter(band, kBandGainLow))) +
                  static_cast<double>(value(line, bandMeter(band, kBandGainHigh))));
}

std::string MeterLog::jsonLines() const
{
    std::string out;
    for (size_t i = 0; i < lines(); ++i) {
        out += "{\"t_s\": " + shortest(times_[i]);
        for (size_t m = 0; m < kMeterDefinitions.size(); ++m)
            out += ", \"" + std::string(kMeterDefinitions[m].symbolText()) + "\": " + shortest(values_[i][m]);
        out += "}\n";
    }
    return out;
}

std::vector<BandSummary> MeterLog::summary() const
{
    std::vector<BandSummary> bands;
    if (lines() == 0) return bands;
    for (int b = 1; b <= kNumBands; ++b) {
        BandSummary s;
        s.band = b;
        std::vector<double> gains;
        size_t closed = 0;
        for (size_t i = 0; i < lines(); ++i) {
            gains.push_back(bandGainDb(i, b));
            if (i > 0) s.largestChangeDb = std::max(s.largestChangeDb, std::fabs(gains[i] - gains[i - 1]));
            closed += value(i, bandMeter(b, kBandGate)) < kGateClosedBelow ? 1 : 0;
        }
        std::sort(gains.begin(), gains.end());
        s.medianDb = nearestRank(gains, 0.5);
        s.p95Db = nearestRank(gains, 0.95);
        s.gateClosedPercent = 100.0 * static_cast<double>(closed) / static_cast<double>(lines());
        bands.push_back(s);
    }
    return bands;
}

}  // namespace plumbra::host
