// The last stages of the chain driven directly: band mix and main path,
// bandwidth expander, output equaliser and output gain control.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "dsp/stages/band_mix.h"
#include "dsp/stages/bandwidth_expander.h"
#include "dsp/stages/output_agc.h"
#include "dsp/stages/output_eq.h"

namespace {

using namespace plumbra;

RateConstants rateFor(float fs)
{
    RateConstants rc;
    rc.fs = fs;
    rc.T = 1.0f / fs;
    rc.piT = kPi * rc.T;
    return rc;
}

double toDb(double g) { return 20.0 * std::log10(g); }

// Amplitude of the component at frequency f in x[from..], by correlation with a
// complex exponential over a whole number of samples.
double amplitudeAt(const std::vector<float>& x, std::size_t from, double f, double fs)
{
    double re = 0.0, im = 0.0;
    const std::size_t n = x.size() - from;
    for (std::size_t i = from; i < x.size(); ++i) {
        const double ph = 2.0 * M_PI * f * static_cast<double>(i) / fs;
        re += x[i] * std::cos(ph);
        im += x[i] * std::sin(ph);
    }
    return 2.0 * std::sqrt(re * re + im * im) / static_cast<double>(n);
}

float peakOf(const std::vector<float>& x, std::size_t from)
{
    float p = 0.0f;
    for (std::size_t i = from; i < x.size(); ++i) p = std::max(p, std::fabs(x[i]));
    return p;
}

// ---------------------------------------------------------------------------
// Band mix and main path

BandOutputs silentBands() { return BandOutputs{}; }

// Channels A and B of a mix.
std::array<float, 2> channels(const BandOutputs& b)
{
    Mem<Lane2> m;
    store(m, mixBands(b));
    EXPECT_EQ(m[2], 0.0f);
    EXPECT_EQ(m[3], 0.0f);
    return {m[0], m[1]};
}

float& band(BandOutputs::Bands& v, int b) { return BandOutputs::band(v, b); }

TEST(BandMix, WidthZeroGivesScaledSumToBothChannels)
{
    BandOutputs b = silentBands();
    band(b.sum, 7) = 0.25f;
    band(b.diff, 7) = 0.5f;
    band(b.width, 7) = 0.0f;
    band(b.monoGain, 7) = 1.414f;
    const auto x = channels(b);
    EXPECT_FLOAT_EQ(x[0], 1.414f * 0.25f);
    EXPECT_EQ(x[0], x[1]);
}

TEST(BandMix, WidthOneGivesSumPlusAndMinusDifference)
{
    BandOutputs b = silentBands();
    for (int j = 3; j <= 12; ++j) {
        band(b.sum, j) = 0.01f * static_cast<float>(j - 2);
        band(b.diff, j) = -0.003f * static_cast<float>(j - 1);
        band(b.width, j) = 1.0f;
        band(b.monoGain, j) = 1.0f;
    }
    float s = 0.0f, d = 0.0f;
    for (int j = 3; j <= 12; ++j) {
        s += band(b.sum, j);
        d += band(b.diff, j);
    }
    const auto x = channels(b);
    EXPECT_NEAR(x[0], s + d, 1e-6f);
    EXPECT_NEAR(x[1], s - d, 1e-6f);
}

// The bands' terms added one after the other, bass bands first, band 3 up:
// the bits of the plain serial sum, whatever the values; the side values of
// bands 1 and 2 are not read.
TEST(BandMix, AddsTheBandsInOrderFromBand3Up)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int trial = 0; trial < 1000; ++trial) {
        BandOutputs b;
        for (auto* v : {&b.sum, &b.diff, &b.width, &b.monoGain})
            for (int j = 1; j <= 12; ++j) band(*v, j) = u(rng) * (j % 3 == 0 ? 1e3f : 1e-2f);
        float a = band(b.sum, 1) + band(b.sum, 2);
        float c = a;
        for (int j = 3; j <= 12; ++j) {
            const float side = band(b.width, j) * band(b.diff, j);
            a += band(b.monoGain, j) * (band(b.sum, j) + side);
            c += band(b.monoGain, j) * (band(b.sum, j) - side);
        }
        const auto x = channels(b);
        ASSERT_EQ(std::bit_cast<uint32_t>(x[0]), std::bit_cast<uint32_t>(a)) << "trial " << trial;
        ASSERT_EQ(std::bit_cast<uint32_t>(x[1]), std::bit_cast<uint32_t>(c)) << "trial " << trial;
    }
}

TEST(BandMix, BassBandsReachBothChannelsIdentically)
{
    BandOutputs b = silentBands();
    band(b.sum, 1) = -0.3f;
    band(b.sum, 2) = 0.125f;
    for (int j = 1; j <= 2; ++j) {
        band(b.diff, j) = 0.5f;
        band(b.width, j) = 1.0f;
        band(b.monoGain, j) = 1.0f;
    }
    const auto x = channels(b);
    EXPECT_EQ(x[0], -0.3f + 0.125f);
    EXPECT_EQ(x[0], x[1]);
    const auto silent = channels(silentBands());
    EXPECT_EQ(silent[0], 0.0f);
    EXPECT_EQ(silent[1], 0.0f);
}

TEST(MainPath, ShelfIsUnityAtDcAndMinus12DbAtNyquist)
{
    const RateConstants rc = rateFor(44100.0f);
    MainPath dc{}, ny{};
    dc.design(prewarp(MainPath::kCornerHz, rc));
    ny.design(prewarp(MainPath::kCornerHz, rc));
    dc.clear();
    ny.clear();
    float outDc = 0.0f, outNy = 0.0f;
    for (int i = 0; i < 4000; ++i) {
        outDc = dc.process(0.5f);
        outNy = ny.process((i & 1) ? -0.5f : 0.5f);
    }
    EXPECT_NEAR(outDc, 0.5f, 1e-5f);
    EXPECT_NEAR(toDb(std::fabs(outNy) / 0.5), -12.0, 0.01);
}

TEST(MainPath, ShelfOutputArrivesTwoSamplesLate)
{
    const RateConstants rc = rateFor(48000.0f);
    MainPath p{};
    p.design(prewarp(MainPath::kCornerHz, rc));
    p.clear();
    std::vector<float> y;
    for (int i = 0; i < 6; ++i) y.push_back(p.process(i == 0 ? 1.0f : 0.0f));
    EXPECT_EQ(y[0], 0.0f);
    EXPECT_EQ(y[1], 0.0f);
    EXPECT_GT(y[2], 0.0f);  // the shelf's first impulse-response value
    EXPECT_NE(y[3], 0.0f);
}

// ---------------------------------------------------------------------------
// Output equaliser

struct EqRun {
    std::unique_ptr<OutputEqualiser> eq = std::make_unique<OutputEqualiser>();
    explicit EqRun(float fs, float hfShelfDb = -2.0f)
    {
        eq->designFixed(rateFor(fs));
        eq->setHfShelf(std::pow(10.0f, 0.05f * hfShelfDb));
        eq->clear();
    }
    std::vector<float> run(const std::vector<float>& x)
    {
        std::vector<float> y(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) y[i] = eq->process(x[i]);
        return y;
    }
};

std::vector<float> sine(double f, double fs, std::size_t n, double amp = 0.5)
{
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(amp * std::sin(2.0 * M_PI * f * i / fs));
    return x;
}

TEST(OutputEqualiser, NyquistGainIsShelfSettingMinus9Point4Db)
{
    for (float shelfDb : {-12.0f, -2.0f, 0.0f}) {
        EqRun r(44100.0f, shelfDb);
        std::vector<float> x(8000);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = (i & 1) ? -0.25f : 0.25f;
        const std::vector<float> y = r.run(x);
        const double expected = shelfDb + toDb(0.70794576 * 2.818383 * 0.25118864 * 0.70794576 * 0.97724 * 0.97724);
        EXPECT_NEAR(expected - shelfDb, -9.4, 0.05);
        EXPECT_NEAR(toDb(peakOf(y, 6000) / 0.25), expected, 0.02) << "shelf " << shelfDb;
    }
}

TEST(OutputEqualiser, CutsThreeDecibelsAt80Hz)
{
    const double fs = 44100.0;
    EqRun r(static_cast<float>(fs));
    const std::vector<float> y = r.run(sine(80.0, fs, 44100));
    const double g = toDb(amplitudeAt(y, 22050, 80.0, fs) / 0.5);
    EXPECT_NEAR(g, -3.0, 0.45);  // -3 dB plus the highpasses' passband ripple
}

TEST(OutputEqualiser, ConstantInputSettlesNearZero)
{
    // The 40 Hz highpass removes DC down to the rounding noise of its
    // highest-Q section in single precision: a small residual wobble, which
    // grows with the rate (about -58 dB at 44100 Hz, -36 dB at 192000 Hz).
    for (float fs : {44100.0f, 48000.0f}) {
        EqRun r(fs);
        const std::vector<float> y = r.run(std::vector<float>(static_cast<std::size_t>(fs) * 3, 0.8f));
        EXPECT_LT(toDb(peakOf(y, y.size() - static_cast<std::size_t>(fs / 2)) / 0.8), -50.0) << fs;
    }
}

TEST(OutputEqualiser, StableAndFiniteAtEveryRate)
{
    for (float fs : {1000.0f, 8000.0f, 22050.0f, 32000.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f}) {
        for (float shelfDb : {-12.0f, 0.0f}) {
            EqRun r(fs, shelfDb);
            std::vector<float> x(static_cast<std::size_t>(fs) * 2, 0.0f);
            std::mt19937 rng(7);
            std::uniform_real_distribution<float> u(-1.0f, 1.0f);
            for (std::size_t i = 0; i < x.size() / 4; ++i) x[i] = u(rng);
            const std::vector<float> y = r.run(x);
            for (float v : y) ASSERT_TRUE(std::isfinite(v)) << fs;
            EXPECT_LT(peakOf(y, y.size() - 100), 1e-4f) << "does not decay at " << fs;
        }
    }
}

TEST(OutputEqualiser, PackedChannelsMatchScalarBitForBit)
{
    // Both channels in the lanes of one OutputEqualiserT<Lane2> give exactly what two
    // scalar equalisers give, with different signals in the lanes, across a
    // change of the shelf and after clearing.
    for (float fs : {8000.0f, 44100.0f, 192000.0f}) {
        const RateConstants rc = rateFor(fs);
        auto a = std::make_unique<OutputEqualiser>();
        auto b = std::make_unique<OutputEqualiser>();
        auto x2 = std::make_unique<OutputEqualiserT<Lane2>>();
        a->designFixed(rc);
        b->designFixed(rc);
        x2->designFixed(rc);
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (int pass = 0; pass < 2; ++pass) {
            a->clear();
            b->clear();
            x2->clear();
            for (int i = 0; i < 6000; ++i) {
                if (i % 2000 == 0) {
                    const float g = std::pow(10.0f, 0.05f * (-12.0f + 0.004f * static_cast<float>(i)));
                    a->setHfShelf(g);
                    b->setHfShelf(g);
                    x2->setHfShelf(g);
                }
                const float va = u(rng);
                const float vb = (i & 64) ? 0.0f : 0.3f * u(rng) + 0.5f;
                const Lane2 y = x2->process(Lane2{_mm_setr_ps(va, vb, 0.0f, 0.0f)});
                alignas(16) float lanes[4];
                _mm_store_ps(lanes, y.v);
                ASSERT_EQ(std::bit_cast<uint32_t>(lanes[0]), std::bit_cast<uint32_t>(a->process(va)))
                    << fs << " sample " << i;
                ASSERT_EQ(std::bit_cast<uint32_t>(lanes[1]), std::bit_cast<uint32_t>(b->process(vb)))
                    << fs << " sample " << i;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Bandwidth expander

struct ExpanderSettings {
    float detectHz = 8000.0f;
    float detectGainDb = 28.0f;
    float inputHz = 4700.0f;
    float lowpassHz = 9700.0f;
    float levelDb = -33.0f;
};

struct ExpanderRun {
    std::unique_ptr<BandwidthExpander> be = std::make_unique<BandwidthExpander>();
    uint32_t n = 0;
    ExpanderRun(float fs, const ExpanderSettings& s)
    {
        const RateConstants rc = rateFor(fs);
        be->designFixed(rc);
        be->designBlock(designExpander(s.detectHz, std::pow(10.0f, 0.05f * s.detectGainDb), s.inputHz, s.lowpassHz,
                                       std::pow(10.0f, 0.05f * s.levelDb), rc));
        be->clear();
    }
    // The outputs for the mixes x and the main-path values m, through the
    // product's path: runs of kRunLength samples (the last one shorter).
    std::vector<float> run(const std::vector<float>& x, const std::vector<float>& m)
    {
        std::vector<float> y(m);
        for (std::size_t at = 0; at < x.size(); at += kRunLength) {
            const int len = static_cast<int>(std::min<std::size_t>(kRunLength, x.size() - at));
            be->processRun(&x[at], &y[at], len, n);
            n += static_cast<uint32_t>(len);
        }
        return y;
    }
    // The harmonic alone (main path held at 0).
    std::vector<float> run(const std::vector<float>& x) { return run(x, std::vector<float>(x.size(), 0.0f)); }
};

std::vector<float> mixOf(const std::vector<float>& a, const std::vector<float>& b)
{
    std::vector<float> s(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) s[i] = a[i] + b[i];
    return s;
}

// Source tone at 3 kHz (inside the source band 2000..5400 Hz), harmonic at 6 kHz
// above the harmonic highpass at 3900 Hz; HF content at 15 kHz, above the
// detection frequency and far above the source band.
constexpr double kFs = 44100.0;
constexpr std::size_t kLen = 44100;
ExpanderSettings lowBandSettings(float levelDb = -33.0f)
{
    ExpanderSettings s;
    s.detectHz = 10000.0f;
    s.inputHz = 2000.0f;
    s.lowpassHz = 5000.0f;
    s.levelDb = levelDb;
    return s;
}

double harmonicAmplitude(const ExpanderSettings& s, double sourceAmp, double hfAmp)
{
    ExpanderRun r(static_cast<float>(kFs), s);
    const std::vector<float> x = mixOf(sine(3000.0, kFs, kLen, sourceAmp), sine(15000.0, kFs, kLen, hfAmp));
    return amplitudeAt(r.run(x), kLen / 2, 6000.0, kFs);
}

TEST(BandwidthExpander, SourceToneGivesHarmonicAtTwiceItsFrequencyWhenHfIsPresent)
{
    const double level = std::pow(10.0, -33.0 / 20.0);
    const double with = harmonicAmplitude(lowBandSettings(), 0.1, 0.1);
    EXPECT_NEAR(toDb(with), toDb(std::sqrt(2.0) * level), 1.0);  // hf saturated at 1
    const double without = harmonicAmplitude(lowBandSettings(), 0.1, 0.0);
    EXPECT_LT(toDb(without), toDb(with) - 40.0);
}

TEST(BandwidthExpander, HarmonicLevelDoesNotFollowSourceLevel)
{
    const double loud = harmonicAmplitude(lowBandSettings(), 0.3, 0.1);
    const double quiet = harmonicAmplitude(lowBandSettings(), 0.003, 0.1);
    EXPECT_NEAR(toDb(quiet), toDb(loud), 1.0);
}

TEST(BandwidthExpander, LevelControlScalesTheHarmonic)
{
    const double ref = harmonicAmplitude(lowBandSettings(-33.0f), 0.1, 0.1);
    const double off = harmonicAmplitude(lowBandSettings(-96.0f), 0.1, 0.1);
    const double up = harmonicAmplitude(lowBandSettings(24.0f), 0.1, 0.1);
    EXPECT_NEAR(toDb(off / ref), -63.0, 0.5);
    EXPECT_NEAR(toDb(up / ref), 57.0, 0.5);
}

TEST(BandwidthExpander, DefaultSettingsDoubleA6kHzTone)
{
    // Default controls: source band 4700..10100 Hz, harmonic highpass at 8600 Hz.
    ExpanderRun r(static_cast<float>(kFs), ExpanderSettings{});
    const std::vector<float> x = mixOf(sine(6000.0, kFs, kLen, 0.1), sine(14000.0, kFs, kLen, 0.1));
    const std::vector<float> y = r.run(x);
    EXPECT_NEAR(toDb(amplitudeAt(y, kLen / 2, 12000.0, kFs)), toDb(std::sqrt(2.0) * std::pow(10.0, -33.0 / 20.0)), 1.0);
}

TEST(BandwidthExpander, SilenceLeavesTheMainPathUnchanged)
{
    ExpanderRun r(48000.0f, ExpanderSettings{});
    std::vector<float> m(5000);
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = 0.001f * static_cast<float>(i % 17) - 0.008f;
    const std::vector<float> y = r.run(std::vector<float>(m.size(), 0.0f), m);
    for (std::size_t i = 0; i < m.size(); ++i) ASSERT_EQ(std::bit_cast<uint32_t>(y[i]), std::bit_cast<uint32_t>(m[i])) << i;
}

TEST(BandwidthExpander, FiniteAndStableAtControlExtremesAndRates)
{
    for (float fs : {8000.0f, 22050.0f, 32000.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f}) {
        for (float lp : {1000.0f, 1100.0f, 15000.0f}) {
            for (float in : {2000.0f, 8000.0f}) {
                {
                    const float det = in < 5000.0f ? 5000.0f : 10000.0f;
                    ExpanderSettings s;
                    s.lowpassHz = lp;
                    s.inputHz = in;
                    s.detectHz = det;
                    s.detectGainDb = 50.0f;
                    s.levelDb = 24.0f;
                    ExpanderRun r(fs, s);
                    // A burst of noise, then silence long enough for the slowest
                    // section (the harmonic highpass at its 20 Hz limit) to ring out.
                    const std::size_t len = static_cast<std::size_t>(fs * 1.5f);
                    std::vector<float> x(len, 0.0f);
                    std::mt19937 rng(3);
                    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
                    for (std::size_t i = 0; i < len / 12; ++i) x[i] = u(rng);
                    const std::vector<float> y = r.run(x);
                    for (float v : y) ASSERT_TRUE(std::isfinite(v)) << fs << " " << lp << " " << in << " " << det;
                    // |g_re + g_im| <= sqrt(2)*|g| and z follows |g|: the harmonic stays near sqrt(2)*hf*L_be.
                    EXPECT_LT(peakOf(y, 0), 200.0f) << fs << " " << lp << " " << in << " " << det;
                    EXPECT_LT(peakOf(y, len - 50), 1e-3f) << "no decay at " << fs << " " << lp << " " << in << " " << det;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Output gain control

struct AgcRun {
    OutputAgc agc{};
    uint32_t n = 0;
    explicit AgcRun(float fs = 44100.0f, float thresholdDb = -9.0f)
    {
        agc.designFixed(rateFor(fs));
        agc.setThreshold(std::pow(10.0f, 0.05f * thresholdDb));
        agc.clear();
    }
    void run(const std::vector<float>& a, const std::vector<float>& b, std::vector<float>& oa, std::vector<float>& ob)
    {
        oa.resize(a.size());
        ob.resize(a.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            const OutputAgc::Out o = agc.process(a[i], b[i], n++);
            oa[i] = o.a;
            ob[i] = o.b;
        }
    }
};

TEST(OutputAgc, SilenceGivesExactZeroAndEnvelopeSettlesAtThreshold)
{
    AgcRun r;
    std::vector<float> z(20000, 0.0f), oa, ob;
    r.run(z, z, oa, ob);
    for (std::size_t i = 0; i < z.size(); ++i) {
        ASSERT_EQ(oa[i], 0.0f);
        ASSERT_EQ(ob[i], 0.0f);
    }
    EXPECT_NEAR(r.agc.envelope, std::pow(10.0f, -9.0f / 20.0f), 1e-5f);
}

TEST(OutputAgc, DelaysBothChannelsBy132Samples)
{
    AgcRun r;
    std::vector<float> a(400, 0.0f), b(400, 0.0f), oa, ob;
    a[10] = 0.01f;
    b[20] = -0.01f;
    r.run(a, b, oa, ob);
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(oa[i] != 0.0f, i == 142) << i;
        EXPECT_EQ(ob[i] != 0.0f, i == 152) << i;
    }
}

TEST(OutputAgc, LoudSteadySignalLeavesAtMinusOneDbFullScale)
{
    AgcRun r;
    const std::vector<float> a = sine(1000.0, 44100.0, 20000, 3.0);
    const std::vector<float> b = sine(1000.0, 44100.0, 20000, 1.5);
    std::vector<float> oa, ob;
    r.run(a, b, oa, ob);
    EXPECT_NEAR(peakOf(oa, 10000), 0.8912509f, 1e-4f);
    EXPECT_NEAR(peakOf(ob, 10000), 0.8912509f / 2.0f, 1e-4f);  // the quieter channel keeps its relation
}

TEST(OutputAgc, QuietSteadySignalGetsFixedMakeUpGain)
{
    for (float thDb : {-12.0f, -9.0f, 3.0f}) {
        AgcRun r(44100.0f, thDb);
        const std::vector<float> a = sine(500.0, 44100.0, 30000, 0.05);
        std::vector<float> oa, ob;
        r.run(a, a, oa, ob);
        const double gain = toDb(peakOf(oa, 20000) / 0.05);
        EXPECT_NEAR(gain, -1.0 - thDb, 0.01) << thDb;
    }
}

TEST(OutputAgc, SingleLoudSampleLeavesExactlyAtTheCeiling)
{
    AgcRun r;
    std::vector<float> a = sine(700.0, 44100.0, 6000, 0.01), oa, ob;
    a[3000] = 37.0f;
    r.run(a, a, oa, ob);
    EXPECT_EQ(oa[3132], 0.8912509f);
    EXPECT_LE(peakOf(oa, 0), 0.8912509f);
    // After the sample the envelope releases: the programme comes back up
    // gradually, not at once.
    EXPECT_LT(std::fabs(oa[3140]), 0.01f * 0.8912509f / 0.3548f);
}

TEST(OutputAgc, NoOutputSampleEverExceedsTheCeiling)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<std::vector<float>> signals;
    // Full-scale and louder noise.
    for (float scale : {1.0f, 8.0f, 1000.0f}) {
        std::vector<float> x(20000);
        for (float& v : x) v = scale * u(rng);
        signals.push_back(x);
    }
    // Square waves, where the delayed sample equals the envelope again and again.
    for (int period : {2, 50, 441, 3000}) {
        for (float amp : {0.9f, 1.0f, 3.0f, 0.7071f, 1.2345678f}) {
            std::vector<float> x(20000);
            for (std::size_t i = 0; i < x.size(); ++i) x[i] = ((i / period) & 1) ? -amp : amp;
            signals.push_back(x);
        }
    }
    // Clicks of random height over silence.
    std::vector<float> clicks(40000, 0.0f);
    for (std::size_t i = 0; i < clicks.size(); i += 97) clicks[i] = 5.0f * u(rng);
    signals.push_back(clicks);
    // Many single values, each steady long enough to equal the envelope.
    std::vector<float> steps(60000);
    for (std::size_t i = 0; i < steps.size(); ++i) steps[i] = 0.5f + 4.0f * std::fabs(u(rng));
    for (std::size_t i = 0; i < steps.size(); i += 1) steps[i] = steps[(i / 200) * 200];
    signals.push_back(steps);

    for (const auto& x : signals) {
        AgcRun r;
        std::vector<float> oa, ob, y(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) y[i] = -0.5f * x[i];
        r.run(x, y, oa, ob);
        EXPECT_LE(peakOf(oa, 0), 0.8912509f);
        EXPECT_LE(peakOf(ob, 0), 0.8912509f);
    }
}

TEST(BandwidthExpander, PackedChannelsMatchScalarBitForBit)
{
    // Channels A and B of one BandwidthExpanderT<Lane2> give exactly what two scalar
    // expanders give, all three run by run over the same runs of random lengths:
    // different programme in each lane (tones in the source band with treble on
    // A, noise bursts and silence on B), across a change of the controls and
    // after clearing.
    for (float fs : {22050.0f, 44100.0f, 96000.0f}) {
        const RateConstants rc = rateFor(fs);
        auto a = std::make_unique<BandwidthExpander>();
        auto b = std::make_unique<BandwidthExpander>();
        auto x2 = std::make_unique<BandwidthExpanderT<Lane2>>();
        a->designFixed(rc);
        b->designFixed(rc);
        x2->designFixed(rc);
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::uniform_int_distribution<int> length(1, kRunLength);
        uint32_t n = 0;
        for (int pass = 0; pass < 2; ++pass) {
            a->clear();
            b->clear();
            x2->clear();
            for (int i = 0, block = -1; i < 6000;) {
                if (i / 3000 != block) {
                    block = i / 3000;
                    const ExpanderDesign d = designExpander(8000.0f, 25.0f, 4700.0f, block == 0 ? 9700.0f : 6000.0f, 0.02f, rc);
                    a->designBlock(d);
                    b->designBlock(d);
                    x2->designBlock(d);
                }
                const int len = std::min(length(rng), 3000 * (block + 1) - i);
                std::array<float, kRunLength> xa, xb, ya, yb;
                std::array<Mem<Lane2>, kRunLength> x, y;
                for (int j = 0; j < len; ++j) {
                    const std::size_t k = static_cast<std::size_t>(j);
                    const double t = static_cast<double>(i + j) / fs;
                    xa[k] = static_cast<float>(0.4 * std::sin(2.0 * M_PI * 6000.0 * t) + 0.1 * std::sin(2.0 * M_PI * 11000.0 * t));
                    xb[k] = ((i + j) & 512) ? 0.0f : 0.5f * u(rng);
                    ya[k] = 0.5f * xa[k];
                    yb[k] = -0.25f * xb[k];
                    x[k].fill(0.0f);
                    y[k].fill(0.0f);
                    x[k][0] = xa[k];
                    x[k][1] = xb[k];
                    y[k][0] = ya[k];
                    y[k][1] = yb[k];
                }
                a->processRun(xa.data(), ya.data(), len, n);
                b->processRun(xb.data(), yb.data(), len, n);
                x2->processRun(x.data(), y.data(), len, n);
                for (int j = 0; j < len; ++j, ++i, ++n) {
                    const std::size_t k = static_cast<std::size_t>(j);
                    ASSERT_EQ(std::bit_cast<uint32_t>(y[k][0]), std::bit_cast<uint32_t>(ya[k])) << fs << " sample " << i;
                    ASSERT_EQ(std::bit_cast<uint32_t>(y[k][1]), std::bit_cast<uint32_t>(yb[k])) << fs << " sample " << i;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Run by run against sample by sample

TEST(Runs, ExpanderAndEqualiserGiveTheSampleBySampleBits)
{
    // Both channels through the expander and the equaliser over runs of random
    // lengths (1 to the longest), the ring counter starting odd and wrapping,
    // across a change of the controls: bit for bit what runs of one sample
    // (process()) give, so that no fill or drain of the pipelined loops
    // depends on where a run starts or ends.
    const RateConstants rc = rateFor(44100.0f);
    auto runX = std::make_unique<BandwidthExpanderT<Lane2>>();
    auto oneX = std::make_unique<BandwidthExpanderT<Lane2>>();
    auto runQ = std::make_unique<OutputEqualiserT<Lane2>>();
    auto oneQ = std::make_unique<OutputEqualiserT<Lane2>>();
    for (auto* x : {runX.get(), oneX.get()}) {
        x->designFixed(rc);
        x->clear();
    }
    for (auto* q : {runQ.get(), oneQ.get()}) {
        q->designFixed(rc);
        q->clear();
    }
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::uniform_int_distribution<int> length(1, kRunLength);
    uint32_t n = 0xffffffffu - 3000u;
    for (int at = 0, block = -1; at < 8000;) {
        if (at / 4000 != block) {
            block = at / 4000;
            const ExpanderDesign d = designExpander(8000.0f, 25.0f, 4700.0f, block == 0 ? 9700.0f : 6000.0f, 0.02f, rc);
            runX->designBlock(d);
            oneX->designBlock(d);
            runQ->setHfShelf(block == 0 ? 0.7943282f : 1.5f);
            oneQ->setHfShelf(block == 0 ? 0.7943282f : 1.5f);
        }
        const int len = length(rng);
        std::array<Mem<Lane2>, kRunLength> x, y;
        std::array<Lane2, kRunLength> want;
        for (int i = 0; i < len; ++i) {
            const double t = static_cast<double>(at + i) / rc.fs;
            const float xa = static_cast<float>(0.4 * std::sin(2.0 * M_PI * 6000.0 * t) + 0.1 * std::sin(2.0 * M_PI * 11000.0 * t));
            const float xb = ((at + i) & 512) ? 0.0f : 0.5f * u(rng);
            const Lane2 xv{_mm_setr_ps(xa, xb, 0.0f, 0.0f)};
            const Lane2 mv{_mm_setr_ps(0.5f * xa, -0.25f * xb, 0.0f, 0.0f)};
            store(x[static_cast<std::size_t>(i)], xv);
            store(y[static_cast<std::size_t>(i)], mv);
            want[static_cast<std::size_t>(i)] = oneQ->process(oneX->process(xv, mv, n + static_cast<uint32_t>(i)));
        }
        runX->processRun(x.data(), y.data(), len, n);
        runQ->processRun(y.data(), len);
        for (int i = 0; i < len; ++i, ++at, ++n) {
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, want[static_cast<std::size_t>(i)].v);
            for (std::size_t c = 0; c < 2; ++c)
                ASSERT_EQ(std::bit_cast<uint32_t>(y[static_cast<std::size_t>(i)][c]), std::bit_cast<uint32_t>(lanes[c]))
                    << "sample " << at << ", channel " << c << ", run " << len;
        }
    }
}

}  // namespace
