// The live engine's reports, turned into events by an ordinary thread: what the
// audio thread noted (xruns, silence, failover, recoveries), the time each
// callback took, and the watchdog, which hears from us only while the callback
// advances.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "host/live/event_log.h"
#include "host/live/live_engine.h"
#include "host/live/notifier.h"

namespace plumbra::host::live {

// Callback times in microsecond bins up to 100 ms; longer ones count in the last.
class CallbackTimes {
public:
    CallbackTimes()
        : bins_(100001, 0)
    {
    }
    void add(uint32_t nanos);
    double quantileUs(double p) const;
    double largestUs() const { return largest_ / 1000.0; }
    uint64_t count() const { return count_; }
    double totalSeconds() const { return static_cast<double>(total_) * 1e-9; }

private:
    std::vector<uint64_t> bins_;
    uint64_t count_ = 0, total_ = 0;
    uint32_t largest_ = 0;
};

class Monitor {
public:
    Monitor(LiveEngine& engine, EventLog& log, const Notifier& notifier, const LiveSettings& settings)
        : engine_(engine)
        , log_(log)
        , notifier_(notifier)
        , settings_(settings)
    {
    }
    // Until `stopping` is set, then once more to drain what is left. While
    // `deviceDown` is set the callback is not expected to advance.
    void run(const std::atomic<bool>& stopping, const std::atomic<bool>& deviceDown);
    // Read once run() has returned.
    const CallbackTimes& times() const { return times_; }

private:
    void reportEvents();
    void watch(bool deviceDown);

    LiveEngine& engine_;
    EventLog& log_;
    const Notifier& notifier_;
    LiveSettings settings_;
    CallbackTimes times_;
    uint64_t lastPeriods_ = 0;
    std::chrono::steady_clock::time_point lastAdvance_, lastPing_;
    bool stalled_ = false;
};

}  // namespace plumbra::host::live
