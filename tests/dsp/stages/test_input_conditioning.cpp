// The four input stages (input lowpass, look-ahead normaliser with dynamic
// noise reduction, presence equaliser, pseudo-stereo decorrelator), driven
// directly in chain order, and whole-processor properties that depend on them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <vector>

#include "dsp/stages/decorrelator.h"
#include "dsp/stages/input_lowpass.h"
#include "dsp/mydsp.h"
#include "dsp/stages/noise_reduction.h"
#include "dsp/stages/presence_eq.h"

namespace {

using namespace plumbra;

constexpr double kTwoPi = 6.283185307179586;

// The working-rate constants exactly as the processor derives them.
RateConstants rateFor(int fs)
{
    auto p = std::make_unique<mydsp>();
    p->initialise(fs);
    return p->rate();
}

double toDb(double g) { return 20.0 * std::log10(g); }

// Gain in dB of a stage at frequency f: a unit sine is fed, the first `settle`
// samples are skipped and the response is demodulated over one second.
double sineGainDb(const std::function<float(float)>& stage, double f, int fs, int settle = 8192)
{
    double re = 0.0, im = 0.0;
    const int n = fs;
    for (int i = 0; i < settle + n; ++i) {
        const double ph = kTwoPi * f * i / fs;
        const float y = stage(static_cast<float>(std::sin(ph)));
        if (i >= settle) {
            re += y * std::sin(ph);
            im += y * std::cos(ph);
        }
    }
    return toDb(2.0 * std::hypot(re, im) / n);
}

std::unique_ptr<InputLowpass> makeLowpass(float fc, const RateConstants& rc)
{
    auto lp = std::make_unique<InputLowpass>();
    lp->design(fc, rc);
    lp->clear();
    return lp;
}

std::unique_ptr<NoiseReduction> makeNoiseReduction(const RateConstants& rc)
{
    auto nr = std::make_unique<NoiseReduction>();
    nr->design(rc);
    nr->clear();
    return nr;
}

std::unique_ptr<PresenceEq> makeEq(const RateConstants& rc)
{
    auto eq = std::make_unique<PresenceEq>();
    eq->design(rc);
    eq->clear();
    return eq;
}

std::unique_ptr<Decorrelator> makeDecorrelator()
{
    auto dc = std::make_unique<Decorrelator>();
    dc->design();
    dc->clear();
    return dc;
}

std::vector<float> noise(std::size_t count, float amplitude, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> v(count);
    for (auto& x : v) x = dist(gen);
    return v;
}

// ---------------------------------------------------------------------------
// Input lowpass

TEST(InputLowpass, ResponseAtDefaultCorner)
{
    const RateConstants rc = rateFor(44100);
    struct Point {
        double f, expectDb, tolDb;
    };
    const Point points[] = {
        {1000, -0.2, 0.1}, {9000, -0.5, 0.15}, {9700, -3.2, 0.15}, {10500, -21.0, 0.5}, {12000, -66.0, 1.0},
    };
    for (const Point& pt : points) {
        auto lp = makeLowpass(9700.0f, rc);
        const double g = sineGainDb([&](float x) { return lp->process(x); }, pt.f, 44100);
        std::cout << "input lowpass at " << pt.f << " Hz: " << g << " dB (expected about " << pt.expectDb
                  << ")\n";
        EXPECT_NEAR(g, pt.expectDb, pt.tolDb) << "at " << pt.f << " Hz";
    }
}

TEST(InputLowpass, DcGainAndNotches)
{
    const RateConstants rc = rateFor(44100);
    auto lp = makeLowpass(9700.0f, rc);
    float y = 0.0f;
    for (int i = 0; i < 20000; ++i) y = lp->process(1.0f);
    std::cout << "input lowpass DC gain: " << y << " (expected 0.97725)\n";
    EXPECT_NEAR(y, 0.97725, 2e-5);

    // The elliptic zeros lie where tan(pi*f/fs) = z*tan(pi*Fc/fs).
    const double K = std::tan(M_PI * 9700.0 / 44100.0);
    for (double z : {2.0814, 2.7608, 7.3168}) {
        const double f = std::atan(z * K) * 44100.0 / M_PI;
        auto l = makeLowpass(9700.0f, rc);
        const double g = sineGainDb([&](float x) { return l->process(x); }, f, 44100);
        std::cout << "input lowpass notch at " << f << " Hz: " << g << " dB\n";
        EXPECT_LT(g, -90.0) << "at " << f << " Hz";
    }
}

TEST(InputLowpass, CornerFollowsControlAndStaysStableAboveNyquist)
{
    // At 22050 Hz the top of the "Lowpass Filter" range lies above the Nyquist
    // frequency; the corner is held just below it and the filter stays stable.
    const RateConstants rc = rateFor(22050);
    auto lp = makeLowpass(15000.0f, rc);
    const std::vector<float> in = noise(44100, 1.0f, 7);
    float peak = 0.0f;
    for (float x : in) peak = std::max(peak, std::fabs(lp->process(x)));
    EXPECT_TRUE(std::isfinite(peak));
    EXPECT_LT(peak, 4.0f);

    // At 44100 Hz a 3000 Hz corner puts 4000 Hz far into the stop band.
    const RateConstants rc44 = rateFor(44100);
    auto low = makeLowpass(3000.0f, rc44);
    const double g = sineGainDb([&](float x) { return low->process(x); }, 4000.0, 44100);
    EXPECT_LT(g, -20.0);
}

// ---------------------------------------------------------------------------
// Input normaliser and dynamic noise reduction

TEST(NoiseReduction, SilenceGivesZeroAndCutoffFloor)
{
    const RateConstants rc = rateFor(44100);
    for (float fMin : {0.0f, 22000.0f}) {
        auto nr = makeNoiseReduction(rc);
        uint32_t n = 0;
        for (int i = 0; i < 30000; ++i, ++n) ASSERT_EQ(nr->process(0.0f, n, 300.0f, fMin), 0.0f) << "sample " << i;
        const float expected = fMin > 0.0f ? 22000.0f : 1000.0f;
        std::cout << "silence cutoff (floor " << fMin << "): " << nr->currentCutoff() << " Hz\n";
        EXPECT_EQ(nr->currentCutoff(), expected);
    }
}

TEST(NoiseReduction, SteadySignalIsDelayedBy346Samples)
{
    const RateConstants rc = rateFor(44100);
    // A step: nothing comes out before sample 346, then the level settles to the input.
    auto nr = makeNoiseReduction(rc);
    std::vector<float> out(20000);
    for (uint32_t n = 0; n < out.size(); ++n) out[n] = nr->process(0.5f, n, 300.0f, 0.0f);
    int first = -1;
    for (int i = 0; i < static_cast<int>(out.size()); ++i)
        if (out[i] != 0.0f) {
            first = i;
            break;
        }
    std::cout << "first output of a step at sample " << first << " (expected 346), settled level " << out.back()
              << " (expected 0.5)\n";
    EXPECT_EQ(first, 346);
    EXPECT_NEAR(out.back(), 0.5f, 1e-4f);

    // A steady 300 Hz sine with the dynamic lowpass wide open comes out as the
    // input 346 samples earlier.
    auto open = makeNoiseReduction(rc);
    const int total = 30000;
    std::vector<float> in(total), y(total);
    for (int i = 0; i < total; ++i) in[i] = static_cast<float>(0.3 * std::sin(kTwoPi * 300.0 * i / 44100.0));
    for (int i = 0; i < total; ++i) y[i] = open->process(in[i], static_cast<uint32_t>(i), 300.0f, 22000.0f);
    double worst = 0.0;
    for (int i = 20000; i < total; ++i) worst = std::max(worst, std::fabs(double(y[i]) - in[i - 346]));
    std::cout << "sine vs input 346 samples earlier: max difference " << worst << "\n";
    EXPECT_LT(worst, 0.3 * 0.01);
}

TEST(NoiseReduction, CutoffFollowsTrebleContentAndSensitivity)
{
    const RateConstants rc = rateFor(44100);
    auto cutoffAfter = [&](const std::vector<float>& in, float s) {
        auto nr = makeNoiseReduction(rc);
        for (uint32_t n = 0; n < in.size(); ++n) nr->process(in[n], n, s, 0.0f);
        return nr->currentCutoff();
    };
    // A 100 Hz tone leaves about a tenth of its level after the 1000 Hz
    // highpass; its rectified mean (about 0.063 of the normalised level) times
    // 500 Hz times the sensitivity sets the cutoff.
    std::vector<float> dull(30000);
    for (int i = 0; i < 30000; ++i) dull[i] = static_cast<float>(0.5 * std::sin(kTwoPi * 100.0 * i / 44100.0));
    const std::vector<float> bright = noise(30000, 0.5f, 3);
    const float dull300 = cutoffAfter(dull, 300.0f);
    const float dull100 = cutoffAfter(dull, 100.0f);
    const float dull10 = cutoffAfter(dull, 10.0f);
    const float bright300 = cutoffAfter(bright, 300.0f);
    const float bright30 = cutoffAfter(bright, 30.0f);
    std::cout << "cutoff for a 100 Hz tone: " << dull300 << " Hz (S=300), " << dull100 << " Hz (S=100), " << dull10
              << " Hz (S=10); white noise: " << bright300 << " Hz (S=300), " << bright30 << " Hz (S=30)\n";
    EXPECT_NEAR(dull300, 300.0f * 500.0f * 0.0995f * 2.0f / 3.14159f, 500.0f);
    EXPECT_NEAR(dull300 / dull100, 3.0f, 1e-5f);  // in proportion to the sensitivity
    EXPECT_EQ(dull10, 1000.0f);                   // held at the lower limit
    EXPECT_EQ(bright300, 22000.0f);               // held at the upper limit
    EXPECT_GT(bright30 / 30.0f, 5.0f * dull300 / 300.0f);  // white noise: far more treble per unit sensitivity
    EXPECT_LT(bright30, 22000.0f);
}

TEST(NoiseReduction, CutoffStaysBelowNyquistAtLowRates)
{
    for (int fs : {22050, 32000}) {
        const RateConstants rc = rateFor(fs);
        auto nr = makeNoiseReduction(rc);
        const std::vector<float> in = noise(20000, 1.0f, 11);
        float peak = 0.0f;
        for (uint32_t n = 0; n < in.size(); ++n)
            peak = std::max(peak, std::fabs(nr->process(in[n], n, 300.0f, 22000.0f)));
        EXPECT_LT(nr->currentCutoff(), 0.5f * rc.fs) << "at " << fs << " Hz";
        EXPECT_TRUE(std::isfinite(peak)) << "at " << fs << " Hz";
        EXPECT_LT(peak, 4.0f) << "at " << fs << " Hz";
    }
}

// ---------------------------------------------------------------------------
// Presence equaliser

TEST(PresenceEq, ResponseAt44100)
{
    const RateConstants rc = rateFor(44100);
    struct Point {
        double f, expectDb;
    };
    const Point points[] = {{100, 0.0},  {1000, 0.0}, {4600, -2.3}, {5100, 4.0},
                            {5500, 4.5}, {6000, 3.7}, {8000, 0.3},  {12000, 0.0}};
    for (const Point& pt : points) {
        auto eq = makeEq(rc);
        const double g = sineGainDb([&](float x) { return eq->process(x, false); }, pt.f, 44100);
        std::cout << "presence EQ at " << pt.f << " Hz: " << g << " dB (expected about " << pt.expectDb << ")\n";
        EXPECT_NEAR(g, pt.expectDb, 0.1) << "at " << pt.f << " Hz";
    }
}

TEST(PresenceEq, EachSectionHasThreeDecibelsAtItsCentre)
{
    const RateConstants rc = rateFor(44100);
    auto eq = makeEq(rc);
    for (std::size_t j = 0; j < PresenceEq::kBands.size(); ++j) {
        Sos s = eq->sections.section(j);
        const double g = sineGainDb([&](float x) { return s.process(x); }, PresenceEq::kBands[j].f0, 44100, 20000);
        EXPECT_NEAR(g, PresenceEq::kBands[j].boost ? 3.0 : -3.0, 0.01) << "section " << j + 1;
    }
}

TEST(PresenceEq, BypassIsSampleExactWhileSectionsKeepRunning)
{
    const RateConstants rc = rateFor(44100);
    auto a = makeEq(rc);  // bypassed for the first half
    auto b = makeEq(rc);  // never bypassed
    const std::vector<float> in = noise(8000, 1.0f, 5);
    for (std::size_t i = 0; i < in.size(); ++i) {
        const float ya = a->process(in[i], i < 4000);
        const float yb = b->process(in[i], false);
        if (i < 4000)
            ASSERT_EQ(std::memcmp(&ya, &in[i], sizeof(float)), 0) << "sample " << i;
        else
            ASSERT_EQ(std::memcmp(&ya, &yb, sizeof(float)), 0) << "sample " << i;
    }
}

// ---------------------------------------------------------------------------
// Pseudo-stereo decorrelator

TEST(Decorrelator, ChannelsSumToTwiceTheInput)
{
    auto dc = makeDecorrelator();
    const std::vector<float> in = noise(5000, 1.0f, 9);
    double worst = 0.0;
    for (uint32_t n = 0; n < in.size(); ++n) {
        const StereoPair p = dc->process(in[n], n);
        const double err = std::fabs(double(p.left) + p.right - 2.0 * in[n]);
        const double scale = std::fabs(p.left) + std::fabs(p.right);
        worst = std::max(worst, err / std::max(scale, 1e-30));
    }
    std::cout << "decorrelator |left + right - 2x| relative: " << worst << "\n";
    EXPECT_LT(worst, 1e-6);
}

TEST(Decorrelator, DispersedCopyStartsAfter300Samples)
{
    auto dc = makeDecorrelator();
    const int total = 40000;
    std::vector<StereoPair> out(total);
    for (int i = 0; i < total; ++i) out[i] = dc->process(i == 0 ? 1.0f : 0.0f, static_cast<uint32_t>(i));
    EXPECT_EQ(out[0].left, 1.0f);
    EXPECT_EQ(out[0].right, 1.0f);
    int onset = -1;
    double energy = 0.0;
    for (int i = 1; i < total; ++i) {
        // Only the copy: with positive sign on the left, negative on the right.
        EXPECT_EQ(out[i].left, -out[i].right) << "sample " << i;
        if (onset < 0 && out[i].left != 0.0f) onset = i;
        energy += double(out[i].left) * out[i].left;
    }
    // The first dispersed sample is the product of the sixty coefficients.
    double product = 1.0;
    for (int s = 0; s < 60; ++s) product *= Decorrelator::kCycle[s % 4];
    std::cout << "dispersed copy onset at sample " << onset << " (expected 300), first value " << out[300].left
              << " (expected " << product << "), energy " << energy << " (expected 1)\n";
    EXPECT_EQ(onset, 300);
    EXPECT_NEAR(out[300].left / product, 1.0, 1e-4);
    EXPECT_NEAR(energy, 1.0, 1e-3);  // the chain is allpass
}

// ---------------------------------------------------------------------------
// The whole processor

std::vector<float> render(mydsp& p, const std::vector<float>& in, const std::vector<int>& blocks,
                          std::vector<float>* right = nullptr)
{
    std::vector<float> o0(in.size()), o1(in.size());
    std::size_t pos = 0;
    std::size_t b = 0;
    while (pos < in.size()) {
        const int len = std::min<int>(blocks[b++ % blocks.size()], static_cast<int>(in.size() - pos));
        float* ins[2] = {const_cast<float*>(in.data() + pos), const_cast<float*>(in.data() + pos)};
        float* outs[2] = {o0.data() + pos, o1.data() + pos};
        p.processBlock(len, ins, outs);
        pos += len;
    }
    if (right) *right = o1;
    return o0;
}

TEST(Processor, BlockSizeInvariance)
{
    const std::vector<float> in = noise(30000, 0.8f, 13);
    auto one = std::make_unique<mydsp>();
    one->initialise(44100);
    std::vector<float> r1, r2;
    const std::vector<float> l1 = render(*one, in, {static_cast<int>(in.size())}, &r1);

    std::mt19937 gen(17);
    std::vector<int> sizes;
    for (int i = 0; i < 200; ++i) sizes.push_back(std::uniform_int_distribution<int>(1, 700)(gen));
    sizes.insert(sizes.begin(), {1, 7, 64, 512, 4096});
    auto many = std::make_unique<mydsp>();
    many->initialise(44100);
    const std::vector<float> l2 = render(*many, in, sizes, &r2);

    EXPECT_EQ(std::memcmp(l1.data(), l2.data(), l1.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(r1.data(), r2.data(), r1.size() * sizeof(float)), 0);
    EXPECT_EQ(one->ringCounter(), many->ringCounter());
}

TEST(Processor, StableAtEveryRateWithLoudNoiseAndExtremeControls)
{
    const std::vector<float> in = noise(48000, 4.0f, 19);
    for (int fs : {22050, 32000, 48000, 96000, 192000}) {
        for (int variant = 0; variant < 2; ++variant) {
            auto p = std::make_unique<mydsp>();
            p->initialise(fs);
            Controls& c = p->controls();
            c.lowpassFreq = variant ? 15000.0f : 1000.0f;
            c.dnrLpfDisable = variant ? 1.0f : 0.0f;
            c.dnrSensitivity = variant ? 300.0f : 10.0f;
            c.disableWrmiEq = variant ? 0.0f : 1.0f;
            std::vector<float> right;
            const std::vector<float> left = render(*p, in, {512}, &right);
            float peak = 0.0f;
            bool finite = true;
            for (std::size_t i = 0; i < left.size(); ++i) {
                finite = finite && std::isfinite(left[i]) && std::isfinite(right[i]);
                peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
            }
            std::cout << fs << " Hz, variant " << variant << ": peak " << peak << "\n";
            EXPECT_TRUE(finite) << fs << " Hz, variant " << variant;
            EXPECT_LT(peak, 40.0f) << fs << " Hz, variant " << variant;
        }
    }
}

TEST(Processor, RecoversFromNonFiniteInput)
{
    auto p = std::make_unique<mydsp>();
    p->initialise(44100);
    std::vector<float> in = noise(20000, 0.5f, 23);
    for (int i = 1000; i < 1100; ++i) in[i] = (i % 3 == 0)   ? std::numeric_limits<float>::quiet_NaN()
                                              : (i % 3 == 1) ? std::numeric_limits<float>::infinity()
                                                             : -std::numeric_limits<float>::infinity();
    std::vector<float> right;
    const std::vector<float> left = render(*p, in, {256}, &right);
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_TRUE(std::isfinite(left[i])) << "sample " << i;
        ASSERT_TRUE(std::isfinite(right[i])) << "sample " << i;
    }
    float tail = 0.0f;
    for (std::size_t i = 15000; i < left.size(); ++i) tail = std::max(tail, std::fabs(left[i]));
    EXPECT_GT(tail, 0.01f);  // the programme still comes through afterwards
}

}  // namespace
