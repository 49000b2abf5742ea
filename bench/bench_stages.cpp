// Cost of each stage of the chain on its own, in the form processBlock runs it
// (whole runs where the stage works run by run, sample by sample otherwise), at
// 44100 Hz on noise-like programme. ns_per_sample is the CPU time per sample of
// audio; the figures of all stages add up to about the whole processor's, and
// show where the next saving lies. The band bank runs once per band path.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "bench/programme.h"
#include "dsp/stages/band_bank.h"
#include "dsp/stages/band_mix.h"
#include "dsp/stages/bandwidth_expander.h"
#include "dsp/stages/decorrelator.h"
#include "dsp/simd/denormals.h"
#include "dsp/stages/input_lowpass.h"
#include "dsp/mydsp.h"
#include "dsp/stages/noise_reduction.h"
#include "dsp/stages/output_agc.h"
#include "dsp/stages/output_eq.h"
#include "dsp/stages/presence_eq.h"

namespace {

using namespace plumbra;

constexpr int kRate = 44100;
constexpr std::size_t kLength = 4 * kRate;

const std::vector<float>& programme()
{
    static const std::vector<float> x = benchProgramme(kRate, kLength);
    return x;
}

RateConstants rate()
{
    RateConstants rc;
    rc.fs = kRate;
    rc.T = 1.0f / rc.fs;
    rc.piT = kPi * rc.T;
    return rc;
}

// Calls run(x, len, n0) for runs of kRunLength samples of the programme, 512
// samples per iteration, and reports the time per sample.
template <class F>
void eachRun(benchmark::State& state, F run)
{
    const std::vector<float>& x = programme();
    std::array<float, kRunLength> buf;
    std::size_t pos = 0;
    uint32_t n = 0;
    std::int64_t samples = 0;
    for (auto _ : state) {
        ScopedFlushDenormals flush;  // as in processBlock
        for (int r = 0; r < 512 / kRunLength; ++r) {
            std::copy(x.begin() + static_cast<std::ptrdiff_t>(pos), x.begin() + static_cast<std::ptrdiff_t>(pos + kRunLength),
                      buf.begin());
            run(buf.data(), kRunLength, n);
            benchmark::DoNotOptimize(buf.data());
            pos = pos + 2 * kRunLength > x.size() ? 0 : pos + kRunLength;
            n += kRunLength;
        }
        benchmark::ClobberMemory();
        samples += 512;
    }
    state.SetItemsProcessed(samples);
    state.counters["ns_per_sample"] =
        benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_InputLowpass(benchmark::State& state)
{
    auto s = std::make_unique<InputLowpass>();
    s->design(9700.0f, rate());
    s->clear();
    eachRun(state, [&](float* x, int len, uint32_t) { s->processRun(x, len); });
}
BENCHMARK(BM_InputLowpass);

void BM_NoiseReduction(benchmark::State& state)
{
    auto s = std::make_unique<NoiseReduction>();
    s->design(rate());
    s->clear();
    eachRun(state, [&](float* x, int len, uint32_t n0) {
        s->processRun(x, len, n0, 1.0f, 0.0f);
    });
}
BENCHMARK(BM_NoiseReduction);

void BM_PresenceEq(benchmark::State& state)
{
    auto s = std::make_unique<PresenceEq>();
    s->design(rate());
    s->clear();
    eachRun(state, [&](float* x, int len, uint32_t) { s->processRun(x, len, false); });
}
BENCHMARK(BM_PresenceEq);

// On the SSE2 path (argument 0) and the AVX path (1).
void BM_Decorrelator(benchmark::State& state)
{
    auto s = std::make_unique<Decorrelator>();
    s->design();
    if (s->useAvx(state.range(0) == 1) != (state.range(0) == 1)) {
        state.SkipWithError("no AVX on this CPU or build");
        return;
    }
    state.SetLabel(s->avx ? "AVX" : "SSE2");
    s->clear();
    std::array<float, kRunLength> left, right;
    eachRun(state, [&](float* x, int len, uint32_t n0) {
        s->processRun(x, left.data(), right.data(), len, n0);
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
    });
}
BENCHMARK(BM_Decorrelator)->Arg(0)->Arg(1);

// The pseudo-stereo pair the band bank takes in the processor: the programme
// through the input stages.
struct StereoProgramme {
    std::vector<float> left, right;
};
const StereoProgramme& stereoProgramme()
{
    static const StereoProgramme pair = [] {
        auto lp = std::make_unique<InputLowpass>();
        auto nr = std::make_unique<NoiseReduction>();
        auto eq = std::make_unique<PresenceEq>();
        auto dc = std::make_unique<Decorrelator>();
        const RateConstants rc = rate();
        lp->design(9700.0f, rc);
        nr->design(rc);
        eq->design(rc);
        dc->design();
        lp->clear();
        nr->clear();
        eq->clear();
        dc->clear();
        StereoProgramme sp{std::vector<float>(kLength), std::vector<float>(kLength)};
        std::vector<float> x = programme();
        for (std::size_t at = 0; at + kRunLength <= kLength; at += kRunLength) {
            float* run = x.data() + at;
            const auto n = static_cast<uint32_t>(at);
            lp->processRun(run, kRunLength);
            nr->processRun(run, kRunLength, n, 1.0f, 0.0f);
            eq->processRun(run, kRunLength, false);
            dc->processRun(run, sp.left.data() + at, sp.right.data() + at, kRunLength, n);
        }
        return sp;
    }();
    return pair;
}

// The twelve bands (split, detection, envelopes, gates, gains, linking,
// width) on the SSE2 path (argument 0) and on the AVX path (1, where the CPU
// has AVX).
void BM_BandBank(benchmark::State& state)
{
    auto p = std::make_unique<mydsp>();
    p->initialise(kRate);
    const BlockValues bv = p->blockValues();
    auto bank = std::make_unique<BandBank>();
    bank->design(rate());
    if (bank->useAvx(state.range(0) == 1) != (state.range(0) == 1)) {
        state.SkipWithError("no AVX on this CPU or build");
        return;
    }
    bank->clear();
    state.SetLabel(bank->usesAvx() ? "AVX" : "SSE2");
    const StereoProgramme& sp = stereoProgramme();
    float sink = 0.0f;
    eachRun(state, [&](float*, int len, uint32_t n0) {
        const std::size_t at = n0 % (kLength - kRunLength + 1) / kRunLength * kRunLength;
        bank->processRun(sp.left.data() + at, sp.right.data() + at, len, n0, bv);
        for (int i = 0; i < len; ++i) sink += BandOutputs::band(bank->output(i).sum, 8) + BandOutputs::band(bank->output(i).width, 8);
        benchmark::DoNotOptimize(sink);
    });
}
BENCHMARK(BM_BandBank)->Arg(0)->Arg(1);

// The band mix of twelve band outputs and the main paths of both channels, as
// processBlock runs them.
void BM_BandMixAndMainPaths(benchmark::State& state)
{
    auto main = std::make_unique<MainPathT<Lane2>>();
    main->design(prewarp(MainPath::kCornerHz, rate()));
    main->clear();
    // Band outputs of a run of programme (the mix costs the same whatever they are).
    std::array<BandOutputs, kRunLength> o{};
    const std::vector<float>& x = programme();
    for (std::size_t i = 0; i < o.size(); ++i) {
        BandOutputs& b = o[i];
        for (int band = 1; band <= kNumBands; ++band) {
            const auto j = static_cast<std::size_t>(band);
            BandOutputs::band(b.sum, band) = x[i + j] * static_cast<float>(band);
            BandOutputs::band(b.diff, band) = x[i + 2 * j];
            BandOutputs::band(b.width, band) = 0.08f * static_cast<float>(band);
            BandOutputs::band(b.monoGain, band) = 1.0f + 0.03f * static_cast<float>(band);
        }
    }
    std::array<Mem<Lane2>, kRunLength> mix, out;
    eachRun(state, [&](float* y, int len, uint32_t) {
        benchmark::DoNotOptimize(o.data());
        for (int i = 0; i < len; ++i) store(mix[static_cast<std::size_t>(i)], mixBands(o[static_cast<std::size_t>(i)]));
        for (int i = 0; i < len; ++i) store(out[static_cast<std::size_t>(i)], main->process(load<Lane2>(mix[static_cast<std::size_t>(i)])));
        for (int i = 0; i < len; ++i) y[i] = out[static_cast<std::size_t>(i)][0] + out[static_cast<std::size_t>(i)][1];
    });
}
BENCHMARK(BM_BandMixAndMainPaths);

// Both channels' mixes as the output stages take them (channel B a scaled copy).
void toChannels(const float* x, int len, std::array<Mem<Lane2>, kRunLength>& out)
{
    for (int i = 0; i < len; ++i) store(out[static_cast<std::size_t>(i)], Lane2{_mm_setr_ps(x[i], -0.5f * x[i], 0.0f, 0.0f)});
}

void BM_BandwidthExpander(benchmark::State& state)
{
    auto s = std::make_unique<BandwidthExpanderT<Lane2>>();
    const RateConstants rc = rate();
    s->designFixed(rc);
    s->designBlock(designExpander(8000.0f, 25.118864f, 4700.0f, 9700.0f, 0.022387211f, rc));
    s->clear();
    std::array<Mem<Lane2>, kRunLength> mix, y;
    eachRun(state, [&](float* x, int len, uint32_t n0) {
        toChannels(x, len, mix);
        y = mix;
        s->processRun(mix.data(), y.data(), len, n0);
        for (int i = 0; i < len; ++i) x[i] = y[static_cast<std::size_t>(i)][0];
    });
}
BENCHMARK(BM_BandwidthExpander);

void BM_OutputEqualiser(benchmark::State& state)
{
    auto s = std::make_unique<OutputEqualiserT<Lane2>>();
    s->designFixed(rate());
    s->setHfShelf(0.7943282f);
    s->clear();
    std::array<Mem<Lane2>, kRunLength> y;
    eachRun(state, [&](float* x, int len, uint32_t) {
        toChannels(x, len, y);
        s->processRun(y.data(), len);
        for (int i = 0; i < len; ++i) x[i] = y[static_cast<std::size_t>(i)][0];
    });
}
BENCHMARK(BM_OutputEqualiser);

void BM_OutputAgc(benchmark::State& state)
{
    auto s = std::make_unique<OutputAgc>();
    s->designFixed(rate());
    s->setThreshold(0.35481337f);
    s->clear();
    eachRun(state, [&](float* x, int len, uint32_t n0) {
        for (int i = 0; i < len; ++i) {
            const OutputAgc::Out o = s->process(x[i], -0.5f * x[i], n0 + static_cast<uint32_t>(i));
            x[i] = o.a + o.b;
        }
    });
}
BENCHMARK(BM_OutputAgc);

}  // namespace

BENCHMARK_MAIN();
