// Throughput of the whole processor at 44100 Hz, as a real-time factor: seconds
// of audio processed per second of CPU time. Three kinds of programme: noise-like
// programme, silence, and a signal decaying into silence (where filter states
// run down towards the subnormal range).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "bench/programme.h"
#include "dsp/mydsp.h"

namespace {

constexpr int kRate = 44100;
constexpr int kBlock = 512;
constexpr std::size_t kLength = 8 * kRate;  // eight seconds, cycled

std::vector<float> makeProgramme() { return benchProgramme(kRate, kLength); }

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

}  // namespace

BENCHMARK_MAIN();
