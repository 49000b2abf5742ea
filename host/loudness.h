// Loudness measurement with libebur128: integrated loudness, loudness range and
// true peak of a whole programme, plus its short-term loudness (3 s window)
// every 100 ms for the plot. Memory grows only by one float per 100 ms.
#pragma once

#include <cstdint>
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

private:
    ebur128_state* state_ = nullptr;
    int channels_;
    int rate_;
    int64_t frames_ = 0;
    int64_t nextMark_ = 0;  // frame count at which the next short-term value is taken
    int marks_ = 0;
    std::vector<float> shortTerm_;
    bool released_ = false;
    LoudnessSummary kept_;  // the summary taken at release()
};

}  // namespace plumbra::host
