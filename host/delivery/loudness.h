// Loudness measurement with libebur128: integrated loudness, loudness range and
// true peak of a whole programme, plus its short-term loudness (3 s window)
// every 100 ms for the plot. Memory grows only by one float per 100 ms.
//
// The K-weighting filter designed at a low rate departs from the standard's (its
// shelf and highpass are defined at 48 kHz), so programmes below kLowestDirectRate
// are measured after resampling to 48 kHz with libsoxr, where the build has it
// (PLUMBRA_HAVE_SOXR); the sample peak is always the programme's own.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <ebur128.h>

namespace plumbra::host {

struct LoudnessSummary {
    double integratedLufs = 0;  // -inf for silence
    double rangeLu = 0;
    double truePeakDbtp = 0;    // -inf for digital silence
    double samplePeakDbfs = 0;  // -inf for digital silence
    int64_t frames = 0;
};

class LoudnessMeter {
public:
    LoudnessMeter(int channels, int rate);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    bool valid() const { return state_ != nullptr; }
    void add(const float* interleaved, int64_t frames);
    // The end of the programme: a resampling meter measures what its resampler still holds.
    // Call before summary(); nothing is added after it.
    void finish();
    LoudnessSummary summary() const;
    // Keeps the summary and the loudness history (for combined()) but frees the audio
    // buffers, so that many finished meters can be held at little cost. No add() after it.
    void release();
    // Integrated loudness and loudness range of several programmes taken together (their
    // gating blocks pooled), the highest peaks and the total length.
    static LoudnessSummary combined(const std::vector<const LoudnessMeter*>& meters);
    // Short-term loudness every `stepSeconds`, the first value at the end of the first step.
    const std::vector<float>& shortTerm() const { return shortTerm_; }
    static constexpr double stepSeconds = 0.1;
    static constexpr int kLowestDirectRate = 44100;
    static constexpr int kMeasuringRate = 48000;  // of programmes below kLowestDirectRate
    // Whether this build measures programmes below kLowestDirectRate at kMeasuringRate.
    static bool resamplesLowRates();

private:
    struct Resampler;
    void measure(const float* interleaved, int64_t frames);  // at the meter's rate

    ebur128_state* state_ = nullptr;
    std::unique_ptr<Resampler> resampler_;
    int64_t inputFrames_ = 0;
    float samplePeak_ = 0;  // of the programme itself, when resampled
    int channels_;
    int originalRate_ = 0;  // the programme's
    int rate_;  // the meter's: the programme's, or kMeasuringRate
    int64_t frames_ = 0;  // at the meter's rate
    int64_t nextMark_ = 0;  // frame count at which the next short-term value is taken
    int marks_ = 0;
    std::vector<float> shortTerm_;
    bool released_ = false;
    LoudnessSummary kept_;  // the summary taken at release()
};

}  // namespace plumbra::host
