// plumbra live: the session around the live engine. The main thread supervises
// the device; one thread each turns the engine's reports into events and
// watchdog notices, measures the output's loudness, waits for signals and
// draws the terminal view. None of them ever holds up the audio thread.
#include "host/live/live.h"

#include <ebur128.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include "dsp/control_table.h"
#include "host/common/control_text.h"
#include "host/live/event_log.h"
#include "host/remote/remote.h"
#ifdef PLUMBRA_HAS_DEVICES_ALSA
#include "host/devices/alsa.h"
#endif
#ifdef PLUMBRA_HAS_LIVE_BACKUP_FILES
#include "host/live/backup_files.h"
#endif
#ifdef PLUMBRA_HAS_LIVE_TERMINAL_VIEW
#include "host/live/terminal_view.h"
#endif

namespace plumbra::host::live {

namespace {

using Clock = std::chrono::steady_clock;

// A number as JSON: null when not finite.
std::string num(double v, int decimals = 2)
{
    if (!std::isfinite(v)) return "null";
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

// systemd's notification socket, spoken to directly: one datagram per message.
class Notifier {
public:
    Notifier()
    {
        const char* path = std::getenv("NOTIFY_SOCKET");
        if (!path || !*path || (path[0] != '/' && path[0] != '@')) return;
        const size_t len = std::strlen(path);
        if (len >= sizeof(addr_.sun_path)) return;
        addr_.sun_family = AF_UNIX;
        std::memcpy(addr_.sun_path, path, len);
        if (path[0] == '@') addr_.sun_path[0] = '\0';  // an abstract name
        addrLen_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (const char* w = std::getenv("WATCHDOG_USEC")) {
            const double us = std::atof(w);
            if (us > 0) interval_ = std::chrono::duration<double>(us / 2e6);
        }
    }
    ~Notifier()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    bool enabled() const { return fd_ >= 0; }
    void send(const std::string& message) const
    {
        if (fd_ >= 0)
            sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr_), addrLen_);
    }
    std::chrono::duration<double> interval() const { return interval_; }

private:
    int fd_ = -1;
    sockaddr_un addr_{};
    socklen_t addrLen_ = 0;
    std::chrono::duration<double> interval_{2.0};  // without WATCHDOG_USEC
};

// Callback times in microsecond bins up to 100 ms; longer ones count in the last.
class CallbackTimes {
public:
    CallbackTimes() : bins_(100001, 0) {}
    void add(uint32_t nanos)
    {
        bins_[std::min<size_t>(nanos / 1000, bins_.size() - 1)]++;
        ++count_;
        total_ += nanos;
        largest_ = std::max(largest_, nanos);
    }
    double quantileUs(double p) const
    {
        if (count_ == 0) return NAN;
        const auto rank = static_cast<uint64_t>(std::ceil(p * static_cast<double>(count_)));
        uint64_t seen = 0;
        for (size_t i = 0; i < bins_.size(); ++i)
            if ((seen += bins_[i]) >= std::max<uint64_t>(rank, 1)) return static_cast<double>(i) + 0.5;
        return NAN;
    }
    double largestUs() const { return largest_ / 1000.0; }
    uint64_t count() const { return count_; }
    double totalSeconds() const { return static_cast<double>(total_) * 1e-9; }

private:
    std::vector<uint64_t> bins_;
    uint64_t count_ = 0, total_ = 0;
    uint32_t largest_ = 0;
};

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

const char* onAirName(OnAir a)
{
    return a == OnAir::kBackup ? "backup" : a == OnAir::kSafe ? "safe" : "programme";
}

class LiveSession final : public Remote {
public:
    explicit LiveSession(const LiveOptions& o) : o_(o), engine_(o.settings), log_(eventLogPath(o), o.onEvent) {}

    Status run();

    LiveStatus status() const override
    {
        LiveStatus s;
        s.source = onAirName(engine_.onAir());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            s.preset = presetName_;
            s.audio = audio_;
            s.period = period_;
        }
        s.uptimeSeconds = std::chrono::duration<double>(Clock::now() - started_).count();
        s.xruns = engine_.xruns();
        s.recoveries = engine_.recoveries();
        s.rate = engine_.rate();
        s.latency = engine_.latency();
        return s;
    }
    MeterSnapshot meters() const override { return engine_.meters(); }
    LoudnessReading loudness() const override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return reading_;
    }
    std::vector<float> controls() const override
    {
        std::vector<float> v;
        for (int i = 0; i < kNumControls; ++i) v.push_back(engine_.control(i));
        return v;
    }
    void applyControls(const std::vector<std::pair<int, float>>& values, const std::string& preset) override
    {
        if (!preset.empty()) {
            std::lock_guard<std::mutex> lock(mutex_);
            presetName_ = preset;
        }
        if (!engine_.queueControls(values)) log_.emit("controls_dropped", "\"reason\":\"queue full\"");
    }
    std::vector<EventRecord> eventsSince(uint64_t since) const override { return log_.since(since); }
    // The detail is a JSON object; its members join the event's own.
    void logEvent(const std::string& type, const std::string& detailJson) override
    {
        std::string members = detailJson;
        while (!members.empty() && std::isspace(static_cast<unsigned char>(members.back()))) members.pop_back();
        if (members.size() >= 2 && members.front() == '{' && members.back() == '}')
            members = members.substr(1, members.size() - 2);
        else
            members = members.empty() ? "" : "\"detail\":" + jsonString(members);
        log_.emit(type, members);
    }

private:
    static std::string eventLogPath(const LiveOptions& o)
    {
        if (!o.eventLog.empty()) return o.eventLog;
        return isatty(2) ? "" : "-";
    }

    Result<std::vector<float>> loadControls() const;
    void monitorLoop();
    void loudnessLoop();
    void signalLoop(sigset_t set);
    void viewLoop();
    void reload();
    std::string audioEventDetail(const AudioEvent& e) const;
    bool wait(std::chrono::duration<double> d);  // false once stopping

    LiveOptions o_;
    LiveEngine engine_;
    EventLog log_;
    std::unique_ptr<devices::Device> device_;
    Notifier notifier_;
    Clock::time_point started_ = Clock::now();

    mutable std::mutex mutex_;  // the texts and readings below
    std::string presetName_, audio_;
    int period_ = 0;
    LoudnessReading reading_{NAN, NAN, NAN, NAN, NAN};
    std::FILE* loudnessFile_ = nullptr;

    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    std::atomic<bool> stopping_{false}, reloadWanted_{false}, deviceDown_{false};
    CallbackTimes times_;  // monitor thread only until it is joined
};

bool LiveSession::wait(std::chrono::duration<double> d)
{
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopWake_.wait_for(lock, d, [this] { return stopping_.load() || reloadWanted_.load(); });
    return !stopping_.load();
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loudnessFile_) {
            std::fclose(loudnessFile_);
            loudnessFile_ = std::fopen(o_.loudnessLog.c_str(), "a");
        }
    }
    if (o_.preset.empty()) {
        log_.emit("configuration_reloaded", "\"preset\":null,\"logs_reopened\":true");
        return;
    }
    auto values = loadControls();
    if (!values.ok()) {
        log_.emit("configuration_error", "\"reason\":" + jsonString(values.status().reason));
        return;
    }
    std::vector<std::pair<int, float>> all;
    for (int i = 0; i < kNumControls; ++i) all.emplace_back(i, values.value()[static_cast<size_t>(i)]);
    applyControls(all, o_.preset);
    log_.emit("configuration_reloaded", "\"preset\":" + jsonString(o_.preset) + ",\"logs_reopened\":true");
}

std::string LiveSession::audioEventDetail(const AudioEvent& e) const
{
    return "\"frame\":" + std::to_string(e.frame) + ",\"seconds\":" + num(static_cast<double>(e.frame) / engine_.rate(), 3);
}

// Engine reports to events, callback times to figures, and the watchdog.
void LiveSession::monitorLoop()
{
    uint64_t lastPeriods = engine_.periods();
    auto lastAdvance = Clock::now(), lastPing = Clock::now() - std::chrono::hours(1);
    bool stalled = false;
    std::vector<uint32_t> nanos(4096);
    for (bool going = true; going;) {
        going = !stopping_.load();
        AudioEvent e;
        while (engine_.events().pop(e)) {
            const std::string d = audioEventDetail(e);
            switch (e.type) {
            case AudioEventType::kXrun: log_.emit("xrun", d + ",\"count\":" + std::to_string(engine_.xruns()), e.timeNs); break;
            case AudioEventType::kSilenceStart:
                log_.emit("silence", d + ",\"threshold_dbfs\":" + num(o_.settings.silenceThresholdDb, 1), e.timeNs);
                break;
            case AudioEventType::kSilenceEnd: log_.emit("silence_end", d, e.timeNs); break;
            case AudioEventType::kFailover: log_.emit("failover", d + ",\"source\":\"backup\"", e.timeNs); break;
            case AudioEventType::kFailback: log_.emit("failback", d + ",\"source\":\"programme\"", e.timeNs); break;
            case AudioEventType::kBackupSilent:
                log_.emit("failback", d + ",\"source\":\"programme\",\"reason\":\"backup silent\"", e.timeNs);
                break;
            case AudioEventType::kRecovery: log_.emit("processor_recovery", d, e.timeNs); break;
            case AudioEventType::kSafeMode:
                log_.emit("processor_bypassed", d + ",\"gain_db\":" + num(20.0 * std::log10(o_.settings.safeGain), 1) +
                                                    ",\"retry_seconds\":" + num(o_.settings.safeRetrySeconds, 0),
                          e.timeNs);
                break;
            case AudioEventType::kProcessorRetry: log_.emit("processor_retry", d, e.timeNs); break;
            }
        }
        for (size_t n; (n = engine_.callbackNanos().pop(nanos.data(), nanos.size())) > 0;)
            for (size_t i = 0; i < n; ++i) times_.add(nanos[i]);

        // The watchdog: the callback must advance while the device is up.
        const auto now = Clock::now();
        const uint64_t periods = engine_.periods();
        if (periods != lastPeriods || deviceDown_.load()) {
            lastPeriods = periods;
            lastAdvance = now;
            if (stalled) {
                stalled = false;
                log_.emit("audio_resumed");
            }
        } else if (!stalled && now - lastAdvance > std::chrono::seconds(2)) {
            stalled = true;
            log_.emit("audio_stalled", "\"seconds\":2");
            notifier_.send("STATUS=audio stalled");
        }
        if (notifier_.enabled() && !stalled && now - lastPing >= notifier_.interval()) {
            notifier_.send("WATCHDOG=1");
            lastPing = now;
        }
        if (going) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The output's loudness from the engine's copy of it, and the loudness log.
void LiveSession::loudnessLoop()
{
    const int rate = engine_.rate();
    ebur128_state* st =
        ebur128_init(2, static_cast<unsigned>(rate), EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK |
                                                         EBUR128_MODE_HISTOGRAM);
    if (!st) return;
    std::vector<OutputFrame> frames(4096);
    std::vector<float> stereo(2 * frames.size());
    std::deque<std::pair<double, int64_t>> inputWindow;  // (sum of squares, frames) per chunk, the last 400 ms
    double inputSum = 0.0;
    int64_t inputFrames = 0, intervalFrames = 0;
    double intervalPeak = 0.0;
    std::array<std::vector<float>, kNumBands> gains;
    uint64_t lastBlock = 0;
    auto lastIntegrated = Clock::now();
    double integrated = NAN;
    const int64_t logFrames = static_cast<int64_t>(o_.logInterval * rate);
    auto db = [](double x) { return x > 0 ? 20.0 * std::log10(x) : -INFINITY; };

    for (bool going = true; going;) {
        going = !stopping_.load();
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
            inputWindow.emplace_back(sum, static_cast<int64_t>(n));
            inputSum += sum;
            inputFrames += static_cast<int64_t>(n);
            while (!inputWindow.empty() && inputFrames - inputWindow.front().second >= rate * 2 / 5) {
                inputSum -= inputWindow.front().first;
                inputFrames -= inputWindow.front().second;
                inputWindow.pop_front();
            }
            intervalFrames += static_cast<int64_t>(n);
        }
        const MeterSnapshot m = engine_.meters();
        if (m.block != lastBlock) {
            lastBlock = m.block;
            for (int b = 1; b <= kNumBands; ++b)
                gains[static_cast<size_t>(b - 1)].push_back(
                    0.5f * (m.values[static_cast<size_t>(bandMeter(b, kBandGainLow))] + m.values[static_cast<size_t>(bandMeter(b, kBandGainHigh))]));
        }
        double momentary = NAN, shortTerm = NAN;
        ebur128_loudness_momentary(st, &momentary);
        ebur128_loudness_shortterm(st, &shortTerm);
        if (Clock::now() - lastIntegrated >= std::chrono::seconds(1) || intervalFrames >= logFrames || !going) {
            ebur128_loudness_global(st, &integrated);
            lastIntegrated = Clock::now();
        }
        const double inputLevel =
            inputFrames > 0 ? std::max<double>(kMeterFloorDb, 10.0 * std::log10(std::max(inputSum / inputFrames, 1e-30))) : NAN;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reading_ = {momentary, shortTerm, integrated, db(intervalPeak), inputLevel};
        }
        if (intervalFrames >= logFrames || (!going && intervalFrames > 0)) {
            std::string line = "{\"time\":\"" + utcTimestamp(nowNanos()) + "\",\"momentary_lufs\":" + num(momentary) +
                               ",\"short_term_lufs\":" + num(shortTerm) + ",\"integrated_lufs\":" + num(integrated) +
                               ",\"true_peak_dbtp\":" + num(db(intervalPeak)) + ",\"input_dbfs\":" + num(inputLevel) +
                               ",\"band_gain_median_db\":[";
            for (size_t b = 0; b < gains.size(); ++b) {
                auto& g = gains[b];
                double median = NAN;
                if (!g.empty()) {
                    std::nth_element(g.begin(), g.begin() + static_cast<long>(g.size() / 2), g.end());
                    median = g[g.size() / 2];
                }
                line += (b ? "," : "") + num(median);
                g.clear();
            }
            line += "],\"source\":\"" + std::string(onAirName(engine_.onAir())) +
                    "\",\"seconds\":" + num(static_cast<double>(intervalFrames) / rate, 3) + "}\n";
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (loudnessFile_) {
                    std::fputs(line.c_str(), loudnessFile_);
                    std::fflush(loudnessFile_);
                }
            }
            intervalFrames = 0;
            intervalPeak = 0.0;
        }
        if (going) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ebur128_destroy(&st);
}

void LiveSession::signalLoop(sigset_t set)
{
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGUSR2) return;  // the session's own wake-up at its end
        if (sig == SIGHUP) reloadWanted_ = true;
        else stopping_ = true;
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopWake_.notify_all();
    }
}

void LiveSession::viewLoop()
{
#ifdef PLUMBRA_HAS_LIVE_TERMINAL_VIEW
    TerminalView view(*this, stdout);
    while (!stopping_.load()) {
        view.draw();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    view.close();
#endif
}

Status LiveSession::run()
{
    auto controls = loadControls();
    if (!controls.ok()) return controls.status();
    presetName_ = o_.preset;

    // Signals go to the signal thread alone: every thread started from here on inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR2}) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Status opened = log_.open();
    if (!opened.ok()) return opened;
    if (!o_.loudnessLog.empty()) {
        loudnessFile_ = std::fopen(o_.loudnessLog.c_str(), "a");
        if (!loudnessFile_) return Status::fail(kExitOutput, "cannot open loudness log " + o_.loudnessLog + ": " + std::strerror(errno));
    }

    const bool alsa = !o_.alsaIn.empty();
    if (alsa) {
#ifdef PLUMBRA_HAS_DEVICES_ALSA
        device_ = devices::makeAlsaDevice(o_.alsaIn, o_.alsaOut, o_.alsaRate, o_.alsaPeriod);
#else
        return Status::fail(kExitInput, "this build of plumbra has no ALSA device; use JACK");
#endif
    } else {
        device_ = devices::makeJackDevice(o_.jack);
    }
    // The processor is ready before the first period: ALSA's rate is the one asked
    // for, JACK's is known once its client is open (the device calls prepare()).
    engine_.setInitialControls(controls.value());
    if (alsa) engine_.prepare(o_.alsaRate);
    Status started = device_->start(engine_);
    if (!started.ok()) return started;
    const int rate = device_->rate();
    if (rate != engine_.rate()) {
        device_->stop();
        return Status::fail(kExitInput, device_->describe() + " runs at " + std::to_string(rate) + " Hz, not " +
                                            std::to_string(engine_.rate()) + " Hz");
    }
#ifdef PLUMBRA_HAS_LIVE_BACKUP_FILES
    std::unique_ptr<BackupFiles> backup;
    if (!o_.backup.empty()) {
        auto b = BackupFiles::open(o_.backup, rate);
        if (!b.ok()) {
            device_->stop();
            return b.status();
        }
        backup = std::move(b.value());
        backup->start();
        engine_.setBackupFiles(backup.get());
    }
#else
    if (!o_.backup.empty()) {
        device_->stop();
        return Status::fail(kExitInput, "this build of plumbra cannot play backup files; use the backup ports");
    }
#endif
    device_->setProcessingLatency(engine_.latency());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        audio_ = device_->describe();
        period_ = device_->period();
    }
    started_ = Clock::now();
    const double cpuAtStart = cpuSeconds();
    log_.emit("start", "\"audio\":" + jsonString(audio_) + ",\"rate\":" + std::to_string(rate) +
                           ",\"period\":" + std::to_string(period_) + ",\"latency\":" + std::to_string(engine_.latency()) +
                           ",\"preset\":" + (o_.preset.empty() ? "null" : jsonString(o_.preset)) + ",\"pid\":" +
                           std::to_string(getpid()));

    notifier_.send("READY=1\nSTATUS=on air: " + audio_ + ", " + std::to_string(rate) + " Hz, " + std::to_string(period_) +
                   " frames per period");
    std::thread signals([this, set] { signalLoop(set); });
    std::thread monitor([this] { monitorLoop(); });
    std::thread loudness([this] { loudnessLoop(); });
    std::thread view;
    if (!o_.quiet && isatty(1)) view = std::thread([this] { viewLoop(); });
    std::vector<std::function<void()>> detach;
    for (const auto& attach : o_.attach)
        if (auto stop = attach(*this)) detach.push_back(std::move(stop));

    // Supervision: reload on SIGHUP, stop on SIGTERM/SIGINT or after --duration, and
    // bring a lost device back.
    const auto until = o_.duration > 0 ? started_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.duration))
                                       : Clock::time_point::max();
    Status outcome;
    auto lastTry = Clock::now();
    while (!stopping_.load()) {
        wait(std::chrono::milliseconds(100));
        if (reloadWanted_.exchange(false)) reload();
        if (Clock::now() >= until) stopping_ = true;
        if (stopping_.load()) break;
        if (!deviceDown_.load() && !device_->alive()) {
            deviceDown_ = true;
            device_->stop();
            log_.emit("device_lost", "\"audio\":" + jsonString(audio_));
            notifier_.send("STATUS=audio device lost; retrying");
            lastTry = Clock::now();
        }
        if (deviceDown_.load() && Clock::now() - lastTry >= std::chrono::seconds(2)) {
            lastTry = Clock::now();
            if (device_->start(engine_).ok()) {
                if (device_->rate() != rate) {
                    device_->stop();
                    outcome = Status::fail(kExitInput, "the audio device came back at " + std::to_string(device_->rate()) +
                                                           " Hz instead of " + std::to_string(rate) + " Hz");
                    log_.emit("device_rate_changed", "\"rate\":" + std::to_string(device_->rate()));
                    break;
                }
                device_->setProcessingLatency(engine_.latency());
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    period_ = device_->period();
                }
                deviceDown_ = false;
                log_.emit("device_regained", "\"audio\":" + jsonString(audio_) + ",\"period\":" + std::to_string(period_));
                notifier_.send("STATUS=on air: " + audio_);
            }
        }
    }
    stopping_ = true;
    for (auto it = detach.rbegin(); it != detach.rend(); ++it) (*it)();
    device_->stop();
#ifdef PLUMBRA_HAS_LIVE_BACKUP_FILES
    if (backup) backup->stop();
#endif
    pthread_kill(signals.native_handle(), SIGUSR2);
    signals.join();
    monitor.join();
    notifier_.send("STOPPING=1");  // after the watchdog's last notice
    loudness.join();
    if (view.joinable()) view.join();

    const double wall = std::chrono::duration<double>(Clock::now() - started_).count();
    const double periodUs = 1e6 * period_ / rate;
    log_.emit("stop", "\"seconds\":" + num(wall, 3) + ",\"periods\":" + std::to_string(times_.count()) +
                          ",\"xruns\":" + std::to_string(engine_.xruns()) + ",\"recoveries\":" +
                          std::to_string(engine_.recoveries()) + ",\"callback_us\":{\"period\":" + num(periodUs, 1) +
                          ",\"median\":" + num(times_.quantileUs(0.5), 1) + ",\"p99_9\":" + num(times_.quantileUs(0.999), 1) +
                          ",\"largest\":" + num(times_.largestUs(), 1) + "},\"engine_cpu_percent\":" +
                          num(wall > 0 ? 100.0 * times_.totalSeconds() / wall : NAN) + ",\"process_cpu_percent\":" +
                          num(wall > 0 ? 100.0 * (cpuSeconds() - cpuAtStart) / wall : NAN) + ",\"dropped_meter_frames\":" +
                          std::to_string(engine_.droppedOutput()));
    log_.close();
    if (loudnessFile_) std::fclose(loudnessFile_);
    loudnessFile_ = nullptr;
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return outcome;
}

}  // namespace

Status runLive(const LiveOptions& options)
{
    LiveSession session(options);
    return session.run();
}

}  // namespace plumbra::host::live
