// Loudness of input and output, measured as the file is streamed.
#include "host/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace plumbra::host {

namespace {
int64_t markFrame(int mark, int rate)
{
    // Boundaries at k * 100 ms, rounded to whole frames for rates not divisible by 10.
    return (static_cast<int64_t>(mark) * rate + 5) / 10;
}
}  // namespace

LoudnessMeter::LoudnessMeter(int channels, int rate) : channels_(channels), rate_(rate)
{
    state_ = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                          EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_S);
    // A mono programme counts as one channel of weight 1 (libebur128's default for one channel).
    marks_ = 1;
    nextMark_ = markFrame(marks_, rate_);
}

LoudnessMeter::~LoudnessMeter()
{
    if (state_) ebur128_destroy(&state_);
}

void LoudnessMeter::add(const float* interleaved, int64_t frames)
{
    if (!state_) return;
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
    s.frames = frames_;
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
    s.samplePeakDbfs = peak > 0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
    return s;
}

void LoudnessMeter::release()
{
    if (released_ || !state_) return;
    kept_ = summary();
    released_ = true;
    shortTerm_ = {};
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
