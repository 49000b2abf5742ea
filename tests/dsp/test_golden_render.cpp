// Golden renders: the exact output bits of the whole processor for a set of
// synthetic inputs, control settings, sample rates and block segmentations,
// each locked by a 64-bit FNV-1a hash of its output samples.
//
// The chain turns a one-ulp change anywhere into a different render, and
// renders are compared bit for bit, so a change that is meant to leave the
// sound alone (a faster formulation, a code move) must keep every hash. A
// change that is meant to alter the sound regenerates the table deliberately:
// run this program with PLUMBRA_GOLDEN_PRINT=1 and paste the printed lines.
//
// Every input is made with integer arithmetic, exact float scaling and the
// chain's own sine, so that it is the same on every platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "dsp/simd/chainmath.h"
#include "dsp/mydsp.h"

namespace {

using plumbra::Controls;
using plumbra::mydsp;

// ---------------------------------------------------------------------------
// Input generators.

// xorshift32: the same sequence everywhere.
struct Xorshift {
    uint32_t s;
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    // Uniform in [-1, 1), exactly representable (24-bit integer times 2^-23).
    float uniform() { return static_cast<float>(static_cast<int32_t>(next()) >> 8) * 0x1p-23f; }
};

// Seeded noise whose level jumps every quarter second through loud, quiet,
// medium, very quiet and full-scale passages.
std::vector<float> steppedNoise(std::size_t n, int rate, uint32_t seed)
{
    static constexpr float kLevels[] = {0.5f, 0.01f, 0.25f, 0.001f, 1.0f, 0.0625f, 0.8f, 0.003f};
    Xorshift rng{seed};
    std::vector<float> x(n);
    const std::size_t step = static_cast<std::size_t>(rate / 4);
    for (std::size_t i = 0; i < n; ++i) x[i] = kLevels[(i / step) % std::size(kLevels)] * rng.uniform();
    return x;
}

// Logarithmic sine sweep from 20 Hz upwards by a fixed ratio per sample
// (about three decades in one and a half seconds at 44.1 kHz), at -6 dB.
std::vector<float> logSweep(std::size_t n, int rate)
{
    constexpr double kTwoPi = 6.283185307179586;
    constexpr double kRatio = 1.0001045;
    std::vector<float> x(n);
    double f = 20.0;
    double phase = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = 0.5f * chainmath::sin(static_cast<float>(phase));
        phase += kTwoPi * f / rate;
        if (phase >= kTwoPi) phase -= kTwoPi;
        f = std::min(f * kRatio, 0.45 * rate);
    }
    return x;
}

// Impulses every 100 ms, alternating in sign, their height cycling over
// four decades.
std::vector<float> impulseTrain(std::size_t n, int rate)
{
    static constexpr float kHeights[] = {1.0f, 0.1f, 0.01f, 0.001f, 0.5f};
    std::vector<float> x(n, 0.0f);
    const std::size_t period = static_cast<std::size_t>(rate / 10);
    for (std::size_t i = 0, k = 0; i < n; i += period, ++k)
        x[i] = (k % 2 ? -1.0f : 1.0f) * kHeights[k % std::size(kHeights)];
    return x;
}

// Silence, then a 300 ms burst of full-scale noise, then silence again.
std::vector<float> silenceThenBurst(std::size_t n, int rate, uint32_t seed)
{
    Xorshift rng{seed};
    std::vector<float> x(n, 0.0f);
    const std::size_t start = static_cast<std::size_t>(rate / 2);
    const std::size_t end = std::min(n, start + static_cast<std::size_t>(rate * 3 / 10));
    for (std::size_t i = start; i < end; ++i) x[i] = rng.uniform();
    return x;
}

// ---------------------------------------------------------------------------
// Control settings.

const Controls kDefaults{9.0f,  -8.0f, -6.0f,   -10.0f, -3.0f,  9700.0f, -35.0f, -35.0f, 40.0f, 0.7f,
                         0.0f,  -9.0f, 4700.0f, 8000.0f, 28.0f, -2.0f,   -33.0f, 300.0f, 0.0f};
const Controls kLowest{0.0f, -90.0f, -24.0f, -24.0f, -24.0f, 1000.0f, -70.0f, -70.0f, 0.0f, -6.0f,
                       0.0f, -12.0f, 2000.0f, 5000.0f, 0.0f, -12.0f, -96.0f, 10.0f, 0.0f};
const Controls kHighest{24.0f, 50.0f, 0.0f, 0.0f, 0.0f, 15000.0f, 0.0f, 0.0f, 90.0f, 6.0f,
                        1.0f,  3.0f,  8000.0f, 10000.0f, 50.0f, 0.0f, 24.0f, 300.0f, 1.0f};
// Everything off-centre: low gate, weak linking, bright expander, DNR lowpass off.
const Controls kMixed{15.0f, 10.0f, -18.0f, -2.0f, -12.0f, 4000.0f, -50.0f, -20.0f, 65.0f, -2.5f,
                      1.0f,  0.0f,  3000.0f, 6000.0f, 40.0f, -8.0f, 0.0f, 50.0f, 1.0f};

// ---------------------------------------------------------------------------
// Rendering and hashing.

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;

// FNV-1a over the little-endian bytes of each sample's bits.
void hashFloat(uint64_t& h, float v)
{
    const uint32_t bits = std::bit_cast<uint32_t>(v);
    for (int b = 0; b < 4; ++b) {
        h ^= (bits >> (8 * b)) & 0xffu;
        h *= kFnvPrime;
    }
}

enum class Input { steppedNoise, logSweep, impulseTrain, silenceThenBurst };

struct GoldenCase {
    const char* name;
    Input input;
    int rate;
    double seconds;
    const Controls* controls;
    std::vector<int> blocks;       // block sizes, cycled
    const Controls* switchTo;      // controls set after the first second (nullptr: none)
    uint64_t expected;             // hash of output A then output B, sample by sample
};

std::vector<float> makeInput(const GoldenCase& c)
{
    const std::size_t n = static_cast<std::size_t>(c.seconds * c.rate);
    switch (c.input) {
    case Input::steppedNoise: return steppedNoise(n, c.rate, 0x2545f491u);
    case Input::logSweep: return logSweep(n, c.rate);
    case Input::impulseTrain: return impulseTrain(n, c.rate);
    case Input::silenceThenBurst: return silenceThenBurst(n, c.rate, 0x9e3779b9u);
    }
    return {};
}

// Renders a case and returns the hash of its outputs.
struct Rendered {
    uint64_t hash;
    std::size_t nonZero;  // output samples that are not zero
};

Rendered render(const GoldenCase& c, const std::vector<int>& blocks)
{
    const std::vector<float> in = makeInput(c);
    auto p = std::make_unique<mydsp>();
    p->initialise(c.rate);
    p->controls() = *c.controls;
    std::vector<float> a(in.size()), b(in.size());
    const std::size_t switchAt = static_cast<std::size_t>(c.rate);
    std::size_t pos = 0, k = 0;
    while (pos < in.size()) {
        if (c.switchTo && pos >= switchAt) p->controls() = *c.switchTo;
        std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(blocks[k++ % blocks.size()]), in.size() - pos);
        if (c.switchTo && pos < switchAt) len = std::min(len, switchAt - pos);
        float* ins[2] = {const_cast<float*>(in.data() + pos), const_cast<float*>(in.data() + pos)};
        float* outs[2] = {a.data() + pos, b.data() + pos};
        p->processBlock(static_cast<int32_t>(len), ins, outs);
        pos += len;
    }
    Rendered r{kFnvOffset, 0};
    for (std::size_t i = 0; i < in.size(); ++i) {
        hashFloat(r.hash, a[i]);
        hashFloat(r.hash, b[i]);
        r.nonZero += (a[i] != 0.0f) + (b[i] != 0.0f);
    }
    return r;
}

const std::vector<int> kBlocks512 = {512};
const std::vector<int> kOddBlocks = {1, 7, 64, 1000, 33, 4096, 2, 511};

// Hashes recorded from the processor as it stands; see the top of the file.
const std::vector<GoldenCase>& goldenCases()
{
    static const std::vector<GoldenCase> cases = {
        {"noise_defaults", Input::steppedNoise, 44100, 2.5, &kDefaults, kBlocks512, nullptr, 0xcb71844747aeb2f0ull},
        {"noise_lowest", Input::steppedNoise, 44100, 1.5, &kLowest, kBlocks512, nullptr, 0x1df8ccb76acf8540ull},
        {"noise_highest", Input::steppedNoise, 44100, 1.5, &kHighest, kBlocks512, nullptr, 0xc0e727bd728560f9ull},
        {"noise_mixed_48k", Input::steppedNoise, 48000, 1.5, &kMixed, kOddBlocks, nullptr, 0x82787d4d154f04d9ull},
        {"noise_switch", Input::steppedNoise, 44100, 2.0, &kDefaults, kOddBlocks, &kHighest, 0xb59e112305b7bc67ull},
        {"sweep_defaults", Input::logSweep, 44100, 1.5, &kDefaults, kBlocks512, nullptr, 0xd7ec8ed5b8a16b25ull},
        {"sweep_mixed_96k", Input::logSweep, 96000, 0.75, &kMixed, kBlocks512, nullptr, 0x0f7736c87ebef4dbull},
        {"impulses_defaults", Input::impulseTrain, 44100, 1.5, &kDefaults, kOddBlocks, nullptr, 0xd33484589ed6b41full},
        {"impulses_lowest", Input::impulseTrain, 44100, 1.0, &kLowest, kBlocks512, nullptr, 0x3b13bda81eadaf2eull},
        {"burst_defaults", Input::silenceThenBurst, 44100, 1.5, &kDefaults, kBlocks512, nullptr, 0xe5ce4326a1028838ull},
        {"burst_highest_22k", Input::silenceThenBurst, 22050, 1.5, &kHighest, kOddBlocks, nullptr, 0x498c76506410c6dcull},
    };
    return cases;
}

bool printing() { return std::getenv("PLUMBRA_GOLDEN_PRINT") != nullptr; }

std::string hex(uint64_t h)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%016llxull", static_cast<unsigned long long>(h));
    return buf;
}

TEST(GoldenRender, EveryCaseKeepsItsOutputBits)
{
    for (const GoldenCase& c : goldenCases()) {
        const Rendered r = render(c, c.blocks);
        if (printing()) std::printf("%s %s\n", c.name, hex(r.hash).c_str());
        EXPECT_EQ(hex(r.hash), hex(c.expected)) << c.name;
        // A golden render of silence would lock nothing.
        EXPECT_GT(r.nonZero, static_cast<std::size_t>(c.seconds * c.rate)) << c.name;
    }
}

// With the controls held, the block segmentation must not matter: the
// shorter cases give their hash from other block sizes too.
TEST(GoldenRender, HashDoesNotDependOnBlockSegmentation)
{
    for (const GoldenCase& c : goldenCases()) {
        if (c.switchTo || c.seconds * c.rate > 72000.0) continue;
        const std::vector<int> other = c.blocks == kBlocks512 ? kOddBlocks : std::vector<int>{3, 17, 256};
        EXPECT_EQ(hex(render(c, other).hash), hex(c.expected)) << c.name;
    }
}

}  // namespace
