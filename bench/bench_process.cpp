// Throughput of the whole processor at 44100 Hz, as a real-time factor: seconds
// of audio processed per second of CPU time. Three kinds of programme: noise-like
// programme, silence, and a signal decaying into silence (where filter states
// run down towards the subnormal range).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/band_mix.h"
#include "dsp/bandwidth_expander.h"
#include "dsp/denormals.h"
#include "dsp/mydsp.h"
#include "dsp/output_agc.h"
#include "dsp/output_eq.h"

namespace {

constexpr int kRate = 44100;
constexpr int kBlock = 512;
constexpr std::size_t kLength = 8 * kRate;  // eight seconds, cycled

std::vector<float> makeProgramme()
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(kLength);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double swell = 0.55 + 0.45 * std::sin(2.0 * M_PI * 0.7 * t);
        x[i] = static_cast<float>(swell * (0.4 * u(rng) + 0.2 * std::sin(2.0 * M_PI * 220.0 * t)));
    }
    return x;
}

std::vector<float> makeDecay()
{
    // One second of programme, then an exponential fade of 120 dB per second
    // that passes through the subnormal range into exact silence.
    std::vector<float> x = makeProgramme();
    for (std::size_t i = kRate; i < x.size(); ++i) {
        const double t = static_cast<double>(i - kRate) / kRate;
        x[i] = static_cast<float>(x[i] * std::pow(10.0, -6.0 * t));
    }
    return x;
}

void runProcessor(benchmark::State& state, const std::vector<float>& in)
{
    auto p = std::make_unique<mydsp>();
    p->initialise(kRate);
    std::vector<float> o0(kBlock), o1(kBlock);
    float* outs[2] = {o0.data(), o1.data()};
    std::size_t pos = 0;
    std::int64_t samples = 0;
    for (auto _ : state) {
        float* src = const_cast<float*>(in.data() + pos);
        float* ins[2] = {src, src};
        p->processBlock(kBlock, ins, outs);
        benchmark::DoNotOptimize(o0.data());
        benchmark::ClobberMemory();
        pos += kBlock;
        if (pos + kBlock > in.size()) {
            pos = 0;
            // The decay must be met from a state that carries programme, not
            // from a rested one: restart the processor with the signal.
            if (state.range(0) == 2) p->initialise(kRate);
        }
        samples += kBlock;
    }
    state.SetItemsProcessed(samples);
    // Seconds of audio per CPU second.
    state.counters["realtime_factor"] = benchmark::Counter(static_cast<double>(samples) / kRate, benchmark::Counter::kIsRate);
    state.counters["sizeof_mydsp_KB"] = static_cast<double>(sizeof(mydsp)) / 1024.0;
}

// The band groups' path that design() chooses here: eight AVX lanes, or four
// SSE2 lanes (no AVX, a 32-bit build, or PLUMBRA_FORCE_SSE2=1).
const char* bandPath()
{
    auto bank = std::make_unique<plumbra::BandBank>();
    bank->design({static_cast<float>(kRate), 1.0f / static_cast<float>(kRate), plumbra::kPi / static_cast<float>(kRate)});
    return bank->usesAvx() ? ", bands AVX" : ", bands SSE2";
}

void BM_Process(benchmark::State& state)
{
    static const std::vector<float> programme = makeProgramme();
    static const std::vector<float> silence(kLength, 0.0f);
    static const std::vector<float> decay = makeDecay();
    const std::vector<float>* in = state.range(0) == 0 ? &programme : state.range(0) == 1 ? &silence : &decay;
    state.SetLabel(std::string(state.range(0) == 0 ? "programme" : state.range(0) == 1 ? "silence" : "decay to silence") +
                   bandPath());
    runProcessor(state, *in);
}
BENCHMARK(BM_Process)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The output stages alone (main path, bandwidth expander and output equaliser of
// both channels, output gain control), fed with a noise-like mix, to show their
// share of the whole.
struct OutputStages {
    plumbra::MainPath mainA, mainB;
    plumbra::BandwidthExpanderT<plumbra::Lane2> exp;  // both channels, as the processor runs them
    plumbra::OutputEqualiserT<plumbra::Lane2> eq;
    plumbra::OutputAgc agc;
    std::array<plumbra::Mem<plumbra::Lane2>, plumbra::kRunLength> mix, y;  // a run of the mix and of the main path
};

void BM_OutputStages(benchmark::State& state)
{
    static const std::vector<float> programme = makeProgramme();
    plumbra::RateConstants rc;
    rc.fs = kRate;
    rc.T = 1.0f / rc.fs;
    rc.piT = plumbra::kPi * rc.T;
    auto st = std::make_unique<OutputStages>();
    const float kMain = plumbra::prewarp(plumbra::MainPath::kCornerHz, rc);
    st->mainA.design(kMain);
    st->mainB.design(kMain);
    st->exp.designFixed(rc);
    st->eq.designFixed(rc);
    st->agc.designFixed(rc);
    st->mainA.clear();
    st->mainB.clear();
    st->exp.clear();
    st->eq.clear();
    st->agc.clear();
    std::vector<float> o0(kBlock), o1(kBlock);
    std::size_t pos = 0;
    std::int64_t samples = 0;
    uint32_t n = 0;
    for (auto _ : state) {
        const plumbra::ExpanderDesign d =
            plumbra::designExpander(8000.0f, 25.118864f, 4700.0f, 9700.0f, 0.022387211f, rc);
        st->exp.designBlock(d);
        st->eq.setHfShelf(0.7943282f);
        st->agc.setThreshold(0.35481337f);
        // Run by run, as the processor does: the main paths per sample, then
        // the expander and the equaliser over the run, then the gain control.
        for (int start = 0; start < kBlock; start += plumbra::kRunLength) {
            const int len = std::min(plumbra::kRunLength, kBlock - start);
            for (int i = 0; i < len; ++i) {
                const float xa = programme[pos + static_cast<std::size_t>(start + i)];
                const float xb = -0.5f * xa;
                plumbra::store(st->mix[i], plumbra::Lane2{_mm_setr_ps(xa, xb, 0.0f, 0.0f)});
                plumbra::store(st->y[i], plumbra::Lane2{_mm_setr_ps(st->mainA.process(xa), st->mainB.process(xb), 0.0f, 0.0f)});
            }
            st->exp.processRun(st->mix.data(), st->y.data(), len, n);
            st->eq.processRun(st->y.data(), len);
            for (int i = 0; i < len; ++i) {
                const plumbra::OutputAgc::Out o = st->agc.process(st->y[i][0], st->y[i][1], n + static_cast<uint32_t>(i));
                o0[static_cast<std::size_t>(start + i)] = o.a;
                o1[static_cast<std::size_t>(start + i)] = o.b;
            }
            n += static_cast<uint32_t>(len);
        }
        benchmark::DoNotOptimize(o0.data());
        benchmark::DoNotOptimize(o1.data());
        benchmark::ClobberMemory();
        pos += kBlock;
        if (pos + kBlock > programme.size()) pos = 0;
        samples += kBlock;
    }
    state.SetItemsProcessed(samples);
    state.counters["realtime_factor"] = benchmark::Counter(static_cast<double>(samples) / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OutputStages)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The twelve bands alone (split, detection, envelopes, gates, gains, linking,
// width), fed with a pseudo-stereo pair made from the programme, to show the
// band bank's share of the whole.
void BM_BandBank(benchmark::State& state)
{
    static const std::vector<float> programme = makeProgramme();
    auto p = std::make_unique<mydsp>();
    p->initialise(kRate);
    const plumbra::BlockValues bv = p->blockValues();
    plumbra::RateConstants rc;
    rc.fs = kRate;
    rc.T = 1.0f / rc.fs;
    rc.piT = plumbra::kPi * rc.T;
    auto bank = std::make_unique<plumbra::BandBank>();
    bank->design(rc);
    bank->clear();
    std::size_t pos = 0;
    std::int64_t samples = 0;
    uint32_t n = 0;
    float sink = 0.0f;
    std::array<float, plumbra::kRunLength> left, right;
    for (auto _ : state) {
        plumbra::ScopedFlushDenormals flush;  // as in processBlock
        // Runs as the processor takes them.
        for (int start = 0; start < kBlock; start += plumbra::kRunLength) {
            for (int i = 0; i < plumbra::kRunLength; ++i) {
                const std::size_t k = pos + static_cast<std::size_t>(start + i);
                const float x = programme[k];
                const float d = programme[(k + 4410) % programme.size()];
                left[static_cast<std::size_t>(i)] = x + 0.3f * d;
                right[static_cast<std::size_t>(i)] = x - 0.3f * d;
            }
            bank->processRun(left.data(), right.data(), plumbra::kRunLength, n, bv);
            n += plumbra::kRunLength;
            for (int i = 0; i < plumbra::kRunLength; ++i) sink += bank->output(i).sum[5] + bank->output(i).width[5];
        }
        benchmark::DoNotOptimize(sink);
        pos += kBlock;
        if (pos + kBlock > programme.size()) pos = 0;
        samples += kBlock;
    }
    state.SetItemsProcessed(samples);
    state.counters["realtime_factor"] = benchmark::Counter(static_cast<double>(samples) / kRate, benchmark::Counter::kIsRate);
    state.SetLabel(bank->usesAvx() ? "AVX" : "SSE2");
}
BENCHMARK(BM_BandBank)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
