// The live engine's real-time side.
#include "host/live/live_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "dsp/control_table.h"
#include "host/live/backup_files.h"

namespace plumbra::host::live {

namespace {

int64_t wallNanos() noexcept
{
    // clock_gettime through the vDSO: no system call.
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool allFinite(const float* x, int n) noexcept
{
    bool ok = true;
    for (int i = 0; i < n; ++i) ok &= std::isfinite(x[i]);
    return ok;
}

}  // namespace

LiveEngine::LiveEngine(const LiveSettings& settings)
    : settings_(settings)
    , controls_(4 * kNumControls * 16)
    , events_(1024)
    , output_(1u << 19)
    , callbackNanos_(1u << 16)
{
    for (auto* v : {&programme_, &backup_, &backupLeft_, &backupRight_, &input_, &scratchOut_[0], &scratchOut_[1]})
        v->assign(kBlock, 0.0f);
}

LiveEngine::~LiveEngine() = default;

void LiveEngine::prepare(int rate)
{
    if (prepared()) return;
    rate_ = rate;
    engine_ = std::make_unique<Engine>(rate);
    for (int i = 0; i < kNumControls && i < static_cast<int>(initialControls_.size()); ++i)
        engine_->setControl(i, initialControls_[static_cast<size_t>(i)]);
    threshold_ = std::pow(10.0f, settings_.silenceThresholdDb / 20.0f);
    auto frames = [rate](double s) { return std::max<int64_t>(1, static_cast<int64_t>(std::llround(s * rate))); };
    silenceFrames_ = frames(settings_.silenceSeconds);
    failbackFrames_ = frames(settings_.failbackSeconds);
    holdFrames_ =
        std::min(silenceFrames_, frames(1.0));  // pauses shorter than this do not interrupt the programme's return
    fadeFrames_ = frames(settings_.crossfadeSeconds);
    recoveryWindowFrames_ = frames(settings_.recoveryWindowSeconds);
    safeFrames_ = frames(settings_.safeRetrySeconds);
    programmeQuiet_ = 0;
    backupQuiet_ = silenceFrames_;  // a backup counts only once it has been heard
    ready_.store(true, std::memory_order_release);
}

int LiveEngine::latency() const
{
    return engine_ ? engine_->latency() : 0;
}

MeterSnapshot LiveEngine::meters() const
{
    return prepared() ? engine_->meters() : MeterSnapshot{};
}

float LiveEngine::control(int index) const
{
    return prepared() ? engine_->control(index) : 0.0f;
}

bool LiveEngine::queueControls(const std::vector<std::pair<int, float>>& values)
{
    std::vector<ControlItem> items;
    for (const auto& [i, v] : values)
        if (i >= 0 && i < kNumControls) items.push_back({i, v});
    items.push_back({kEndOfSet, 0.0f});
    std::lock_guard<std::mutex> lock(controlWriters_);
    return controls_.push(items.data(), items.size());
}

void LiveEngine::note(AudioEventType type) noexcept
{
    events_.push(AudioEvent{type, wallNanos(), frame_});  // a full ring drops it: the audio never waits
}

void LiveEngine::xrun() noexcept
{
    // Counted only: a device may report xruns from another thread than the
    // audio's, and the event ring has one producer, the audio thread.
    xruns_.fetch_add(1, std::memory_order_relaxed);
}

void LiveEngine::process(const devices::Period& p) noexcept
{
    const auto begun = std::chrono::steady_clock::now();
    if (const uint64_t x = xruns_.load(std::memory_order_relaxed); x != xrunsNoted_) {
        xrunsNoted_ = x;
        note(AudioEventType::kXrun);
    }
    if (!ready_.load(std::memory_order_acquire)) {
        for (float* out : p.out)
            if (out) std::fill(out, out + p.frames, 0.0f);
        periods_.fetch_add(1, std::memory_order_release);
        return;
    }
    // The backup ports when they carry a feed, else the files, else none.
    const bool backupPorts = p.backupConnected && p.in[devices::kBackupLeft];
    BackupFiles* const files = backupFiles_.load(std::memory_order_acquire);
    const bool backupFeed = backupPorts || files;
    for (int offset = 0; offset < p.frames; offset += kBlock)
        runBlock(p, offset, std::min(kBlock, p.frames - offset), files, backupFeed);
    frames_.store(static_cast<uint64_t>(frame_), std::memory_order_release);
    periods_.fetch_add(1, std::memory_order_release);
    const auto spent = std::chrono::steady_clock::now() - begun;
    callbackNanos_.push(static_cast<uint32_t>(
        std::min<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count(), UINT32_MAX)));
}

void LiveEngine::runBlock(const devices::Period& p, int offset, int n, BackupFiles* files, bool backupFeed) noexcept
{
    // Controls first: whatever arrived since the last block, together.
    ControlItem item;
    while (controls_.pop(item)) {
        if (item.index == kEndOfSet)
            setsApplied_.fetch_add(1, std::memory_order_release);
        else
            engine_->setControl(item.index, item.value);
    }

    // The programme: the mean of both channels as render takes it, or the left alone.
    const float* l = p.in[devices::kProgrammeLeft];
    const float* r = p.programmeRightConnected ? p.in[devices::kProgrammeRight] : nullptr;
    float* prog = programme_.data();
    for (int i = 0; i < n; ++i) prog[i] = l ? (r ? (l[offset + i] + r[offset + i]) * 0.5f : l[offset + i]) : 0.0f;

    float* bk = backup_.data();
    if (p.backupConnected && p.in[devices::kBackupLeft]) {
        const float* bl = p.in[devices::kBackupLeft] + offset;
        const float* br = p.in[devices::kBackupRight] ? p.in[devices::kBackupRight] + offset : nullptr;
        for (int i = 0; i < n; ++i) bk[i] = br ? (bl[i] + br[i]) * 0.5f : bl[i];
    } else if (files) {
        files->read(backupLeft_.data(), backupRight_.data(), n);
        for (int i = 0; i < n; ++i) bk[i] = (backupLeft_[i] + backupRight_[i]) * 0.5f;
    } else {
        std::fill(bk, bk + n, 0.0f);
    }

    track(n, backupFeed);

    // What goes in: the programme, the backup, or the crossfade between them.
    float* in = input_.data();
    const float target = toBackup_ ? 1.0f : 0.0f, step = 1.0f / static_cast<float>(fadeFrames_);
    if (fade_ == target) {
        std::copy(toBackup_ ? bk : prog, (toBackup_ ? bk : prog) + n, in);
    } else {
        for (int i = 0; i < n; ++i) {
            fade_ = toBackup_ ? std::min(1.0f, fade_ + step) : std::max(0.0f, fade_ - step);
            in[i] = prog[i] * (1.0f - fade_) + bk[i] * fade_;
        }
    }

    float* outs[2];
    for (int c = 0; c < 2; ++c) outs[c] = p.out[c] ? p.out[c] + offset : scratchOut_[c].data();

    if (safe_ && frame_ >= safeUntil_) {
        safe_ = false;
        engine_->clear();
        lastBlock_ = 0;
        note(AudioEventType::kProcessorRetry);
    }
    if (safe_) {
        for (int i = 0; i < n; ++i) {
            const float x = std::isfinite(in[i]) ? std::clamp(in[i] * settings_.safeGain, -1.0f, 1.0f) : 0.0f;
            outs[0][i] = x;
            outs[1][i] = x;
        }
    } else {
        float* ins[2] = {in, in};  // the second input is unused
        engine_->process(ins, outs, n);
        const uint64_t block = engine_->meters().block;
        if (!allFinite(outs[0], n) || !allFinite(outs[1], n)) {
            std::fill(outs[0], outs[0] + n, 0.0f);
            std::fill(outs[1], outs[1] + n, 0.0f);
            engine_->clear();
            recovered();
            lastBlock_ = 0;
        } else {
            // The processor clears itself when its state turns non-finite: its block count starts again.
            if (block <= lastBlock_) recovered();
            lastBlock_ = block;
        }
    }
    onAir_.store(static_cast<int>(safe_       ? OnAir::kSafe
                                  : toBackup_ ? OnAir::kBackup
                                              : OnAir::kProgramme),
                 std::memory_order_relaxed);

    // The loudness thread's copy; dropped (and counted) when it lags.
    if (output_.room() >= static_cast<size_t>(n)) {
        OutputFrame f[64];
        for (int i = 0; i < n; i += 64) {
            const int m = std::min(64, n - i);
            for (int k = 0; k < m; ++k) f[k] = {outs[0][i + k], outs[1][i + k], prog[i + k]};
            output_.push(f, static_cast<size_t>(m));
        }
    } else {
        droppedOutput_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    frame_ += n;
}

void LiveEngine::track(int n, bool backupFeed) noexcept
{
    // Frames since each source was last at or above the threshold.
    const float* prog = programme_.data();
    const float* bk = backup_.data();
    int lastLoud = -1, lastBackupLoud = -1;
    for (int i = 0; i < n; ++i) {
        if (std::fabs(prog[i]) >= threshold_) lastLoud = i;
        if (std::fabs(bk[i]) >= threshold_) lastBackupLoud = i;
    }
    const int64_t before = programmeQuiet_;
    programmeQuiet_ = lastLoud >= 0 ? n - 1 - lastLoud : programmeQuiet_ + n;
    backupQuiet_ = !backupFeed ? silenceFrames_ : lastBackupLoud >= 0 ? n - 1 - lastBackupLoud : backupQuiet_ + n;
    const bool backupSounding = backupFeed && backupQuiet_ < silenceFrames_;

    // The programme's return: sounding without a pause as long as the hold.
    if (programmeQuiet_ >= holdFrames_)
        programmeBack_ = 0;
    else
        programmeBack_ += before >= holdFrames_ ? n - programmeQuiet_ : n;

    if (!silence_ && programmeQuiet_ >= silenceFrames_) {
        silence_ = true;
        note(AudioEventType::kSilenceStart);
    } else if (silence_ && programmeQuiet_ < silenceFrames_) {
        silence_ = false;
        note(AudioEventType::kSilenceEnd);
    }
    if (!toBackup_ && silence_ && backupSounding) {
        toBackup_ = true;
        note(AudioEventType::kFailover);
    } else if (toBackup_ && programmeBack_ >= failbackFrames_) {
        toBackup_ = false;
        note(AudioEventType::kFailback);
    } else if (toBackup_ && !backupSounding) {
        toBackup_ = false;
        note(AudioEventType::kBackupSilent);
    }
}

void LiveEngine::recovered() noexcept
{
    recoveries_.fetch_add(1, std::memory_order_relaxed);
    note(AudioEventType::kRecovery);
    // The recent recoveries' frames: more than the allowed number within the window sends the processor off air.
    recoveryFrames_[static_cast<size_t>(recoveryCount_ % static_cast<int>(recoveryFrames_.size()))] = frame_;
    ++recoveryCount_;
    int within = 0;
    for (int k = 0; k < std::min<int>(recoveryCount_, static_cast<int>(recoveryFrames_.size())); ++k)
        within += frame_ - recoveryFrames_[static_cast<size_t>(k)] < recoveryWindowFrames_ ? 1 : 0;
    if (within > settings_.maxRecoveries && !safe_) {
        safe_ = true;
        safeUntil_ = frame_ + safeFrames_;
        recoveryCount_ = 0;
        note(AudioEventType::kSafeMode);
    }
}

}  // namespace plumbra::host::live
