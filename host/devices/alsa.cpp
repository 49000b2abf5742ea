// ALSA through alsa-lib itself. A box without an audio server has nothing
// between us and the driver but alsa-lib, so we talk to it directly: the fewest
// layers, every PCM an asoundrc can define (hw, plug, dmix, file, ...) and the
// errors as ALSA states them. Wrappers such as RtAudio or PortAudio would add
// their own threads and buffering and nothing this device needs.
//
// One thread does all of the audio: it waits for a capture period, converts it
// to float, runs the callback and writes the result to the playback PCM, which
// is kept a few periods ahead with silence written at start. The conversion
// buffers are sized at start; the loop allocates nothing, and its only system
// calls are the PCM reads, writes and waits themselves.
#include "host/devices/alsa.h"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace plumbra::host::devices {

namespace alsa_format {

int bytesPerSample(Sample s)
{
    switch (s) {
    case Sample::kFloat: return 4;
    case Sample::kS32: return 4;
    case Sample::kS16: return 2;
    }
    return 4;
}

namespace {

// Rounds to the nearest integer step and clips to the format's range; NaN
// becomes silence.
template <class Int>
Int quantise(float x, double scale)
{
    constexpr double lo = static_cast<double>(std::numeric_limits<Int>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<Int>::max());
    if (!(x == x)) return 0;
    const double v = std::nearbyint(static_cast<double>(x) * scale);
    return static_cast<Int>(std::clamp(v, lo, hi));
}

template <class T, class Convert>
void deinterleave(const void* interleaved, int channels, float* const* to, int frames, Convert convert)
{
    const T* p = static_cast<const T*>(interleaved);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) to[c][i] = convert(*p++);
}

template <class T, class Convert>
void interleave(const float* const* from, int channels, void* interleaved, int frames, Convert convert)
{
    T* p = static_cast<T*>(interleaved);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) *p++ = convert(from[c][i]);
}

}  // namespace

void toFloat(Sample s, const void* interleaved, int channels, float* const* to, int frames)
{
    switch (s) {
    case Sample::kFloat: deinterleave<float>(interleaved, channels, to, frames, [](float v) { return v; }); break;
    case Sample::kS32:
        deinterleave<int32_t>(interleaved, channels, to, frames,
                              [](int32_t v) { return static_cast<float>(static_cast<double>(v) * (1.0 / 2147483648.0)); });
        break;
    case Sample::kS16:
        deinterleave<int16_t>(interleaved, channels, to, frames, [](int16_t v) { return static_cast<float>(v) * (1.0f / 32768.0f); });
        break;
    }
}

void fromFloat(Sample s, const float* const* from, int channels, void* interleaved, int frames)
{
    switch (s) {
    case Sample::kFloat: interleave<float>(from, channels, interleaved, frames, [](float v) { return v; }); break;
    case Sample::kS32: interleave<int32_t>(from, channels, interleaved, frames, [](float v) { return quantise<int32_t>(v, 2147483648.0); }); break;
    case Sample::kS16: interleave<int16_t>(from, channels, interleaved, frames, [](float v) { return quantise<int16_t>(v, 32768.0); }); break;
    }
}

}  // namespace alsa_format

namespace {

using alsa_format::Sample;

constexpr int kDefaultRate = 48000;
constexpr int kDefaultPeriod = 256;
constexpr int kCapturePeriods = 4;    // capture buffer, in periods
constexpr int kPlaybackPeriods = 3;   // playback buffer, in periods
constexpr int kPrefillPeriods = 2;    // silence written ahead at start and after an xrun
constexpr int kWaitMs = 1000;         // one wait for a period
constexpr int kTimeoutsLost = 3;      // this many waits in a row without audio: the device is gone
constexpr int kFailuresLost = 5;      // this many failed recoveries in a row: the device is gone
constexpr int kRealtimePriority = 70;

const char* sampleName(Sample s)
{
    switch (s) {
    case Sample::kFloat: return "float";
    case Sample::kS32: return "32-bit";
    case Sample::kS16: return "16-bit";
    }
    return "?";
}

snd_pcm_format_t alsaFormat(Sample s)
{
    switch (s) {
    case Sample::kFloat: return SND_PCM_FORMAT_FLOAT_LE;
    case Sample::kS32: return SND_PCM_FORMAT_S32_LE;
    case Sample::kS16: return SND_PCM_FORMAT_S16_LE;
    }
    return SND_PCM_FORMAT_FLOAT_LE;
}

// alsa-lib prints its own errors to standard error; ours carry the reason instead.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

// A parameter block of alsa-lib's, freed when it goes out of scope.
template <class T, int (*Make)(T**), void (*Free)(T*)>
struct ParamBlock {
    T* p = nullptr;
    ParamBlock() { Make(&p); }
    ~ParamBlock() { Free(p); }
    ParamBlock(const ParamBlock&) = delete;
    ParamBlock& operator=(const ParamBlock&) = delete;
};
using HwParams = ParamBlock<snd_pcm_hw_params_t, snd_pcm_hw_params_malloc, snd_pcm_hw_params_free>;
using SwParams = ParamBlock<snd_pcm_sw_params_t, snd_pcm_sw_params_malloc, snd_pcm_sw_params_free>;

// What one PCM agreed to.
struct PcmSetup {
    Sample sample = Sample::kFloat;
    int channels = 2;
    unsigned rate = 0;
    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t buffer = 0;
};

class AlsaDevice final : public Device {
public:
    AlsaDevice(std::string in, std::string out, int rate, int period)
        : inName_(std::move(in)), outName_(std::move(out)), wantRate_(rate > 0 ? rate : kDefaultRate),
          wantPeriod_(period > 0 ? period : kDefaultPeriod)
    {
    }
    ~AlsaDevice() override { stop(); }

    Status start(Callback& callback) override;
    void stop() override;
    bool alive() const override { return alive_.load(std::memory_order_acquire); }
    int rate() const override { return rate_; }
    int period() const override { return period_; }
    void setProcessingLatency(int) override {}  // ALSA has nowhere to announce it
    std::string describe() const override;

private:
    Status configure(snd_pcm_t* pcm, bool capture, PcmSetup& setup);
    void run();
    // Restarts both PCMs after an xrun or a suspend: 0, or ALSA's error.
    int restart();
    int readPeriod();
    int writeFrames(const void* data, snd_pcm_uframes_t frames);
    static bool fatal(int err) { return err == -ENODEV || err == -EBADFD || err == -ENOTTY || err == -ENXIO; }
    void closePcms();

    const std::string inName_, outName_;
    const int wantRate_, wantPeriod_;

    snd_pcm_t* capture_ = nullptr;
    snd_pcm_t* playback_ = nullptr;
    PcmSetup in_, out_;
    int rate_ = 0;
    int period_ = 0;
    bool realtime_ = false;

    std::vector<unsigned char> inRaw_, outRaw_, silence_;
    std::vector<float> inLeft_, inRight_, outLeft_, outRight_;

    Callback* callback_ = nullptr;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> alive_{false};
};

Status AlsaDevice::configure(snd_pcm_t* pcm, bool capture, PcmSetup& setup)
{
    const std::string what = std::string(capture ? "alsa capture device '" : "alsa playback device '") +
                             (capture ? inName_ : outName_) + "': ";
    const ExitCode code = capture ? kExitInput : kExitOutput;
    auto failed = [&](const std::string& step, int err) {
        return Status::fail(code, what + step + (err < 0 ? std::string(": ") + snd_strerror(err) : std::string()));
    };

    HwParams hw;
    if (!hw.p) return failed("out of memory", 0);
    int err = snd_pcm_hw_params_any(pcm, hw.p);
    if (err < 0) return failed("no configuration", err);
    if ((err = snd_pcm_hw_params_set_access(pcm, hw.p, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
        return failed("no interleaved access", err);

    bool formatFound = false;
    for (Sample s : {Sample::kFloat, Sample::kS32, Sample::kS16}) {
        if (snd_pcm_hw_params_test_format(pcm, hw.p, alsaFormat(s)) == 0 &&
            snd_pcm_hw_params_set_format(pcm, hw.p, alsaFormat(s)) == 0) {
            setup.sample = s;
            formatFound = true;
            break;
        }
    }
    if (!formatFound) return failed("offers none of float, 32-bit or 16-bit little-endian samples", 0);

    if (snd_pcm_hw_params_test_channels(pcm, hw.p, 2) == 0)
        setup.channels = 2;
    else if (capture && snd_pcm_hw_params_test_channels(pcm, hw.p, 1) == 0)
        setup.channels = 1;
    else
        return failed(capture ? "has neither 2 nor 1 channel" : "has no 2 channels", 0);
    if ((err = snd_pcm_hw_params_set_channels(pcm, hw.p, static_cast<unsigned>(setup.channels))) < 0)
        return failed("channels", err);

    unsigned rate = setup.rate ? setup.rate : static_cast<unsigned>(wantRate_);
    if ((err = snd_pcm_hw_params_set_rate_near(pcm, hw.p, &rate, nullptr)) < 0) return failed("rate", err);
    if (setup.rate && rate != setup.rate)
        return failed("runs at " + std::to_string(rate) + " Hz, the capture device at " + std::to_string(setup.rate), 0);
    setup.rate = rate;

    snd_pcm_uframes_t period = setup.period ? setup.period : static_cast<snd_pcm_uframes_t>(wantPeriod_);
    if ((err = snd_pcm_hw_params_set_period_size_near(pcm, hw.p, &period, nullptr)) < 0)
        return failed("period size", err);
    snd_pcm_uframes_t buffer = period * static_cast<snd_pcm_uframes_t>(capture ? kCapturePeriods : kPlaybackPeriods);
    if ((err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw.p, &buffer)) < 0) return failed("buffer size", err);
    if ((err = snd_pcm_hw_params(pcm, hw.p)) < 0) return failed("configuration refused", err);
    snd_pcm_hw_params_get_period_size(hw.p, &period, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw.p, &buffer);
    setup.period = period;
    setup.buffer = buffer;

    // We start both PCMs ourselves, after the playback side holds its silence.
    SwParams sw;
    if (!sw.p) return failed("out of memory", 0);
    snd_pcm_uframes_t boundary = 0;
    if ((err = snd_pcm_sw_params_current(pcm, sw.p)) < 0 || (err = snd_pcm_sw_params_get_boundary(sw.p, &boundary)) < 0 ||
        (err = snd_pcm_sw_params_set_start_threshold(pcm, sw.p, boundary)) < 0 ||
        (err = snd_pcm_sw_params_set_avail_min(pcm, sw.p, capture ? period : 1)) < 0 ||
        (err = snd_pcm_sw_params(pcm, sw.p)) < 0)
        return failed("software parameters", err);
    return Status::success();
}

Status AlsaDevice::start(Callback& callback)
{
    stop();
    snd_lib_error_set_handler(quietAlsa);

    int err = snd_pcm_open(&capture_, inName_.c_str(), SND_PCM_STREAM_CAPTURE, 0);
    if (err < 0) {
        capture_ = nullptr;
        return Status::fail(kExitInput, "alsa capture device '" + inName_ + "': " + snd_strerror(err));
    }
    err = snd_pcm_open(&playback_, outName_.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        playback_ = nullptr;
        closePcms();
        return Status::fail(kExitOutput, "alsa playback device '" + outName_ + "': " + snd_strerror(err));
    }

    in_ = PcmSetup{};
    out_ = PcmSetup{};
    Status s = configure(capture_, true, in_);
    if (s.ok()) {
        out_.rate = in_.rate;
        out_.period = in_.period;
        s = configure(playback_, false, out_);
    }
    if (s.ok() && out_.buffer < in_.period * 2)
        s = Status::fail(kExitOutput, "alsa playback device '" + outName_ + "': its buffer of " + std::to_string(out_.buffer) +
                                          " frames holds less than two periods of " + std::to_string(in_.period));
    if (!s.ok()) {
        closePcms();
        return s;
    }
    rate_ = static_cast<int>(in_.rate);
    period_ = static_cast<int>(in_.period);

    const std::size_t frames = static_cast<std::size_t>(period_);
    inRaw_.assign(frames * static_cast<std::size_t>(in_.channels * alsa_format::bytesPerSample(in_.sample)), 0);
    outRaw_.assign(frames * static_cast<std::size_t>(out_.channels * alsa_format::bytesPerSample(out_.sample)), 0);
    silence_.assign(outRaw_.size(), 0);  // zero bytes are silence in every format we take
    inLeft_.assign(frames, 0.0f);
    inRight_.assign(frames, 0.0f);
    outLeft_.assign(frames, 0.0f);
    outRight_.assign(frames, 0.0f);

    if ((err = restart()) < 0) {
        closePcms();
        return Status::fail(kExitInput, "alsa devices '" + inName_ + "' and '" + outName_ + "' do not start: " + snd_strerror(err));
    }

    callback_ = &callback;
    running_.store(true, std::memory_order_release);
    alive_.store(true, std::memory_order_release);
    thread_ = std::thread([this] { run(); });

    // Real-time scheduling where we may; where not (no privilege, no rtprio
    // limit), the thread runs at normal priority and describe() says so.
    sched_param param{};
    param.sched_priority = std::min(kRealtimePriority, sched_get_priority_max(SCHED_FIFO));
    realtime_ = pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &param) == 0;
    return Status::success();
}

void AlsaDevice::stop()
{
    running_.store(false, std::memory_order_release);
    if (thread_.joinable()) thread_.join();
    closePcms();
    alive_.store(false, std::memory_order_release);
    callback_ = nullptr;
}

void AlsaDevice::closePcms()
{
    if (capture_) {
        snd_pcm_drop(capture_);
        snd_pcm_close(capture_);
        capture_ = nullptr;
    }
    if (playback_) {
        snd_pcm_drop(playback_);
        snd_pcm_close(playback_);
        playback_ = nullptr;
    }
}

std::string AlsaDevice::describe() const
{
    std::string d = "alsa " + inName_ + " -> " + outName_;
    if (period_ > 0) {
        d += " (" + std::to_string(rate_) + " Hz, " + std::to_string(period_) + " frames, " + sampleName(in_.sample);
        if (in_.sample != out_.sample) d += std::string("/") + sampleName(out_.sample);
        if (in_.channels == 1) d += ", mono capture";
        d += realtime_ ? ", real-time)" : ", normal priority: real-time scheduling not permitted)";
    }
    return d;
}

int AlsaDevice::restart()
{
    snd_pcm_drop(playback_);
    snd_pcm_drop(capture_);
    int err = snd_pcm_prepare(playback_);
    if (err < 0) return err;
    if ((err = snd_pcm_prepare(capture_)) < 0) return err;
    const snd_pcm_uframes_t ahead =
        std::min(out_.buffer - static_cast<snd_pcm_uframes_t>(period_), static_cast<snd_pcm_uframes_t>(period_) * kPrefillPeriods);
    for (snd_pcm_uframes_t done = 0; done < ahead;) {
        const snd_pcm_uframes_t n = std::min(ahead - done, static_cast<snd_pcm_uframes_t>(period_));
        if ((err = writeFrames(silence_.data(), n)) < 0) return err;
        done += n;
    }
    if ((err = snd_pcm_start(playback_)) < 0) return err;
    return snd_pcm_start(capture_);
}

// One whole period into inRaw_: 0, 1 on a timeout, or ALSA's error.
int AlsaDevice::readPeriod()
{
    const std::size_t frameBytes = static_cast<std::size_t>(in_.channels * alsa_format::bytesPerSample(in_.sample));
    snd_pcm_uframes_t done = 0;
    while (done < static_cast<snd_pcm_uframes_t>(period_)) {
        const int ready = snd_pcm_wait(capture_, kWaitMs);
        if (ready == 0) return 1;
        if (ready < 0) return ready;
        const snd_pcm_sframes_t n =
            snd_pcm_readi(capture_, inRaw_.data() + done * frameBytes, static_cast<snd_pcm_uframes_t>(period_) - done);
        if (n == -EAGAIN) continue;
        if (n < 0) return static_cast<int>(n);
        done += static_cast<snd_pcm_uframes_t>(n);
    }
    return 0;
}

int AlsaDevice::writeFrames(const void* data, snd_pcm_uframes_t frames)
{
    const std::size_t frameBytes = static_cast<std::size_t>(out_.channels * alsa_format::bytesPerSample(out_.sample));
    const unsigned char* p = static_cast<const unsigned char*>(data);
    snd_pcm_uframes_t done = 0;
    while (done < frames) {
        const snd_pcm_sframes_t n = snd_pcm_writei(playback_, p + done * frameBytes, frames - done);
        if (n == -EAGAIN) {
            if (snd_pcm_wait(playback_, kWaitMs) == 0) return -ETIMEDOUT;
            continue;
        }
        if (n < 0) return static_cast<int>(n);
        done += static_cast<snd_pcm_uframes_t>(n);
    }
    return 0;
}

void AlsaDevice::run()
{
    Period period;
    period.frames = period_;
    period.in[kProgrammeLeft] = inLeft_.data();
    period.in[kProgrammeRight] = in_.channels == 2 ? inRight_.data() : nullptr;
    period.programmeRightConnected = in_.channels == 2;
    period.backupConnected = false;
    period.out[kOutLeft] = outLeft_.data();
    period.out[kOutRight] = outRight_.data();
    float* const inChannels[2] = {inLeft_.data(), inRight_.data()};
    const float* const outChannels[2] = {outLeft_.data(), outRight_.data()};

    int timeouts = 0;
    int failures = 0;
    bool xrunPending = false;
    while (running_.load(std::memory_order_acquire)) {
        int err = readPeriod();
        if (err == 1) {
            if (++timeouts >= kTimeoutsLost) break;
            continue;
        }
        timeouts = 0;
        if (err == 0) {
            alsa_format::toFloat(in_.sample, inRaw_.data(), in_.channels, inChannels, period_);
            if (xrunPending) {
                callback_->xrun();
                xrunPending = false;
            }
            callback_->process(period);
            alsa_format::fromFloat(out_.sample, outChannels, out_.channels, outRaw_.data(), period_);
            err = writeFrames(outRaw_.data(), static_cast<snd_pcm_uframes_t>(period_));
            if (err == -ETIMEDOUT) {
                if (++timeouts >= kTimeoutsLost) break;
                continue;
            }
        }
        if (err == 0) {
            failures = 0;
            continue;
        }
        if (fatal(err)) break;
        // An xrun (-EPIPE), a suspend (-ESTRPIPE) or another failure: start both
        // sides again, aligned as at the start, and tell the callback.
        if (++failures >= kFailuresLost) break;
        xrunPending = true;
        err = restart();
        if (err < 0 && fatal(err)) break;
    }
    alive_.store(false, std::memory_order_release);
}

}  // namespace

std::unique_ptr<Device> makeAlsaDevice(const std::string& in, const std::string& out, int rate, int period)
{
    return std::make_unique<AlsaDevice>(in, out, rate, period);
}

}  // namespace plumbra::host::devices
