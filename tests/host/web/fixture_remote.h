// A stand-in for the live engine, for the web server's tests: the real
// processor (host::Engine) fed a generated programme, either by a thread at
// real-time pace or block by block by the test, seen through remote::Remote
// like the live engine. No audio device is involved.
#pragma once

#include <array>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dsp/control_table.h"
#include "host/engine/engine.h"
#include "host/remote/remote.h"

namespace plumbra::webtest {

class FixtureRemote : public host::remote::Remote {
public:
    static constexpr int kRate = 48000;
    static constexpr int kBlock = 128;

    FixtureRemote();
    ~FixtureRemote() override;

    // Runs the processor on a thread of its own, one block per block's duration; when
    // `record` is given, its output goes there as raw 32-bit float stereo, interleaved.
    void start(std::FILE* record = nullptr);
    void stop();
    // Without the thread: applies what is pending, then processes one block of the
    // programme; returns both outputs, interleaved.
    std::vector<float> step();

    host::remote::LiveStatus status() const override;
    MeterSnapshot meters() const override { return board_.read(); }
    host::remote::LoudnessReading loudness() const override;
    std::vector<float> controls() const override;
    bool applyControls(const std::vector<std::pair<int, float>>& values, const std::string& preset) override;
    std::vector<host::remote::EventRecord> eventsSince(uint64_t since) const override;
    void logEvent(const std::string& type, const nlohmann::ordered_json& detail) override;
    // The controls the processor runs with (what was applied by the last block).
    std::vector<float> appliedControls() const;

    uint64_t blocks() const { return blocks_.load(); }
    // Time the thread spent processing each block since the last call, in microseconds:
    // 50th and 99.9th percentiles and the largest, and the number of blocks.
    struct BlockTimes {
        double p50, p999, max;
        uint64_t count;
    };
    BlockTimes takeBlockTimes();

private:
    void processBlock(std::vector<float>* out);

    host::Engine engine_{kRate};
    MeterBoard board_;
    std::array<std::atomic<float>, kNumControls> applied_{};
    std::atomic<double> momentary_, inputLevel_, outputPeak_;
    std::atomic<uint64_t> blocks_{0}, xruns_{0};
    std::atomic<bool> running_{false};
    std::thread thread_;
    static constexpr int kTimeBuckets = 20000;  // microseconds
    std::array<std::atomic<uint32_t>, kTimeBuckets> blockTimes_{};
    uint64_t sample_ = 0;
    uint32_t noise_ = 1;
    double inSquares_ = 0.0, outSquares_ = 0.0;

    mutable std::mutex mutex_;  // guards what follows (never taken by the block loop but with try_lock)
    std::vector<std::pair<int, float>> pending_;
    std::vector<float> accepted_;
    uint64_t writesAccepted_ = 0, writesApplied_ = 0;
    std::string preset_;
    std::deque<host::remote::EventRecord> events_;
    uint64_t nextSeq_ = 1;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace plumbra::webtest
