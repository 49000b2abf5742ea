// The loudness thread and its log.
#include "host/live/loudness_watch.h"

#include <ebur128.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "host/live/event_log.h"

namespace plumbra::host::live {

namespace {

using Clock = std::chrono::steady_clock;

double db(double x)
{
    return x > 0 ? 20.0 * std::log10(x) : -INFINITY;
}

// The input's mean square over its last 400 ms, from the chunks the engine hands over.
class InputLevel {
public:
    explicit InputLevel(int rate)
        : window_(rate * 2 / 5)
    {
    }
    void add(double sumOfSquares, int64_t frames)
    {
        chunks_.emplace_back(sumOfSquares, frames);
        sum_ += sumOfSquares;
        frames_ += frames;
        while (!chunks_.empty() && frames_ - chunks_.front().second >= window_) {
            sum_ -= chunks_.front().first;
            frames_ -= chunks_.front().second;
            chunks_.pop_front();
        }
    }
    // dBFS RMS, NaN before any input.
    double dbfs() const
    {
        return frames_ > 0 ? std::max<double>(kMeterFloorDb, 10.0 * std::log10(std::max(sum_ / frames_, 1e-30))) : NAN;
    }

private:
    int64_t window_;
    std::deque<std::pair<double, int64_t>> chunks_;
    double sum_ = 0.0;
    int64_t frames_ = 0;
};

// Each band's gain over a log interval, from the meter snapshots; their medians at its end.
class BandGains {
public:
    void add(const MeterSnapshot& m)
    {
        if (m.block == lastBlock_) return;
        lastBlock_ = m.block;
        for (int b = 1; b <= kNumBands; ++b)
            gains_[static_cast<size_t>(b - 1)].push_back(0.5f *
                                                         (m.values[static_cast<size_t>(bandMeter(b, kBandGainLow))] +
                                                          m.values[static_cast<size_t>(bandMeter(b, kBandGainHigh))]));
    }
    EventJson takeMedians()
    {
        EventJson out = EventJson::array();
        for (auto& g : gains_) {
            double median = NAN;
            if (!g.empty()) {
                std::nth_element(g.begin(), g.begin() + static_cast<long>(g.size() / 2), g.end());
                median = g[g.size() / 2];
            }
            out.push_back(rounded(median, 2));
            g.clear();
        }
        return out;
    }

private:
    std::array<std::vector<float>, kNumBands> gains_;
    uint64_t lastBlock_ = 0;
};

}  // namespace

Status LoudnessWatch::open(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    if (path_.empty()) return Status::success();
    file_ = std::fopen(path_.c_str(), "a");
    if (!file_) return Status::fail(kExitOutput, "cannot open loudness log " + path_ + ": " + std::strerror(errno));
    return Status::success();
}

void LoudnessWatch::reopen()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    std::fclose(file_);
    file_ = std::fopen(path_.c_str(), "a");
}

void LoudnessWatch::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

remote::LoudnessReading LoudnessWatch::reading() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reading_;
}

void LoudnessWatch::writeLine(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    std::fputs((line + "\n").c_str(), file_);
    std::fflush(file_);
}

void LoudnessWatch::run(const std::atomic<bool>& stopping)
{
    const int rate = engine_.rate();
    ebur128_state* st = ebur128_init(2, static_cast<unsigned>(rate),
                                     EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK |
                                         EBUR128_MODE_HISTOGRAM);
    if (!st) return;
    std::vector<OutputFrame> frames(4096);
    std::vector<float> stereo(2 * frames.size());
    InputLevel input(rate);
    BandGains gains;
    int64_t intervalFrames = 0;
    double intervalPeak = 0.0, integrated = NAN;
    auto lastIntegrated = Clock::now();
    const auto logFrames = static_cast<int64_t>(logSeconds_ * rate);

    for (bool going = true; going;) {
        going = !stopping.load();
        for (size_t n; (n = engine_.output().pop(frames.data(), frames.size())) > 0;) {
            double sum = 0.0;
            for (size_t i = 0; i < n; ++i) {
                stereo[2 * i] = frames[i].left;
                stereo[2 * i + 1] = frames[i].right;
                sum += static_cast<double>(frames[i].input) * frames[i].input;
            }
            ebur128_add_frames_float(st, stereo.data(), n);
            for (unsigned c = 0; c < 2; ++c) {
                double tp = 0.0;
                if (ebur128_prev_true_peak(st, c, &tp) == EBUR128_SUCCESS) intervalPeak = std::max(intervalPeak, tp);
            }
            input.add(sum, static_cast<int64_t>(n));
            intervalFrames += static_cast<int64_t>(n);
        }
        gains.add(engine_.meters());
        const bool logNow = intervalFrames >= logFrames || (!going && intervalFrames > 0);
        if (Clock::now() - lastIntegrated >= std::chrono::seconds(1) || logNow || !going) {
            ebur128_loudness_global(st, &integrated);
            lastIntegrated = Clock::now();
        }
        remote::LoudnessReading r{NAN, NAN, integrated, db(intervalPeak), input.dbfs()};
        ebur128_loudness_momentary(st, &r.momentary);
        ebur128_loudness_shortterm(st, &r.shortTerm);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reading_ = r;
        }
        if (logNow) {
            const EventJson line = {{"time", utcTimestamp(nowNanos())},
                                    {"momentary_lufs", rounded(r.momentary, 2)},
                                    {"short_term_lufs", rounded(r.shortTerm, 2)},
                                    {"integrated_lufs", rounded(r.integrated, 2)},
                                    {"true_peak_dbtp", rounded(r.truePeak, 2)},
                                    {"input_dbfs", rounded(r.inputLevel, 2)},
                                    {"band_gain_median_db", gains.takeMedians()},
                                    {"source", onAirName(engine_.onAir())},
                                    {"seconds", rounded(static_cast<double>(intervalFrames) / rate, 3)}};
            writeLine(jsonLine(line));
            intervalFrames = 0;
            intervalPeak = 0.0;
        }
        if (going) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ebur128_destroy(&st);
}

}  // namespace plumbra::host::live
