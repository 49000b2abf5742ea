// Controls, metadata, lifecycle and the per-sample loop of the processor.
#include "dsp/mydsp.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/avx/avx_path.h"
#include "dsp/control_table.h"
#include "dsp/simd/denormals.h"

namespace plumbra {

namespace {

// Words of the signal state checked for non-finite values per processed sample:
// the whole state is covered about every 9000 samples.
constexpr uint32_t kCheckedWordsPerSample = 16;

}  // namespace

bool avxCopiesMatch()
{
#ifdef PLUMBRA_AVX_PATH
    return decorrelatorLayoutAvx() == kDecorrelatorLayout && expanderLayoutAvx() == kExpanderLayout<Lane2> &&
           equaliserLayoutAvx() == kEqualiserLayout<Lane2>;
#else
    return true;
#endif
}

void mydsp::declareControls(UIReal<float>* ui)
{
    ui->openColumnGroup("Halvex_Plumbra-Vektis");
    for (const ControlSpec& c : kControlSpecs) {
        float* value = &(controls_.*c.value);
        if (c.annotateKey1) ui->annotate(value, c.annotateKey1, c.annotateText1);
        if (c.annotateKey2) ui->annotate(value, c.annotateKey2, c.annotateText2);
        if (c.toggle)
            ui->addToggle(c.label, value);
        else
            ui->addHorizontalFader(c.label, value, c.init, c.min, c.max, c.step);
    }
    ui->closeGroup();
}

void mydsp::resetControls()
{
    for (const ControlSpec& c : kControlSpecs) storeControl(controls_.*c.value, c.init);
}

void mydsp::declareMetadata(Meta* m)
{
    m->declare("Unique_ID", "w3m58t");
    m->declare("analyzers_lib_name", "Faust Analyzer Library");
    m->declare("analyzers_lib_version", "0.0");
    m->declare("author", "Halvex");
    m->declare("basics_lib_name", "Faust Basic Element Library");
    m->declare("basics_lib_version", "0.0");
    m->declare("compilation_options", "-single -sse2");
    m->declare("compile_options", "-std=c++20 -O2 -msse2 -mfpmath=sse -ffp-contract=off");
    m->declare("filename", "Halvex_Plumbra-Vektis.cpp");
    m->declare("filters_lib_name", "Faust Filters Library");
    m->declare("filters_lib_version", "0.0");
    m->declare("library_path", "Halvex_Plumbra-Vektis");
    m->declare("maths_lib_author", "Halvex");
    m->declare("maths_lib_copyright", "Halvex");
    m->declare("maths_lib_license", "Halvex licence");
    m->declare("maths_lib_name", "Faust Math Library");
    m->declare("maths_lib_version", "2.1");
    m->declare("misceffects_lib_name", "Faust Math Library");
    m->declare("misceffects_lib_version", "2.0");
    m->declare("name", "Halvex_Plumbra-Vektis");
    m->declare("noises_lib_name", "Faust Noise Generator Library");
    m->declare("noises_lib_version", "0.0");
    m->declare("signals_lib_name", "Faust Signal Routing Library");
    m->declare("signals_lib_version", "0.0");
    m->declare("version", "w3m58t");
}

void mydsp::computeConstants(int32_t sampleRate)
{
    sampleRate_ = sampleRate;
    const float fs = std::min(kMaxRate, std::max(1.0f, static_cast<float>(sampleRate)));
    rate_.fs = fs;
    rate_.T = 1.0f / fs;
    rate_.piT = kPi * rate_.T;

    // ---- fixed coefficients of every stage ----
    noiseReduction_.design(rate_);
    presenceEq_.design(rate_);
    decorrelator_.design();
    bandBank_.design(rate_);
    // The decorrelator and the output stages take the path the bank chose,
    // where the AVX units' copies of their types match the processor's.
    avx_ = decorrelator_.useAvx(bandBank_.usesAvx() && avxCopiesMatch());

    // Band mix and output stages.
    const float kMain = kOutputCorners.prewarp(MainPath::kCornerHz, rate_);
    main_.design(kMain);
    expander_.designFixed(rate_);
    eq_.designFixed(rate_);
    outputAgc_.designFixed(rate_);
}

void mydsp::clearState()
{
    ringCounter_ = 0;
    run_ = {};
    meterValues_ = {};

    // ---- every stage's histories, rings and envelopes ----
    inputLowpass_.clear();
    noiseReduction_.clear();
    presenceEq_.clear();
    decorrelator_.clear();
    bandBank_.clear();

    // Band mix and output stages.
    main_.clear();
    expander_.clear();
    eq_.clear();
    outputAgc_.clear();
}

BlockValues mydsp::blockValues() const
{
    using chainmath::dbToLinear;
    const Controls& c = controls_;
    BlockValues b{};
    const float master = loadControl(c.masterGateGain);
    const float scale = loadControl(c.gateScalePerBand);
    b.gateGain[0] = dbToLinear(master + loadControl(c.band1GateTrim));
    for (int k = 1; k < kNumBands; ++k) b.gateGain[k] = dbToLinear(master - static_cast<float>(k) * scale);
    b.floorMt = dbToLinear(loadControl(c.mbeqMt));
    b.floorB1t = dbToLinear(loadControl(c.mbeqB1t));
    b.link5678 = dbToLinear(loadControl(c.bands5678Link));
    b.link21 = dbToLinear(loadControl(c.band2To1Link));
    b.link1112 = dbToLinear(loadControl(c.bands11To12Link));
    b.band1Out = dbToLinear(loadControl(c.band1Level) + kBandOutputLevelDb);

    b.lowpassHz = loadControl(c.lowpassFreq);
    b.dnrSens = loadControl(c.dnrSensitivity);
    b.dnrMinHz = loadControl(c.dnrLpfDisable) > 0.5f ? NoiseReduction::kCutoffMax : 0.0f;
    b.eqBypass = loadControl(c.disableWrmiEq) >= 0.5f;

    b.bweDetectHz = loadControl(c.bweHfDetectFreq);
    b.bweDetectGain = dbToLinear(loadControl(c.bweHfDetectGain));
    b.bweInputHz = loadControl(c.bweInputHpf);
    b.bweLevel = dbToLinear(loadControl(c.bweLevel));
    b.hfShelf = dbToLinear(loadControl(c.finalHfShelf));
    b.agcThreshold = dbToLinear(loadControl(c.outAgcThreshold));
    return b;
}

void mydsp::processBlock(int32_t count, float** inputs, float** outputs)
{
    const BlockValues bv = blockValues();
    if (count <= 0) return;

    ScopedFlushDenormals flush;

    // ---- per-block coefficients ----
    inputLowpass_.design(bv.lowpassHz, rate_);

    // Band mix and output stages.
    const ExpanderDesign expander =
        designExpander(bv.bweDetectHz, bv.bweDetectGain, bv.bweInputHz, bv.lowpassHz, bv.bweLevel, rate_);
    expander_.designBlock(expander);
    eq_.setHfShelf(bv.hfShelf);
    outputAgc_.setThreshold(bv.agcThreshold);

    bandBank_.resetMeters();
    float limiterRatio = 1.0f;  // largest E/t of the output gain control: its gain reduction

    [[maybe_unused]] const bool avx = avx_;  // the path chosen in computeConstants
    const float* in0 = inputs[0];
    float* out0 = outputs[0];
    float* out1 = outputs[1];
    RunBuffers& run = run_;
    for (int32_t start = 0; start < count; start += kRunLength) {
        const int len = static_cast<int>(std::min<int32_t>(kRunLength, count - start));
        const uint32_t n0 = ringCounter_;

        // ---- input conditioning ----
        for (int i = 0; i < len; ++i) run.equalised[i] = boundedInput(in0[start + i]);
        inputLowpass_.processRun(run.equalised.data(), len);
        noiseReduction_.processRun(run.equalised.data(), len, n0, bv.dnrSens, bv.dnrMinHz);
        presenceEq_.processRun(run.equalised.data(), len, bv.eqBypass);
        decorrelator_.processRun(run.equalised.data(), run.left.data(), run.right.data(), len, n0);

        // ---- band processors ----
        bandBank_.processRun(run.left.data(), run.right.data(), len, n0, bv);

        // ---- band mix and main paths ----
        for (int i = 0; i < len; ++i) store(run.mix[i], mixBands(bandBank_.output(i)));
        for (int i = 0; i < len; ++i) store(run.output[i], main_.process(load<Lane2>(run.mix[i])));

        // ---- output stages ----
        // Pure feed-forward from the mix, so each goes over the whole run.
#ifdef PLUMBRA_AVX_PATH
        if (avx) {
            outputStagesRunAvx(expander_, eq_, run.mix.data(), run.output.data(), len, n0);
        } else
#endif
        {
            expander_.processRun(run.mix.data(), run.output.data(), len, n0);
            eq_.processRun(run.output.data(), len);
        }
        for (int i = 0; i < len; ++i) {
            const uint32_t n = n0 + static_cast<uint32_t>(i);
            const OutputAgc::Out out = outputAgc_.process(run.output[i][0], run.output[i][1], n);
            out0[start + i] = out.a;
            out1[start + i] = out.b;
            limiterRatio = std::max(limiterRatio, outputAgc_.reduction());
        }
        ringCounter_ = n0 + static_cast<uint32_t>(len);
    }

    // Recovery: with bounded input the chain stays finite, but should any state
    // turn non-finite all the same, the stream must not stay dead until the
    // plug-in is reloaded. Non-finite output samples of this block are silenced
    // and the whole signal state is cleared, so the next block starts afresh;
    // a state that has not reached the output yet is found by a sweep over the
    // state that checks a few words per processed sample.
    if (!outputsFinite(count, outputs) || !nextStateWordsFinite(static_cast<uint32_t>(count) * kCheckedWordsPerSample))
        clearState();
    publishMeters(count, in0, outputs, limiterRatio);
}

namespace {

float meterDb(float linear) { return std::max(kMeterFloorDb, 20.0f * std::log10(linear)); }

}  // namespace

void mydsp::publishMeters(int32_t count, const float* input, float** outputs, float limiterRatio)
{
    MeterSnapshot& m = meterValues_;
    float inPeak = 0.0f, outPeak = 0.0f;
    double inSquares = 0.0;
    for (int32_t i = 0; i < count; ++i) {
        const float x = boundedInput(input[i]);
        inPeak = std::max(inPeak, std::fabs(x));
        inSquares += static_cast<double>(x) * x;
        outPeak = std::max({outPeak, std::fabs(outputs[0][i]), std::fabs(outputs[1][i])});
    }
    for (int b = 1; b <= kNumBands; ++b) {
        const BandMeterValues v = bandBank_.meter(b);
        m.values[static_cast<std::size_t>(bandMeter(b, kBandGainLow))] = meterDb(v.gainLow);
        m.values[static_cast<std::size_t>(bandMeter(b, kBandGainHigh))] = meterDb(v.gainHigh);
        m.values[static_cast<std::size_t>(bandMeter(b, kBandGate))] = v.gate;
        m.values[static_cast<std::size_t>(bandMeter(b, kBandLevel))] = meterDb(v.level);
        if (const int w = widthMeter(b); w >= 0) m.values[static_cast<std::size_t>(w)] = v.width;
    }
    m.values[kMeterLimiterReduction] = 20.0f * std::log10(limiterRatio);
    m.values[kMeterInputPeak] = meterDb(inPeak);
    m.values[kMeterInputRms] = meterDb(static_cast<float>(std::sqrt(inSquares / count)));
    m.values[kMeterOutputPeak] = meterDb(outPeak);
    m.values[kMeterNoiseCutoff] = noiseReduction_.currentCutoff();
    m.block += 1;
    m.samples += static_cast<uint64_t>(count);
    meters_.publish(m);
}

bool mydsp::outputsFinite(int32_t count, float** outputs)
{
    bool finite = true;
    for (int c = 0; c < 2; ++c) {
        float* out = outputs[c];
        for (int32_t i = 0; i < count; ++i) {
            if (!std::isfinite(out[i])) {
                out[i] = 0.0f;
                finite = false;
            }
        }
    }
    return finite;
}

// The checked region runs from the first stage buffer to the check position
// itself: everything the per-sample loop writes, and the coefficients, as
// 32-bit words tested for NaN and +infinity. Every word of that region is a
// float or a small counter. -infinity is allowed: it is the "no value yet" of
// the sliding peak maxima, and in any other state it would reach the output as
// a non-finite value within the latency.
bool mydsp::nextStateWordsFinite(uint32_t words)
{
    const auto* begin = reinterpret_cast<const unsigned char*>(&run_);
    const auto total = static_cast<uint32_t>((reinterpret_cast<const unsigned char*>(&checkPos_) - begin) / 4);
    words = std::min(words, total);
    if (checkPos_ >= total) checkPos_ = 0;
    const uint32_t first = std::min(words, total - checkPos_);
    const bool finite = noNanOrPlusInfinity(begin + 4 * std::size_t{checkPos_}, first) && noNanOrPlusInfinity(begin, words - first);
    checkPos_ = (checkPos_ + words) % total;
    return finite;
}

bool mydsp::stateFinite() const
{
    const auto* begin = reinterpret_cast<const unsigned char*>(&run_);
    return noNanOrPlusInfinity(begin, static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(&checkPos_) - begin) / 4);
}

}  // namespace plumbra
