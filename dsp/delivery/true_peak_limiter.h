// True-peak limiter: holds the peaks of a signal between its samples, as a
// meter that oversamples it sees them, at or below a ceiling. Used after the
// processor when a programme is delivered to a loudness target.
//
// Detection: each interval between two samples is looked at in kOversampling
// points, interpolated by a Kaiser-windowed sinc of kTaps taps per point; the
// peak of an interval is the largest of its two samples and these points,
// linked over the channels. A sample's required gain is the ceiling over the
// larger peak of the two intervals it bounds (1 when that is below the ceiling).
//
// Gain: the smallest required gain of the last L samples (the look-ahead) is
// held, recovers towards 1 with the release time constant, and is averaged over
// L samples. A held minimum averaged over the window it was held for is at every
// sample at most the gain that sample requires, so the gain ramps down over the
// look-ahead before a peak and is never above what the peak asks for. While no
// sample of the window asked for less than 1 the gain is exactly 1, so where the
// limiter never acts its output is the delayed input, bit for bit.
//
// Latency: kDetectorDelay - 1 + L samples, L = lookAhead(rate); a constant of
// the rate. 32-bit float arithmetic; coefficients from + - * / and sqrt only,
// so they are the same bits on every platform.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "dsp/blocks/sections.h"
#include "dsp/simd/chainmath.h"

namespace plumbra {

class TruePeakLimiter {
public:
    static constexpr int kMaxChannels = 2;
    static constexpr int kOversampling = 8;           // points per interval: the samples and 7 between
    static constexpr int kTaps = 48;                  // taps of each interpolating phase
    static constexpr int kDetectorDelay = kTaps / 2;  // samples the interpolator looks ahead
    static constexpr float kKaiserBeta = 7.0f;        // window of the interpolating sinc (about 70 dB stop band)
    static constexpr float kLookAheadSeconds = 0.0015f;
    static constexpr int kMinLookAhead = 8;
    static constexpr int kMaxLookAhead = 512;        // 2.7 ms at 192 kHz
    static constexpr float kReleaseSeconds = 0.08f;  // time constant of the recovery towards 1
    // The detector aims this far below the ceiling, for what an interpolator of
    // another design (a meter's) sees beyond this one's and for the gain's own
    // modulation of the spectrum.
    static constexpr float kMargin = 0.96605088f;  // -0.3 dB
    // Detection input is clamped to this magnitude so that the interpolator cannot
    // overflow; NaN and infinities are detected as this peak.
    static constexpr float kDetectLimit = 1e30f;
    // 2^-25: 1 - d rounds to 1 in float for every smaller deficit d.
    static constexpr float kDeficitFloor = 2.98023224e-08f;

    // Sines of pi*p/kOversampling, p = 0..kOversampling.
    static constexpr std::array<float, kOversampling + 1> kSinPiP = {
        0.0f, 0.38268343f, 0.70710678f, 0.92387953f, 1.0f, 0.92387953f, 0.70710678f, 0.38268343f, 0.0f};

    static int lookAhead(float rate)
    {
        const int l = static_cast<int>(rate * kLookAheadSeconds + 0.5f);
        return std::clamp(l, kMinLookAhead, kMaxLookAhead);
    }
    static int latencyFor(float rate) { return kDetectorDelay - 1 + lookAhead(rate); }

    // Sets rate, channel count (1 or 2) and ceiling (linear, e.g. 0.891 for -1 dBTP), and clears.
    void prepare(float rate, int channels, float ceiling)
    {
        channels_ = std::clamp(channels, 1, kMaxChannels);
        lookAhead_ = lookAhead(rate);
        delay_ = kDetectorDelay - 1 + lookAhead_;
        threshold_ = ceiling * kMargin;
        release_ = chainmath::exp(-1.0f / (kReleaseSeconds * rate));
        designInterpolator(coef_);
        clear();
    }

    int latency() const { return delay_; }

    void clear()
    {
        for (auto& r : delayLine_) r.clear();
        for (auto& h : history_) h.fill(0.0f);
        held_ = {};
        deficits_.fill(0.0f);
        histPos_ = {};
        pos_ = 0;
        boxPos_ = 0;
        deficitSum_ = 0.0f;
        nonZero_ = 0;
        heldDeficit_ = 0.0f;
        previousPeak_ = 0.0f;
        smallestGain_ = 1.0f;
        largestStep_ = 0.0f;
        gain_ = 1.0f;
    }

    // frames samples of each channel, in place.
    void process(float* const* channels, int frames)
    {
        for (int i = 0; i < frames; ++i) {
            std::array<float, kMaxChannels> x{};
            for (int c = 0; c < channels_; ++c) x[static_cast<std::size_t>(c)] = channels[c][i];
            const std::array<float, kMaxChannels> y = processFrame(x);
            for (int c = 0; c < channels_; ++c) channels[c][i] = y[static_cast<std::size_t>(c)];
        }
    }

    // One frame: returns the frame latency() samples ago times the gain.
    std::array<float, kMaxChannels> processFrame(const std::array<float, kMaxChannels>& x)
    {
        float peak = 0.0f;  // of the interval [m, m+1], m = the newest sample - kDetectorDelay
        for (std::size_t c = 0; c < static_cast<std::size_t>(channels_); ++c) {
            delayLine_[c].write(pos_, x[c]);
            peak = std::max(peak, intervalPeak(c, x[c]));
        }
        const float p = std::max(previousPeak_, peak);
        previousPeak_ = peak;
        // NaN cannot reach p: the detector's input is clamped.
        const float required = p <= threshold_ ? 1.0f : threshold_ / p;

        // The release works on the deficit 1 - gain, where a small deficit keeps its
        // precision; one too small to move 1 - deficit away from 1 ends the release.
        const float held = held_.push(required, lookAhead_);
        float deficit = std::max(1.0f - held, heldDeficit_ * release_);
        deficit = deficit < kDeficitFloor ? 0.0f : deficit;
        heldDeficit_ = deficit;
        const float leaving = deficits_[boxPos_];
        deficits_[boxPos_] = deficit;
        nonZero_ += (deficit != 0.0f ? 1 : 0) - (leaving != 0.0f ? 1 : 0);
        deficitSum_ += deficit - leaving;
        if (++boxPos_ == static_cast<std::size_t>(lookAhead_)) {
            // Once per window the sum is taken afresh, so that rounding cannot pile up.
            boxPos_ = 0;
            deficitSum_ = 0.0f;
            for (std::size_t k = 0; k < static_cast<std::size_t>(lookAhead_); ++k) deficitSum_ += deficits_[k];
        }
        if (nonZero_ == 0) deficitSum_ = 0.0f;
        const float gain = nonZero_ == 0 ? 1.0f : std::max(0.0f, 1.0f - deficitSum_ / static_cast<float>(lookAhead_));
        largestStep_ = std::max(largestStep_, std::fabs(gain - gain_));
        gain_ = gain;
        smallestGain_ = std::min(smallestGain_, gain);

        std::array<float, kMaxChannels> y{};
        for (std::size_t c = 0; c < static_cast<std::size_t>(channels_); ++c)
            y[c] = delayLine_[c].tap(pos_, static_cast<uint32_t>(delay_)) * gain;
        ++pos_;
        return y;
    }

    // The smallest gain applied since prepare() or clear(), and the largest change from one sample to the next.
    float smallestGain() const { return smallestGain_; }
    float largestStep() const { return largestStep_; }

    // Phases 1..kOversampling-1 of the interpolator: tap j weighs x[m - kDetectorDelay + 1 + j]
    // for the point m + p/kOversampling. h(u) = sin(pi*u)/(pi*u) * I0(beta*sqrt(1 - (u/R)^2))/I0(beta),
    // u = kDetectorDelay - 1 - j + p/kOversampling, R = kDetectorDelay; each phase scaled to sum 1.
    using Coefficients = std::array<std::array<float, kTaps>, kOversampling - 1>;
    static void designInterpolator(Coefficients& h)
    {
        const float r = static_cast<float>(kDetectorDelay);
        const float i0Beta = besselI0(kKaiserBeta);
        for (int p = 1; p < kOversampling; ++p) {
            auto& phase = h[static_cast<std::size_t>(p - 1)];
            float sum = 0.0f;
            for (int j = 0; j < kTaps; ++j) {
                const int whole = kDetectorDelay - 1 - j;
                const float u = static_cast<float>(whole) + static_cast<float>(p) / static_cast<float>(kOversampling);
                // sin(pi*(whole + p/8)) = (-1)^whole * sin(pi*p/8)
                const float s = (whole % 2 == 0 ? 1.0f : -1.0f) * kSinPiP[static_cast<std::size_t>(p)];
                const float q = u / r;
                const float w = besselI0(kKaiserBeta * std::sqrt(std::max(0.0f, 1.0f - q * q))) / i0Beta;
                phase[static_cast<std::size_t>(j)] = s / (kPi * u) * w;
                sum += phase[static_cast<std::size_t>(j)];
            }
            for (float& c : phase) c /= sum;
        }
    }

private:
    // The delay of the output, the longest tap of each channel's ring.
    using DelayLine = Ring<ringLengthFor(kDetectorDelay - 1 + kMaxLookAhead)>;

    // I0(x) = sum over k of ((x/2)^k / k!)^2, to float precision for x up to 10.
    static float besselI0(float x)
    {
        float term = 1.0f, sum = 1.0f;
        const float half = 0.5f * x;
        for (int k = 1; k < 40; ++k) {
            const float t = half / static_cast<float>(k);
            term *= t * t;
            sum += term;
        }
        return sum;
    }

    // Enters the newest sample of channel c into its detector and returns the
    // peak of the interval m..m+1 (m = newest - kDetectorDelay).
    float intervalPeak(std::size_t c, float newest)
    {
        const float d = std::fabs(newest) <= kDetectLimit ? newest : kDetectLimit;
        auto& h = history_[c];
        h[histPos_[c]] = d;
        h[histPos_[c] + kTaps] = d;
        histPos_[c] = (histPos_[c] + 1) % kTaps;
        const float* w = &h[histPos_[c]];  // the last kTaps detector inputs, oldest first
        const float xm = delayLine_[c].tap<kDetectorDelay>(pos_);
        const float xm1 = delayLine_[c].tap<kDetectorDelay - 1>(pos_);
        float peak = std::max(std::fabs(w[kDetectorDelay - 1]), std::fabs(w[kDetectorDelay]));
        // The samples themselves as well, unclamped, so that a finite sample above the
        // detector's limit is still held to the ceiling.
        if (const float s = std::max(std::fabs(xm), std::fabs(xm1)); s <= std::numeric_limits<float>::max())
            peak = std::max(peak, s);
        for (const auto& phase : coef_) {
            float v = 0.0f;
            for (int j = 0; j < kTaps; ++j) v += phase[static_cast<std::size_t>(j)] * w[j];
            peak = std::max(peak, std::fabs(v));
        }
        return peak;
    }

    // The smallest of the last n values pushed: a queue of values in increasing
    // order, each with the count at which it was pushed.
    struct MovingMinimum {
        static constexpr std::size_t kSize = kMaxLookAhead;  // a power of two
        std::array<float, kSize> value{};
        std::array<uint32_t, kSize> when{};
        uint32_t head = 0, tail = 0;  // the queue is [head, tail)
        uint32_t count = 0;
        float push(float v, int n)
        {
            while (tail != head && !(value[(tail - 1) & (kSize - 1)] < v)) --tail;
            value[tail & (kSize - 1)] = v;
            when[tail & (kSize - 1)] = count;
            ++tail;
            while (count - when[head & (kSize - 1)] >= static_cast<uint32_t>(n)) ++head;
            ++count;
            return value[head & (kSize - 1)];
        }
    };
    static_assert((MovingMinimum::kSize & (MovingMinimum::kSize - 1)) == 0);

    int channels_ = 1;
    int lookAhead_ = kMinLookAhead;
    int delay_ = kDetectorDelay - 1 + kMinLookAhead;
    float threshold_ = 1.0f;  // ceiling * margin
    float release_ = 0.0f;    // factor of the deficit 1 - gain per sample of the release
    Coefficients coef_{};
    std::array<DelayLine, kMaxChannels> delayLine_{};
    std::array<std::array<float, 2 * kTaps>, kMaxChannels> history_{};  // each input twice, for a straight window
    std::array<std::size_t, kMaxChannels> histPos_{};
    uint32_t pos_ = 0;  // frames entered: the rings' shared counter
    MovingMinimum held_;
    std::array<float, kMaxLookAhead> deficits_{};  // 1 - released gain, the last L
    std::size_t boxPos_ = 0;
    float deficitSum_ = 0.0f;
    int nonZero_ = 0;           // deficits of the window that are not 0
    float heldDeficit_ = 0.0f;  // 1 - the held gain after the release
    float previousPeak_ = 0.0f;
    float gain_ = 1.0f;
    float smallestGain_ = 1.0f;
    float largestStep_ = 0.0f;
};

static_assert(std::is_trivially_copyable_v<TruePeakLimiter>);

}  // namespace plumbra
