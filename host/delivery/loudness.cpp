// Loudness of input and output, measured as the file is streamed.
#include "host/delivery/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(PLUMBRA_HAVE_SOXR)
#include <soxr.h>
#endif

namespace plumbra::host {

namespace {
int64_t markFrame(int mark, int rate)
{
    // Boundaries at k * 100 ms, rounded to whole frames for rates not divisible by 10.
    return (static_cast<int64_t>(mark) * rate + 5) / 10;
}
}  // namespace

#if defined(PLUMBRA_HAVE_SOXR)
struct LoudnessMeter::Resampler {
    soxr_t soxr = nullptr;
    double ratio = 1;
    std::vector<float> out;  // interleaved frames at the meter's rate
    ~Resampler()
    {
        if (soxr) soxr_delete(soxr);
    }
};
bool LoudnessMeter::resamplesLowRates() { return true; }
#else
struct LoudnessMeter::Resampler {};
bool LoudnessMeter::resamplesLowRates() { return false; }
#endif

LoudnessMeter::LoudnessMeter(int channels, int rate) : channels_(channels), originalRate_(rate), rate_(rate)
{
#if defined(PLUMBRA_HAVE_SOXR)
    if (rate > 0 && rate < kLowestDirectRate && channels > 0) {
        auto r = std::make_unique<Resampler>();
        soxr_error_t error = nullptr;
        // High quality (flat to 0.91 of the programme's Nyquist frequency), on the calling thread.
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        r->soxr = soxr_create(rate, kMeasuringRate, static_cast<unsigned>(channels), &error, nullptr, &quality, &runtime);
        if (!error && r->soxr) {
            r->ratio = static_cast<double>(kMeasuringRate) / rate;
            resampler_ = std::move(r);
            rate_ = kMeasuringRate;
        }
    }
#endif
    state_ = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate_),
                          EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_S);
    // A mono programme counts as one channel of weight 1 (libebur128's default for one channel).
    marks_ = 1;
    nextMark_ = markFrame(marks_, rate_);
}

LoudnessMeter::~LoudnessMeter()
{
    resampler_.reset();
    if (state_) ebur128_destroy(&state_);
}

void LoudnessMeter::add(const float* interleaved, int64_t frames)
{
    if (!state_) return;
    inputFrames_ += frames;
#if defined(PLUMBRA_HAVE_SOXR)
    if (resampler_) {
        for (int64_t i = 0; i < frames * channels_; ++i) samplePeak_ = std::max(samplePeak_, std::fabs(interleaved[i]));
        Resampler& r = *resampler_;
        while (frames > 0) {
            const int64_t chunk = std::min<int64_t>(frames, 4096);
            r.out.resize(static_cast<size_t>((static_cast<double>(chunk) * r.ratio + 64) * channels_));
            size_t used = 0, made = 0;
            soxr_process(r.soxr, interleaved, static_cast<size_t>(chunk), &used, r.out.data(),
                         r.out.size() / static_cast<size_t>(channels_), &made);
            measure(r.out.data(), static_cast<int64_t>(made));
            if (used == 0 && made == 0) break;  // cannot happen with room for the whole output
            interleaved += static_cast<int64_t>(used) * channels_;
            frames -= static_cast<int64_t>(used);
        }
        return;
    }
#endif
    measure(interleaved, frames);
}

void LoudnessMeter::finish()
{
#if defined(PLUMBRA_HAVE_SOXR)
    if (!resampler_ || !state_ || released_) return;
    Resampler& r = *resampler_;
    r.out.resize(static_cast<size_t>(4096 * channels_));
    for (size_t made = 1; made > 0;) {
        made = 0;
        soxr_process(r.soxr, nullptr, 0, nullptr, r.out.data(), 4096, &made);
        measure(r.out.data(), static_cast<int64_t>(made));
    }
    resampler_.reset();
#endif
}

void LoudnessMeter::measure(const float* interleaved, int64_t frames)
{
    while (frames > 0) {
        const int64_t n = std::min(frames, nextMark_ - frames_);
        if (n > 0) {
            ebur128_add_frames_float(state_, interleaved, static_cast<size_t>(n));
            interleaved += n * channels_;
            frames -= n;
            frames_ += n;
        }
        if (frames_ == nextMark_) {
            double st = -HUGE_VAL;
            if (ebur128_loudness_shortterm(state_, &st) != EBUR128_SUCCESS) st = -HUGE_VAL;
            shortTerm_.push_back(static_cast<float>(st));
            ++marks_;
            nextMark_ = markFrame(marks_, rate_);
        }
    }
}

LoudnessSummary LoudnessMeter::summary() const
{
    if (released_) return kept_;
    LoudnessSummary s;
    s.frames = inputFrames_;
    if (!state_) return s;
    double v = -HUGE_VAL;
    if (ebur128_loudness_global(state_, &v) != EBUR128_SUCCESS) v = -HUGE_VAL;
    s.integratedLufs = v;
    v = 0;
    if (ebur128_loudness_range(state_, &v) != EBUR128_SUCCESS) v = 0;
    s.rangeLu = v;
    double peak = 0;
    for (int c = 0; c < channels_; ++c) {
        double p = 0;
        if (ebur128_true_peak(state_, static_cast<unsigned>(c), &p) == EBUR128_SUCCESS) peak = std::max(peak, p);
    }
    s.truePeakDbtp = peak > 0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
    peak = 0;
    for (int c = 0; c < channels_; ++c) {
        double p = 0;
        if (ebur128_sample_peak(state_, static_cast<unsigned>(c), &p) == EBUR128_SUCCESS) peak = std::max(peak, p);
    }
    if (rate_ != originalRate_) peak = samplePeak_;  // the resampled programme's would be another
    s.samplePeakDbfs = peak > 0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
    return s;
}

void LoudnessMeter::release()
{
    if (released_ || !state_) return;
    kept_ = summary();
    released_ = true;
    shortTerm_ = {};
    resampler_.reset();
    // A change of channels and rate reallocates the filters and audio buffer at the
    // smallest size while the gating history stays.
    if (ebur128_change_parameters(state_, 1, 8000) == EBUR128_ERROR_NOMEM) state_ = nullptr;
}

LoudnessSummary LoudnessMeter::combined(const std::vector<const LoudnessMeter*>& meters)
{
    LoudnessSummary s;
    s.integratedLufs = -HUGE_VAL;
    s.truePeakDbtp = -HUGE_VAL;
    s.samplePeakDbfs = -HUGE_VAL;
    std::vector<ebur128_state*> states;
    for (const LoudnessMeter* m : meters) {
        if (!m->state_) continue;
        states.push_back(m->state_);
        const LoudnessSummary one = m->summary();
        s.truePeakDbtp = std::max(s.truePeakDbtp, one.truePeakDbtp);
        s.samplePeakDbfs = std::max(s.samplePeakDbfs, one.samplePeakDbfs);
        s.frames += one.frames;
    }
    if (states.empty()) return s;
    double v = -HUGE_VAL;
    if (ebur128_loudness_global_multiple(states.data(), states.size(), &v) == EBUR128_SUCCESS) s.integratedLufs = v;
    v = 0;
    if (ebur128_loudness_range_multiple(states.data(), states.size(), &v) == EBUR128_SUCCESS) s.rangeLu = v;
    return s;
}

}  // namespace plumbra::host
