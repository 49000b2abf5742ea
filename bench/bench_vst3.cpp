// The VST 3 front end's cost against the VST 2 build's: both libraries loaded
// as hosts load them, the same programme in blocks of 512 at 48 kHz. Compare
// the medians (--benchmark_repetitions=9 --benchmark_report_aggregates_only).
#include <benchmark/benchmark.h>

#include <dlfcn.h>

#include <memory>
#include <vector>

#include "bench/programme.h"
#include "shell/vst2.h"
#include "tests/vst3/vst3_host.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 512;

const std::vector<float>& programme()
{
    static const std::vector<float> x = benchProgramme(kRate, 8 * kRate);
    return x;
}

VstIntPtr VSTCALLBACK host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float)
{
    return opcode == audioMasterVersion ? 2400 : 0;
}

void BM_Vst2Process(benchmark::State& state)
{
    void* lib = dlopen(PLUMBRA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    auto entry = lib ? reinterpret_cast<VstPluginMainProc>(dlsym(lib, "VSTPluginMain")) : nullptr;
    AEffect* e = entry ? entry(&host) : nullptr;
    if (!e) {
        state.SkipWithError("VST 2 build not loaded");
        return;
    }
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, static_cast<float>(kRate));
    e->dispatcher(e, effSetBlockSize, 0, kBlock, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    std::vector<float> l(kBlock), r(kBlock);
    float* outs[2] = {l.data(), r.data()};
    std::size_t pos = 0;
    for (auto _ : state) {
        float* src = const_cast<float*>(programme().data() + pos);
        float* ins[2] = {src, src};
        e->processReplacing(e, ins, outs, kBlock);
        benchmark::DoNotOptimize(l.data());
        pos = pos + 2 * kBlock > programme().size() ? 0 : pos + kBlock;
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

void BM_Vst3Process(benchmark::State& state)
{
    plumbra::test::vst3::Instance p(PLUMBRA_VST3_BUNDLE, plumbra::vst3::kSpeakerArrMono, kBlock);
    std::vector<float> l(kBlock), r(kBlock);
    std::size_t pos = 0;
    for (auto _ : state) {
        p.process({programme().data() + pos}, l.data(), r.data(), kBlock);
        benchmark::DoNotOptimize(l.data());
        pos = pos + 2 * kBlock > programme().size() ? 0 : pos + kBlock;
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

BENCHMARK(BM_Vst2Process)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Vst3Process)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
