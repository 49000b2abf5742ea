// Whole-processor properties through mydsp: silence, block segmentation,
// output ceiling and numeric health at the extremes of every control.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <memory>
#include <random>
#include <vector>

#include "dsp/avx/avx_path.h"
#include "dsp/mydsp.h"

namespace {

using plumbra::Controls;
using plumbra::mydsp;

constexpr float kCeiling = 0.8912509f;

std::unique_ptr<mydsp> makeProcessor(int rate)
{
    auto p = std::make_unique<mydsp>();
    p->initialise(rate);
    return p;
}

struct Render {
    std::vector<float> a, b;  // first and second output
};

// Runs the input through the processor in blocks of the given sizes (cycled).
Render render(mydsp& p, const std::vector<float>& in, const std::vector<int>& blocks)
{
    Render r{std::vector<float>(in.size()), std::vector<float>(in.size())};
    std::size_t pos = 0, b = 0;
    while (pos < in.size()) {
        const int len = std::min<int>(blocks[b++ % blocks.size()], static_cast<int>(in.size() - pos));
        float* ins[2] = {const_cast<float*>(in.data() + pos), const_cast<float*>(in.data() + pos)};
        float* outs[2] = {r.a.data() + pos, r.b.data() + pos};
        p.processBlock(len, ins, outs);
        pos += static_cast<std::size_t>(len);
    }
    return r;
}

// Noise-like programme: noise with a slow level swell and a few tones across
// the band, up to full scale.
std::vector<float> programme(std::size_t n, double fs, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / fs;
        const double swell = 0.5 + 0.5 * std::sin(2.0 * M_PI * 1.3 * t);
        const double tones = 0.2 * std::sin(2.0 * M_PI * 110.0 * t) + 0.15 * std::sin(2.0 * M_PI * 1250.0 * t) +
                             0.1 * std::sin(2.0 * M_PI * 6300.0 * t);
        x[i] = static_cast<float>(swell * (0.5 * u(rng) + tones));
    }
    return x;
}

TEST(Processor, SilenceGivesExactlyZero)
{
    for (int fs : {22050, 44100, 48000, 96000, 192000}) {
        auto p = makeProcessor(fs);
        const Render r = render(*p, std::vector<float>(12000, 0.0f), {512});
        for (std::size_t i = 0; i < r.a.size(); ++i) {
            ASSERT_EQ(r.a[i], 0.0f) << fs << " Hz, sample " << i;
            ASSERT_EQ(r.b[i], 0.0f) << fs << " Hz, sample " << i;
        }
    }
}

TEST(Processor, AnyBlockSegmentationGivesIdenticalOutput)
{
    const std::vector<float> in = programme(16384, 44100.0, 5);
    auto ref = makeProcessor(44100);
    const Render whole = render(*ref, in, {static_cast<int>(in.size())});

    std::mt19937 rng(9);
    std::vector<int> randomSizes;
    for (int i = 0; i < 300; ++i) randomSizes.push_back(std::uniform_int_distribution<int>(1, 300)(rng));
    const std::vector<std::vector<int>> segmentations = {{1}, {7}, {64}, {512}, {4096}, randomSizes};
    for (const auto& seg : segmentations) {
        auto p = makeProcessor(44100);
        const Render r = render(*p, in, seg);
        EXPECT_EQ(std::memcmp(r.a.data(), whole.a.data(), in.size() * sizeof(float)), 0) << "first block " << seg[0];
        EXPECT_EQ(std::memcmp(r.b.data(), whole.b.data(), in.size() * sizeof(float)), 0) << "first block " << seg[0];
        EXPECT_EQ(p->ringCounter(), ref->ringCounter());
    }
}

// The programme reaches the outputs 3552 samples late: 346 in the input
// normaliser, 3072 through the bands, 2 in the main path and 132 in the output
// gain control. Silence before the first non-zero input sample keeps every
// output exactly zero until then.
TEST(Processor, InputReachesTheOutputs3552SamplesLate)
{
    for (int fs : {22050, 44100, 48000, 96000}) {
        for (std::size_t onset : {std::size_t{0}, std::size_t{1000}}) {
            auto p = makeProcessor(fs);
            std::vector<float> in(onset + 6000, 0.0f);
            const std::vector<float> prog = programme(in.size() - onset, fs, 3);
            std::copy(prog.begin(), prog.end(), in.begin() + static_cast<std::ptrdiff_t>(onset));
            in[onset] = 0.5f;  // the first programme sample is non-zero
            const Render r = render(*p, in, {333});
            std::size_t first = in.size();
            for (std::size_t i = 0; i < in.size() && first == in.size(); ++i)
                if (r.a[i] != 0.0f || r.b[i] != 0.0f) first = i;
            EXPECT_EQ(first, onset + 3552) << fs << " Hz";
        }
    }
}

// A constant input (a DC offset, a stuck converter) is removed by the bands'
// highpass filters: after the step's transient the outputs fall below
// -100 dBFS within two seconds and stay there. What remains is the filters'
// single-precision rounding residue, raised by the band gains that level a
// quiet band up, not a DC path.
TEST(Processor, ConstantInputDiesAwayAfterTheStep)
{
    for (int fs : {44100, 48000, 96000}) {
        for (float level : {0.5f, -1.0f}) {
            auto p = makeProcessor(fs);
            const Render r = render(*p, std::vector<float>(static_cast<std::size_t>(6 * fs), level), {512});
            const std::size_t settled = static_cast<std::size_t>(2 * fs);
            float transient = 0.0f, residue = 0.0f;
            for (std::size_t i = 0; i < r.a.size(); ++i) {
                const float v = std::max(std::fabs(r.a[i]), std::fabs(r.b[i]));
                float& peak = i < settled ? transient : residue;
                peak = std::max(peak, v);
            }
            std::printf("[figures] %d Hz, constant %.2f: step transient peak %.3f, after 2 s at most %.1f dB\n", fs,
                        static_cast<double>(level), static_cast<double>(transient),
                        20.0 * std::log10(static_cast<double>(residue) + 1e-30));
            EXPECT_GT(transient, 0.01f) << fs << " Hz: the step itself must pass";
            EXPECT_LT(residue, 1e-5f) << fs << " Hz, constant " << level;
        }
    }
}

// Checks one render: every sample finite, never subnormal, never above the ceiling.
void expectHealthy(const Render& r, const std::string& what)
{
    std::size_t bad = 0, over = 0;
    for (const std::vector<float>* ch : {&r.a, &r.b}) {
        for (float v : *ch) {
            const int c = std::fpclassify(v);
            if (c == FP_NAN || c == FP_INFINITE || c == FP_SUBNORMAL) ++bad;
            if (std::fabs(v) > kCeiling) ++over;
        }
    }
    EXPECT_EQ(bad, 0u) << what;
    EXPECT_EQ(over, 0u) << what;
}

// The extremes of every control, one at a time and all together, at every
// supported rate: loud programme followed by silence.
TEST(Processor, HealthyAtControlExtremesAndRates)
{
    const Controls lo{0.0f, -90.0f, -24.0f, -24.0f, -24.0f, 1000.0f, -70.0f, -70.0f, 0.0f, -6.0f,
                      0.0f, -12.0f, 2000.0f, 5000.0f, 0.0f, -12.0f, -96.0f, 10.0f, 0.0f};
    const Controls hi{24.0f, 50.0f, 0.0f, 0.0f, 0.0f, 15000.0f, 0.0f, 0.0f, 90.0f, 6.0f,
                      1.0f, 3.0f, 8000.0f, 10000.0f, 50.0f, 0.0f, 24.0f, 300.0f, 1.0f};
    float Controls::*const fields[] = {
        &Controls::band1Level,      &Controls::band1GateTrim,   &Controls::band2To1Link,    &Controls::bands11To12Link,
        &Controls::bands5678Link,   &Controls::lowpassFreq,     &Controls::mbeqB1t,         &Controls::mbeqMt,
        &Controls::masterGateGain,  &Controls::gateScalePerBand, &Controls::disableWrmiEq,  &Controls::outAgcThreshold,
        &Controls::bweInputHpf,     &Controls::bweHfDetectFreq, &Controls::bweHfDetectGain, &Controls::finalHfShelf,
        &Controls::bweLevel,        &Controls::dnrSensitivity,  &Controls::dnrLpfDisable};
    constexpr int kFields = static_cast<int>(std::size(fields));
    static_assert(std::size(fields) == plumbra::kNumControls);
    for (int fs : {22050, 44100, 48000, 96000, 192000}) {
        const std::size_t len = 5632;  // 2080 samples of it reach the outputs
        std::vector<float> in = programme(len, fs, 21);
        for (std::size_t i = 0; i < len; ++i) in[i] *= 2.0f;  // past full scale
        in.resize(len + 1024, 0.0f);
        for (int field = -1; field < kFields; ++field) {
            for (int side = 0; side < 2; ++side) {
                auto p = makeProcessor(fs);
                Controls& c = p->controls();
                const Controls& ext = side ? hi : lo;
                if (field < 0) {
                    c = ext;
                } else {
                    c.*fields[field] = ext.*fields[field];
                }
                const Render r = render(*p, in, {1024});
                expectHealthy(r, std::to_string(fs) + " Hz, control " + std::to_string(field) +
                                     (side ? " max" : " min"));
            }
        }
    }
}

}  // namespace

// Should any state turn non-finite all the same (here a NaN written straight
// into a control for one block, which the host bridge never lets through), the
// block's non-finite samples are silenced and the chain starts afresh: the
// output is finite throughout, and from the next block on it is exactly that
// of a new processor.
TEST(Processor, RecoversFromNonFiniteState)
{
    const int fs = 44100;
    auto p = makeProcessor(fs);
    const std::vector<float> in = programme(static_cast<std::size_t>(fs) * 2, fs, 5);
    const std::vector<float> first(in.begin(), in.begin() + fs), rest(in.begin() + fs + 512, in.end());
    const Render before = render(*p, first, {512});
    const float lowpass = p->controls().lowpassFreq;
    p->controls().lowpassFreq = std::nanf("");
    const Render poisoned = render(*p, std::vector<float>(in.begin() + fs, in.begin() + fs + 512), {512});
    p->controls().lowpassFreq = lowpass;
    const Render after = render(*p, rest, {512});
    for (const Render* r : {&before, &poisoned, &after})
        for (std::size_t i = 0; i < r->a.size(); ++i)
            ASSERT_TRUE(std::isfinite(r->a[i]) && std::isfinite(r->b[i])) << i;
    const Render fresh = render(*makeProcessor(fs), rest, {512});
    EXPECT_TRUE(after.a == fresh.a && after.b == fresh.b);
    EXPECT_TRUE(p->stateFinite());
}

// The AVX units compile the decorrelator's and the output stages' types again;
// the processor takes the AVX path only where their layout prints equal those
// of its own types. They must, or the AVX path would never run.
TEST(Processor, AvxCopiesHaveTheProcessorsLayouts)
{
    EXPECT_TRUE(plumbra::avxCopiesMatch());
}
