// The audio side of plumbra live: one call per device period, on the device's
// real-time thread. It mixes the feed as render does, watches the programme and
// the backup for silence, crossfades to the backup and back, runs the processor
// in blocks, guards it, and hands everything it has to say to other threads
// through lock-free rings. It allocates nothing, takes no lock and makes no
// system call once prepared.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "dsp/meters.h"
#include "host/devices/device.h"
#include "host/engine/engine.h"
#include "host/live/spsc.h"

namespace plumbra::host::live {

class BackupFiles;

struct LiveSettings {
    float silenceThresholdDb = -45.0f;
    double silenceSeconds = 15.0;
    double failbackSeconds = 5.0;
    double crossfadeSeconds = 0.1;
    // More than `maxRecoveries` processor recoveries within `recoveryWindowSeconds`
    // put the programme through at `safeGain` until `safeRetrySeconds` have passed.
    int maxRecoveries = 3;
    double recoveryWindowSeconds = 10.0;
    double safeRetrySeconds = 30.0;
    float safeGain = 0.5f;  // -6 dB, the sum clipped to full scale
};

enum class AudioEventType : uint8_t {
    kXrun,
    kSilenceStart,    // the programme stayed below the threshold for the silence time
    kSilenceEnd,      // it is above the threshold again
    kFailover,        // the backup goes on air
    kFailback,        // the programme returns
    kBackupSilent,    // the backup fell silent on air: the programme returns
    kRecovery,        // the processor's output or state turned non-finite and was cleared
    kSafeMode,        // too many recoveries: the programme passes at a safe level
    kProcessorRetry,  // the processor is back on air after the safe period
};

struct AudioEvent {
    AudioEventType type;
    int64_t timeNs;  // wall clock (UTC) at the period
    int64_t frame;   // frames processed since the start
};

// One frame of what went out, with the programme input, for the loudness thread.
struct OutputFrame {
    float left, right, input;
};

enum class OnAir : int { kProgramme = 0, kBackup = 1, kSafe = 2 };

// "programme", "backup" or "safe", as events and logs name it.
inline const char* onAirName(OnAir a)
{
    return a == OnAir::kBackup ? "backup" : a == OnAir::kSafe ? "safe" : "programme";
}

class LiveEngine : public devices::Callback {
public:
    static constexpr int kBlock = 2048;  // longest processor call; longer periods are split

    explicit LiveEngine(const LiveSettings& settings);
    ~LiveEngine() override;

    // The controls (table order) the processor starts with; before prepare().
    void setInitialControls(std::vector<float> controls) { initialControls_ = std::move(controls); }
    // Non-real-time, while no device calls process(): a processor at `rate`.
    // Until then every period comes out silent. Once prepared, the engine keeps
    // its rate: later calls change nothing.
    void prepare(int rate) override;
    bool prepared() const { return ready_.load(std::memory_order_acquire); }
    int rate() const { return rate_; }
    int latency() const;
    // The backup from files, used when no backup ports carry a feed; may be null.
    void setBackupFiles(BackupFiles* files) { backupFiles_.store(files, std::memory_order_release); }

    void process(const devices::Period& period) noexcept override;
    void xrun() noexcept override;

    // Any non-real-time thread: control values applied together at the start of
    // a following block. False when the queue is full.
    bool queueControls(const std::vector<std::pair<int, float>>& values);
    // The sets queueControls took that the audio has applied, in order.
    uint64_t controlSetsApplied() const { return setsApplied_.load(std::memory_order_acquire); }

    // Read by other threads.
    SpscRing<AudioEvent>& events() { return events_; }
    SpscRing<OutputFrame>& output() { return output_; }
    SpscRing<uint32_t>& callbackNanos() { return callbackNanos_; }  // time spent in each period
    uint64_t periods() const { return periods_.load(std::memory_order_acquire); }
    uint64_t frames() const { return frames_.load(std::memory_order_acquire); }
    uint64_t xruns() const { return xruns_.load(std::memory_order_relaxed); }
    uint64_t recoveries() const { return recoveries_.load(std::memory_order_relaxed); }
    uint64_t droppedOutput() const { return droppedOutput_.load(std::memory_order_relaxed); }
    OnAir onAir() const { return static_cast<OnAir>(onAir_.load(std::memory_order_relaxed)); }
    MeterSnapshot meters() const;
    float control(int index) const;

private:
    struct ControlItem {
        int index;  // kEndOfSet after the last of a set
        float value;
    };
    static constexpr int kEndOfSet = -1;

    void runBlock(const devices::Period& p, int offset, int n, BackupFiles* files, bool backupFeed) noexcept;
    void track(int n, bool backupFeed) noexcept;
    void note(AudioEventType type) noexcept;
    void recovered() noexcept;

    LiveSettings settings_;
    int rate_ = 0;
    std::unique_ptr<Engine> engine_;
    std::atomic<BackupFiles*> backupFiles_{nullptr};
    std::vector<float> initialControls_;
    std::atomic<bool> ready_{false};

    // Thresholds in frames and linear level, set by prepare().
    float threshold_ = 0.0f;
    int64_t silenceFrames_ = 0, failbackFrames_ = 0, holdFrames_ = 0, fadeFrames_ = 1;
    int64_t recoveryWindowFrames_ = 0, safeFrames_ = 0;

    // Audio thread state.
    std::vector<float> programme_, backup_, backupLeft_, backupRight_, input_, scratchOut_[2];
    int64_t frame_ = 0;
    int64_t programmeQuiet_ = 0;  // frames since the programme was last at or above the threshold
    int64_t backupQuiet_ = 0;
    int64_t programmeBack_ = 0;  // frames the programme has been sounding since its silence
    bool silence_ = false;
    bool toBackup_ = false;  // the crossfade's target
    float fade_ = 0.0f;      // 0: programme, 1: backup
    bool safe_ = false;
    int64_t safeUntil_ = 0;
    uint64_t lastBlock_ = 0;  // the processor's block count after the last block
    std::array<int64_t, 8> recoveryFrames_{};
    int recoveryCount_ = 0;
    uint64_t xrunsNoted_ = 0;

    SpscRing<ControlItem> controls_;
    std::mutex controlWriters_;  // producers only; the audio thread never takes it
    SpscRing<AudioEvent> events_;
    SpscRing<OutputFrame> output_;
    SpscRing<uint32_t> callbackNanos_;

    std::atomic<uint64_t> periods_{0}, frames_{0}, xruns_{0}, recoveries_{0}, droppedOutput_{0}, setsApplied_{0};
    std::atomic<int> onAir_{0};
};

}  // namespace plumbra::host::live
