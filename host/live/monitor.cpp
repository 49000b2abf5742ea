// Engine reports to events, callback times to figures, and the watchdog.
#include "host/live/monitor.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace plumbra::host::live {

using Clock = std::chrono::steady_clock;

void CallbackTimes::add(uint32_t nanos)
{
    bins_[std::min<size_t>(nanos / 1000, bins_.size() - 1)]++;
    ++count_;
    total_ += nanos;
    largest_ = std::max(largest_, nanos);
}

double CallbackTimes::quantileUs(double p) const
{
    if (count_ == 0) return NAN;
    const auto rank = static_cast<uint64_t>(std::ceil(p * static_cast<double>(count_)));
    uint64_t seen = 0;
    for (size_t i = 0; i < bins_.size(); ++i)
        if ((seen += bins_[i]) >= std::max<uint64_t>(rank, 1)) return static_cast<double>(i) + 0.5;
    return NAN;
}

void Monitor::run(const std::atomic<bool>& stopping, const std::atomic<bool>& deviceDown)
{
    lastPeriods_ = engine_.periods();
    lastAdvance_ = Clock::now();
    lastPing_ = Clock::now() - std::chrono::hours(1);
    std::vector<uint32_t> nanos(4096);
    for (bool going = true; going;) {
        going = !stopping.load();
        reportEvents();
        for (size_t n; (n = engine_.callbackNanos().pop(nanos.data(), nanos.size())) > 0;)
            for (size_t i = 0; i < n; ++i) times_.add(nanos[i]);
        watch(deviceDown.load());
        if (going) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Monitor::reportEvents()
{
    AudioEvent e;
    while (engine_.events().pop(e)) {
        EventJson d = {{"frame", e.frame}, {"seconds", rounded(static_cast<double>(e.frame) / engine_.rate(), 3)}};
        const char* name = "";
        switch (e.type) {
        case AudioEventType::kXrun:
            name = "xrun";
            d["count"] = engine_.xruns();
            break;
        case AudioEventType::kSilenceStart:
            name = "silence";
            d["threshold_dbfs"] = rounded(settings_.silenceThresholdDb, 1);
            break;
        case AudioEventType::kSilenceEnd: name = "silence_end"; break;
        case AudioEventType::kFailover:
            name = "failover";
            d["source"] = "backup";
            break;
        case AudioEventType::kFailback:
            name = "failback";
            d["source"] = "programme";
            break;
        case AudioEventType::kBackupSilent:
            name = "failback";
            d["source"] = "programme";
            d["reason"] = "backup silent";
            break;
        case AudioEventType::kRecovery: name = "processor_recovery"; break;
        case AudioEventType::kSafeMode:
            name = "processor_bypassed";
            d["gain_db"] = rounded(20.0 * std::log10(settings_.safeGain), 1);
            d["retry_seconds"] = rounded(settings_.safeRetrySeconds, 0);
            break;
        case AudioEventType::kProcessorRetry: name = "processor_retry"; break;
        }
        log_.emit(name, d, e.timeNs);
    }
}

// The watchdog: the callback must advance while the device is up.
void Monitor::watch(bool deviceDown)
{
    const auto now = Clock::now();
    const uint64_t periods = engine_.periods();
    if (periods != lastPeriods_ || deviceDown) {
        lastPeriods_ = periods;
        lastAdvance_ = now;
        if (stalled_) {
            stalled_ = false;
            log_.emit("audio_resumed");
        }
    } else if (!stalled_ && now - lastAdvance_ > std::chrono::seconds(2)) {
        stalled_ = true;
        log_.emit("audio_stalled", {{"seconds", 2}});
        notifier_.send("STATUS=audio stalled");
    }
    if (notifier_.enabled() && !stalled_ && now - lastPing_ >= notifier_.interval()) {
        notifier_.send("WATCHDOG=1");
        lastPing_ = now;
    }
}

}  // namespace plumbra::host::live
