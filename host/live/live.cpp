// plumbra live: the session around the live engine. It opens the logs, starts
// the audio, supervises it from the main thread and shuts it down; its threads
// each turn the engine's reports into events and watchdog notices (monitor),
// measure the output's loudness (loudness_watch), wait for signals (signals)
// and draw the terminal view. None of them ever holds up the audio thread.
#include "host/live/live.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "dsp/control_table.h"
#include "host/common/control_text.h"
#include "host/devices/alsa.h"
#include "host/live/backup_files.h"
#include "host/live/event_log.h"
#include "host/live/loudness_watch.h"
#include "host/live/monitor.h"
#include "host/live/notifier.h"
#include "host/live/signals.h"
#include "host/live/terminal_view.h"

namespace plumbra::host::live {

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

class LiveSession final : public Remote {
public:
    explicit LiveSession(const LiveOptions& o)
        : o_(o)
        , engine_(o.settings)
        , log_(eventLogPath(o), o.onEvent)
        , monitor_(engine_, log_, notifier_, o.settings)
        , loudness_(engine_, o.logInterval)
    {
    }

    Status run();

    remote::LiveStatus status() const override;
    MeterSnapshot meters() const override { return engine_.meters(); }
    remote::LoudnessReading loudness() const override { return loudness_.reading(); }
    std::vector<float> controls() const override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted_;
    }
    bool applyControls(const std::vector<std::pair<int, float>>& values, const std::string& preset) override;
    std::vector<remote::EventRecord> eventsSince(uint64_t since) const override { return log_.since(since); }
    void logEvent(const std::string& type, const nlohmann::ordered_json& detail) override { log_.emit(type, detail); }

private:
    static std::string eventLogPath(const LiveOptions& o)
    {
        if (!o.eventLog.empty()) return o.eventLog;
        return isatty(2) ? "" : "-";
    }

    // The session's four parts, in order.
    Status open();
    Status startAudio();
    Status supervise();
    void shutDown(const Status& outcome);

    Result<std::vector<float>> loadControls() const;
    Status startDevice();
    void startThreads();
    void onSignal(int sig);
    void viewLoop();
    void reloadOrHangUp();
    void reload();
    Status keepDevice(Clock::time_point& lastTry);
    void requestStop(const std::string& reason);
    void wait(std::chrono::duration<double> d);  // until stopped, a reload is wanted, or `d` has passed

    LiveOptions o_;
    LiveEngine engine_;
    EventLog log_;
    Notifier notifier_;
    Monitor monitor_;
    LoudnessWatch loudness_;
    std::optional<SignalWatch> signals_;
    std::unique_ptr<devices::Device> device_;
    std::unique_ptr<BackupFiles> backup_;
    std::thread monitorThread_, loudnessThread_, viewThread_;
    std::vector<std::function<void()>> detach_;
    Clock::time_point started_ = Clock::now();
    double cpuAtStart_ = 0.0;
    int rate_ = 0;
    bool viewShown_ = false;

    mutable std::mutex mutex_;  // what follows, up to the next mutex
    std::string presetName_, audio_;
    int period_ = 0;
    std::vector<float> accepted_;  // every control's latest accepted value
    uint64_t writesAccepted_ = 0;
    std::mutex writes_;  // one writer at a time: the queue's order is the order accepted

    std::mutex stopMutex_;  // the reason, and waking the main thread
    std::condition_variable stopWake_;
    std::string stopReason_;
    std::atomic<bool> stopping_{false}, reloadWanted_{false}, deviceDown_{false}, terminalGone_{false};
};

remote::LiveStatus LiveSession::status() const
{
    remote::LiveStatus s;
    s.source = onAirName(engine_.onAir());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s.preset = presetName_;
        s.audio = audio_;
        s.period = period_;
        s.writesAccepted = writesAccepted_;
    }
    s.uptimeSeconds = std::chrono::duration<double>(Clock::now() - started_).count();
    s.xruns = engine_.xruns();
    s.recoveries = engine_.recoveries();
    s.rate = engine_.rate();
    s.latency = engine_.latency();
    s.writesApplied = engine_.controlSetsApplied();
    return s;
}

// Accepted once queued: from then on controls() shows the values, whether or
// not the audio has taken them up yet.
bool LiveSession::applyControls(const std::vector<std::pair<int, float>>& values, const std::string& preset)
{
    std::lock_guard<std::mutex> order(writes_);
    if (!engine_.queueControls(values)) {
        log_.emit("controls_dropped", {{"reason", "queue full"}});
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [i, v] : values)
        if (i >= 0 && i < static_cast<int>(accepted_.size())) accepted_[static_cast<size_t>(i)] = v;
    if (!preset.empty()) presetName_ = preset;
    ++writesAccepted_;
    return true;
}

void LiveSession::requestStop(const std::string& reason)
{
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopReason_.empty()) stopReason_ = reason;
    stopping_ = true;
    stopWake_.notify_all();
}

void LiveSession::wait(std::chrono::duration<double> d)
{
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopWake_.wait_for(lock, d, [this] { return stopping_.load() || reloadWanted_.load(); });
}

// The preset (every control at its default, then the file's lines), then the --set values.
Result<std::vector<float>> LiveSession::loadControls() const
{
    std::vector<float> v;
    for (const ControlSpec& c : kControlSpecs) v.push_back(c.init);
    auto settings = collectSettings(o_.preset.empty() ? std::vector<std::string>{} : std::vector{o_.preset}, o_.sets);
    if (!settings.ok()) return settings.status();
    for (const ControlSetting& s : settings.value()) v[static_cast<size_t>(s.index)] = s.value;
    return v;
}

void LiveSession::reload()
{
    log_.reopen();
    loudness_.reopen();
    if (o_.preset.empty()) {
        log_.emit("configuration_reloaded", {{"preset", nullptr}, {"logs_reopened", true}});
        return;
    }
    auto values = loadControls();
    if (!values.ok()) {
        log_.emit("configuration_error", {{"reason", values.status().reason}});
        return;
    }
    std::vector<std::pair<int, float>> all;
    for (int i = 0; i < kNumControls; ++i) all.emplace_back(i, values.value()[static_cast<size_t>(i)]);
    applyControls(all, o_.preset);
    log_.emit("configuration_reloaded", {{"preset", o_.preset}, {"logs_reopened", true}});
}

// The controls, the signals and the logs: nothing of the audio yet.
Status LiveSession::open()
{
    auto controls = loadControls();
    if (!controls.ok()) return controls.status();
    presetName_ = o_.preset;
    accepted_ = controls.value();
    engine_.setInitialControls(controls.value());
    // Signals go to the signal thread alone: every thread started from here on inherits the mask.
    signals_.emplace();
    if (Status s = log_.open(); !s.ok()) return s;
    return loudness_.open(o_.loudnessLog);
}

// The device: ALSA's rate is the one asked for; JACK's is known once its client
// is open (the device calls prepare()). The processor is ready before the first period.
Status LiveSession::startDevice()
{
    const bool alsa = !o_.alsaIn.empty();
    device_ = alsa ? devices::makeAlsaDevice(o_.alsaIn, o_.alsaOut, o_.alsaRate, o_.alsaPeriod)
                   : devices::makeJackDevice(o_.jack);
    if (alsa) engine_.prepare(o_.alsaRate);
    if (Status started = device_->start(engine_); !started.ok()) return started;
    rate_ = device_->rate();
    if (rate_ != engine_.rate()) {
        device_->stop();
        return Status::fail(kExitInput, device_->describe() + " runs at " + std::to_string(rate_) + " Hz, not " +
                                            std::to_string(engine_.rate()) + " Hz");
    }
    if (!o_.backup.empty()) {
        auto b = BackupFiles::open(o_.backup, rate_);
        if (!b.ok()) {
            device_->stop();
            return b.status();
        }
        backup_ = std::move(b.value());
        backup_->start();
        engine_.setBackupFiles(backup_.get());
    }
    device_->setProcessingLatency(engine_.latency());
    return Status::success();
}

// On air: the device, the start event and readiness, then the threads and the remote controls.
Status LiveSession::startAudio()
{
    if (Status s = startDevice(); !s.ok()) return s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        audio_ = device_->describe();
        period_ = device_->period();
    }
    started_ = Clock::now();
    cpuAtStart_ = cpuSeconds();
    log_.emit("start", {{"audio", audio_},
                        {"rate", rate_},
                        {"period", period_},
                        {"latency", engine_.latency()},
                        {"preset", o_.preset.empty() ? EventJson(nullptr) : EventJson(o_.preset)},
                        {"pid", getpid()}});
    notifier_.send("READY=1\nSTATUS=on air: " + audio_ + ", " + std::to_string(rate_) + " Hz, " +
                   std::to_string(period_) + " frames per period");
    startThreads();
    return Status::success();
}

void LiveSession::startThreads()
{
    signals_->start([this](int sig) { onSignal(sig); });
    monitorThread_ = std::thread([this] { monitor_.run(stopping_, deviceDown_); });
    loudnessThread_ = std::thread([this] { loudness_.run(stopping_); });
    viewShown_ = !o_.quiet && isatty(1);
    if (viewShown_) viewThread_ = std::thread([this] { viewLoop(); });
    for (const auto& attach : o_.attach)
        if (auto stop = attach(*this)) detach_.push_back(std::move(stop));
}

void LiveSession::onSignal(int sig)
{
    if (sig != SIGHUP) return requestStop(signalName(sig));
    std::lock_guard<std::mutex> lock(stopMutex_);
    reloadWanted_ = true;
    stopWake_.notify_all();
}

// The view, until the session stops or its terminal goes away, which stops the session.
void LiveSession::viewLoop()
{
    TerminalView view(*this, stdout);
    while (!stopping_.load()) {
        if (view.hungUp()) {
            terminalGone_ = true;
            requestStop("terminal_hangup");
            break;
        }
        view.draw();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    view.close();
}

// SIGHUP: a reload, unless it is the view's terminal hanging up (the view finds
// that out within a frame), which stops the session as SIGTERM would.
void LiveSession::reloadOrHangUp()
{
    if (viewShown_) {
        for (int i = 0; i < 5 && !terminalGone_.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (terminalGone_.load() || stopping_.load()) return;
    }
    reload();
}

// A lost device is stopped and tried again every 2 s; it must come back at the same rate.
Status LiveSession::keepDevice(Clock::time_point& lastTry)
{
    if (!deviceDown_.load() && !device_->alive()) {
        deviceDown_ = true;
        device_->stop();
        log_.emit("device_lost", {{"audio", audio_}});
        notifier_.send("STATUS=audio device lost; retrying");
        lastTry = Clock::now();
    }
    if (!deviceDown_.load() || Clock::now() - lastTry < std::chrono::seconds(2)) return Status::success();
    lastTry = Clock::now();
    if (!device_->start(engine_).ok()) return Status::success();
    if (device_->rate() != rate_) {
        device_->stop();
        log_.emit("device_rate_changed", {{"rate", device_->rate()}});
        return Status::fail(kExitInput, "the audio device came back at " + std::to_string(device_->rate()) +
                                            " Hz instead of " + std::to_string(rate_) + " Hz");
    }
    device_->setProcessingLatency(engine_.latency());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        period_ = device_->period();
    }
    deviceDown_ = false;
    log_.emit("device_regained", {{"audio", audio_}, {"period", period_}});
    notifier_.send("STATUS=on air: " + audio_);
    return Status::success();
}

// Until stopped (a signal, --duration, the terminal gone): reloads on SIGHUP and brings a lost device back.
Status LiveSession::supervise()
{
    const auto until =
        o_.duration > 0
            ? started_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.duration))
            : Clock::time_point::max();
    auto lastTry = Clock::now();
    while (!stopping_.load()) {
        wait(std::chrono::milliseconds(100));
        if (reloadWanted_.exchange(false)) reloadOrHangUp();
        if (Clock::now() >= until) requestStop("duration");
        if (stopping_.load()) break;
        if (Status s = keepDevice(lastTry); !s.ok()) {
            requestStop("device_rate_changed");
            return s;
        }
    }
    return Status::success();
}

// Everything stopped in the reverse order, then the stop event with the callback's figures.
void LiveSession::shutDown(const Status& outcome)
{
    requestStop(outcome.ok() ? "stopped" : "error");
    for (auto it = detach_.rbegin(); it != detach_.rend(); ++it) (*it)();
    device_->stop();
    if (backup_) backup_->stop();
    signals_->stop();
    monitorThread_.join();
    notifier_.send("STOPPING=1");  // after the watchdog's last notice
    loudnessThread_.join();
    if (viewThread_.joinable()) viewThread_.join();

    const double wall = std::chrono::duration<double>(Clock::now() - started_).count();
    const CallbackTimes& t = monitor_.times();
    std::string reason;
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        reason = stopReason_;
    }
    log_.emit("stop",
              {{"reason", reason},
               {"seconds", rounded(wall, 3)},
               {"periods", t.count()},
               {"xruns", engine_.xruns()},
               {"recoveries", engine_.recoveries()},
               {"callback_us",
                {{"period", rounded(1e6 * period_ / rate_, 1)},
                 {"median", rounded(t.quantileUs(0.5), 1)},
                 {"p99_9", rounded(t.quantileUs(0.999), 1)},
                 {"largest", rounded(t.largestUs(), 1)}}},
               {"engine_cpu_percent", rounded(wall > 0 ? 100.0 * t.totalSeconds() / wall : NAN, 2)},
               {"process_cpu_percent", rounded(wall > 0 ? 100.0 * (cpuSeconds() - cpuAtStart_) / wall : NAN, 2)},
               {"dropped_meter_frames", engine_.droppedOutput()}});
    log_.close();
    loudness_.close();
}

Status LiveSession::run()
{
    if (Status s = open(); !s.ok()) return s;
    if (Status s = startAudio(); !s.ok()) return s;
    const Status outcome = supervise();
    shutDown(outcome);
    return outcome;
}

}  // namespace

Status runLive(const LiveOptions& options)
{
    LiveSession session(options);
    return session.run();
}

}  // namespace plumbra::host::live
