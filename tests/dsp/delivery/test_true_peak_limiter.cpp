// The true-peak limiter driven directly: its ceiling on signals whose peaks lie
// between the samples, as an independent meter (libebur128) measures them; its
// exact passthrough where it never acts; its latency; its gain's smoothness; and
// what it does with extreme input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#if defined(PLUMBRA_HAVE_EBUR128)
#include <ebur128.h>
#endif

#include "dsp/delivery/true_peak_limiter.h"

namespace {

using plumbra::TruePeakLimiter;


struct Stereo {
    std::vector<float> l, r;
};

// Runs the limiter over a programme in blocks of 256 and then latency() zeros,
// returning the output with the latency removed (aligned with the input).
Stereo limit(TruePeakLimiter& lim, const Stereo& in)
{
    Stereo out{in.l, in.r};
    const int lat = lim.latency();
    out.l.resize(in.l.size() + static_cast<size_t>(lat), 0.0f);
    out.r.resize(in.r.size() + static_cast<size_t>(lat), 0.0f);
    for (size_t at = 0; at < out.l.size(); at += 256) {
        const int n = static_cast<int>(std::min<size_t>(256, out.l.size() - at));
        float* ch[2] = {out.l.data() + at, out.r.data() + at};
        lim.process(ch, n);
    }
    out.l.erase(out.l.begin(), out.l.begin() + lat);
    out.r.erase(out.r.begin(), out.r.begin() + lat);
    return out;
}

#if defined(PLUMBRA_HAVE_EBUR128)
constexpr double kPiD = 3.14159265358979323846;

double dbOf(double linear) { return 20.0 * std::log10(linear); }

// True peak in dBTP as libebur128 measures it.
double meterTruePeak(const Stereo& s, int rate)
{
    ebur128_state* st = ebur128_init(2, static_cast<unsigned long>(rate), EBUR128_MODE_TRUE_PEAK);
    std::vector<float> inter(2 * s.l.size());
    for (size_t i = 0; i < s.l.size(); ++i) {
        inter[2 * i] = s.l[i];
        inter[2 * i + 1] = s.r[i];
    }
    ebur128_add_frames_float(st, inter.data(), s.l.size());
    double peak = 0;
    for (unsigned c = 0; c < 2; ++c) {
        double p = 0;
        ebur128_true_peak(st, c, &p);
        peak = std::max(peak, p);
    }
    ebur128_destroy(&st);
    return dbOf(peak);
}

// The stressors: full-scale material whose true peak lies well above its sample peak.
struct Stressor {
    std::string name;
    Stereo signal;
};

std::vector<Stressor> stressors(int rate, float gain)
{
    const size_t n = static_cast<size_t>(2 * rate);  // two seconds
    std::vector<Stressor> out;
    auto sine = [&](const std::string& name, double f, double phase, double phaseR) {
        Stereo s{std::vector<float>(n), std::vector<float>(n)};
        for (size_t i = 0; i < n; ++i) {
            s.l[i] = gain * static_cast<float>(std::sin(2 * kPiD * f * static_cast<double>(i) / rate + phase));
            s.r[i] = gain * static_cast<float>(std::sin(2 * kPiD * f * static_cast<double>(i) / rate + phaseR));
        }
        out.push_back({name, s});
    };
    // Scaled so that the samples reach full scale: the peaks between them lie above it.
    auto fullScale = [&](Stereo& s) {
        float p = 0;
        for (size_t i = 0; i < n; ++i) p = std::max({p, std::fabs(s.l[i]), std::fabs(s.r[i])});
        for (size_t i = 0; i < n; ++i) {
            s.l[i] *= gain / p;
            s.r[i] *= gain / p;
        }
    };
    sine("fs/4 at 45 degrees", rate / 4.0, kPiD / 4, kPiD / 4 + 0.3);
    sine("fs/4 at 30 degrees", rate / 4.0, kPiD / 6, kPiD / 3);
    sine("fs/2.2", rate / 2.2, 0.1, 1.0);
    sine("fs/2.05", rate / 2.05, kPiD / 4, 0.0);
    sine("fs/3 at 60 degrees", rate / 3.0, kPiD / 3, kPiD / 2);
    for (size_t k = 0; k < out.size(); ++k) fullScale(out[k].signal);
    // Square waves: at a period of whole samples and of a fraction of one.
    for (double f : {1000.0, 3000.0, rate / 7.3}) {
        Stereo s{std::vector<float>(n), std::vector<float>(n)};
        for (size_t i = 0; i < n; ++i) {
            const double ph = std::fmod(f * static_cast<double>(i) / rate, 1.0);
            s.l[i] = s.r[i] = gain * (ph < 0.5 ? 1.0f : -1.0f);
        }
        out.push_back({"square " + std::to_string(static_cast<int>(f)) + " Hz", s});
    }
    // Clipped: harmonic-rich tones driven 12 dB into a hard clip at full scale.
    {
        Stereo s{std::vector<float>(n), std::vector<float>(n)};
        for (size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) / rate;
            const double v = 4.0 * (0.6 * std::sin(2 * kPiD * 220 * t) + 0.3 * std::sin(2 * kPiD * 3300 * t + 1) +
                                    0.2 * std::sin(2 * kPiD * 9100 * t + 2));
            s.l[i] = gain * static_cast<float>(std::clamp(v, -1.0, 1.0));
            s.r[i] = gain * static_cast<float>(std::clamp(-v * 0.9, -1.0, 1.0));
        }
        out.push_back({"clipped tones", s});
    }
    // Brick-wall limited: loud noise with its samples held under full scale, as a
    // sample-peak limiter leaves it (mostly flat-topped, the rest pulled to the ceiling).
    {
        std::mt19937 rng(11);
        std::normal_distribution<float> g(0.0f, 0.7f);
        Stereo s{std::vector<float>(n), std::vector<float>(n)};
        for (size_t i = 0; i < n; ++i) {
            s.l[i] = gain * std::clamp(g(rng), -1.0f, 1.0f);
            s.r[i] = gain * std::clamp(g(rng), -1.0f, 1.0f);
        }
        out.push_back({"brick-wall limited noise", s});
    }
    return out;
}
#endif

float ceilingOf(double dbtp) { return static_cast<float>(std::pow(10.0, dbtp / 20.0)); }

TEST(TruePeakLimiter, StressorsStayAtOrBelowTheCeilingOnAnIndependentMeterWithSmoothGain)
{
#if !defined(PLUMBRA_HAVE_EBUR128)
    GTEST_SKIP() << "libebur128 is not available for this toolchain: no independent meter";
#else
    for (int rate : {44100, 48000, 96000}) {
        for (double ceiling : {-1.0, -2.0}) {
            for (const Stressor& s : stressors(rate, 1.0f)) {
                TruePeakLimiter lim;
                lim.prepare(static_cast<float>(rate), 2, ceilingOf(ceiling));
                const double before = meterTruePeak(s.signal, rate);
                const Stereo out = limit(lim, s.signal);
                const double after = meterTruePeak(out, rate);
                SCOPED_TRACE(s.name + " at " + std::to_string(rate) + " Hz, ceiling " + std::to_string(ceiling));
                EXPECT_GT(before, ceiling + 0.9);  // the stressor does stress it
                EXPECT_LE(after, ceiling);
                // Not limited to death: the limiter takes what the peaks ask and a little more.
                EXPECT_GT(after, ceiling - 1.0);
                // The gain ramps over the look-ahead: no step of more than the whole reduction over it.
                const float reduction = 1.0f - lim.smallestGain();
                EXPECT_LE(lim.largestStep(), reduction / static_cast<float>(TruePeakLimiter::lookAhead(
                                                             static_cast<float>(rate))) * 1.001f);
            }
        }
    }
#endif
}

TEST(TruePeakLimiter, WhereItNeverActsTheOutputIsTheDelayedInputBitForBit)
{
    const int rate = 48000;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-0.25f, 0.25f);
    // Noise at most -12 dBFS: its true peak stays well below a -1 dBTP ceiling.
    Stereo in{std::vector<float>(48000), std::vector<float>(48000)};
    for (size_t i = 0; i < in.l.size(); ++i) {
        in.l[i] = u(rng);
        in.r[i] = u(rng) * 0.25f;
    }
    TruePeakLimiter lim;
    lim.prepare(rate, 2, ceilingOf(-1.0));
    const Stereo out = limit(lim, in);
    EXPECT_EQ(lim.smallestGain(), 1.0f);
    EXPECT_EQ(0, std::memcmp(out.l.data(), in.l.data(), in.l.size() * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(out.r.data(), in.r.data(), in.r.size() * sizeof(float)));

    // One loud burst in the middle of the same noise: the limiter acts around it only, and
    // once its release has run out (about 20 time constants) the output is the input again.
    Stereo burst = in;
    burst.l.resize(150000, 0.1f);
    burst.r.resize(150000, -0.1f);
    for (size_t i = 20000; i < 20480; ++i) burst.l[i] *= 8.0f;
    lim.prepare(rate, 2, ceilingOf(-1.0));
    const Stereo out2 = limit(lim, burst);
    EXPECT_LT(lim.smallestGain(), 0.5f);
    const size_t before = 20000 - static_cast<size_t>(TruePeakLimiter::lookAhead(rate) + TruePeakLimiter::kDetectorDelay);
    const size_t after = 20480 + static_cast<size_t>(20 * TruePeakLimiter::kReleaseSeconds * rate);
    EXPECT_EQ(0, std::memcmp(out2.l.data(), burst.l.data(), before * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(out2.l.data() + after, burst.l.data() + after, (burst.l.size() - after) * sizeof(float)));
    EXPECT_NE(0, std::memcmp(out2.l.data() + before, burst.l.data() + before, (after - before) * sizeof(float)));
}

TEST(TruePeakLimiter, LatencyIsAConstantOfTheRateAndAnImpulseComesOutThatLate)
{
    for (int rate : {8000, 22050, 44100, 48000, 96000, 192000}) {
        TruePeakLimiter lim;
        lim.prepare(static_cast<float>(rate), 1, 1.0f);
        EXPECT_EQ(lim.latency(), TruePeakLimiter::latencyFor(static_cast<float>(rate)));
        EXPECT_LE(lim.latency(), TruePeakLimiter::kDetectorDelay + TruePeakLimiter::kMaxLookAhead);
        // Impulses below the ceiling, in blocks of odd sizes: each comes out latency() later, unchanged.
        std::vector<float> x(5000, 0.0f);
        for (size_t k : {0u, 7u, 1999u, 3001u}) x[k] = 0.5f;
        std::vector<float> y = x;
        for (size_t at = 0, b = 1; at < y.size(); at += b, b = b * 3 % 509 + 1) {
            float* ch[2] = {y.data() + at, nullptr};  // mono: the second is never touched
            lim.process(ch, static_cast<int>(std::min(b, y.size() - at)));
        }
        const size_t lat = static_cast<size_t>(lim.latency());
        for (size_t i = 0; i < y.size(); ++i) EXPECT_EQ(y[i], i >= lat ? x[i - lat] : 0.0f) << "rate " << rate << " at " << i;
    }
}

TEST(TruePeakLimiter, ExtremeInputGivesNoNaNAndANaNSampleStaysWhereItIs)
{
    const int rate = 48000;
    TruePeakLimiter lim;
    lim.prepare(rate, 2, ceilingOf(-1.0));
    const float big = std::numeric_limits<float>::max();
    Stereo in{std::vector<float>(20000), std::vector<float>(20000)};
    for (size_t i = 0; i < in.l.size(); ++i) {
        in.l[i] = (i / 3) % 2 ? big : -big;  // full-range square wave
        in.r[i] = i % 997 == 0 ? 1e30f : 0.1f;
    }
    Stereo out = limit(lim, in);
    for (size_t i = 0; i < out.l.size(); ++i) {
        ASSERT_TRUE(std::isfinite(out.l[i]) && std::isfinite(out.r[i])) << i;
        ASSERT_LE(std::fabs(out.r[i]), 1.0f) << i;
    }
    // A NaN and an infinity in the input: they come out where they were, the samples
    // around them are muted rather than poisoned, and the rest is untouched.
    Stereo quiet{std::vector<float>(100000, 0.25f), std::vector<float>(100000, 0.25f)};
    quiet.l[5000] = std::numeric_limits<float>::quiet_NaN();
    quiet.r[9000] = std::numeric_limits<float>::infinity();
    lim.prepare(rate, 2, ceilingOf(-1.0));
    out = limit(lim, quiet);
    for (size_t i = 0; i < out.l.size(); ++i) {
        if (i == 5000) {
            EXPECT_TRUE(std::isnan(out.l[i]));
        } else if (i == 9000) {
            EXPECT_FALSE(std::isfinite(out.r[i]));
        } else {
            ASSERT_TRUE(std::isfinite(out.l[i]) && std::isfinite(out.r[i])) << i;
            ASSERT_LE(std::fabs(out.l[i]), 0.25f) << i;
        }
    }
    EXPECT_EQ(out.l[99999], 0.25f);  // recovered fully
}

}  // namespace
