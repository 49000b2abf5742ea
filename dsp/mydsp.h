// The signal processor: a twelve-band loudness and dynamics processor with one
// mono input and two outputs. It owns its nineteen control values and every
// filter history, delay ring and envelope of the chain, all inline, so that the
// whole processor is one allocation and nothing is allocated while processing.
#pragma once

#include <cstdint>
#include <type_traits>

#include "dsp/stages/band_bank.h"
#include "dsp/stages/band_mix.h"
#include "dsp/stages/band_outputs.h"
#include "dsp/stages/block_values.h"
#include "dsp/stages/bandwidth_expander.h"
#include "dsp/stages/decorrelator.h"
#include "dsp/controls.h"
#include "dsp/dsp.h"
#include "dsp/meters.h"
#include "dsp/stages/input_lowpass.h"
#include "dsp/stages/noise_reduction.h"
#include "dsp/stages/output_agc.h"
#include "dsp/stages/output_eq.h"
#include "dsp/stages/presence_eq.h"
#include "dsp/blocks/sections.h"

namespace plumbra {

// Level of the band outputs against their gains, dB (the scale kScaleMinus26dB
// of bands 2 to 11): band 1's output level V1 = 10^(("Band 1 Level dB" +
// kBandOutputLevelDb)/20) follows its control from there.
inline constexpr float kBandOutputLevelDb = -26.0f;

class mydsp : public dsp {
public:
    int32_t inputCount() override { return 2; }
    int32_t outputCount() override { return 2; }
    void declareControls(UIReal<float>* ui) override;
    int32_t currentSampleRate() override { return sampleRate_; }
    void initialise(int32_t sampleRate) override { initInstance(sampleRate); }
    void initInstance(int32_t sampleRate) override
    {
        computeConstants(sampleRate);
        resetControls();
        clearState();
    }
    void computeConstants(int32_t sampleRate) override;
    void resetControls() override;
    void clearState() override;
    dsp* clone() override { return new mydsp(); }
    void declareMetadata(Meta* m) override;
    void processBlock(int32_t count, float** inputs, float** outputs) override;
    using dsp::processBlock;

    // Read-only views for tests and tools.
    const Controls& controls() const { return controls_; }
    Controls& controls() { return controls_; }
    const RateConstants& rate() const { return rate_; }
    uint32_t ringCounter() const { return ringCounter_; }
    // True when no word of the signal state (histories, rings, envelopes and
    // coefficients) is NaN or +infinity.
    bool stateFinite() const;
    BlockValues blockValues() const;
    // The meters of the last block processed; any thread may read them.
    const MeterBoard& meters() const { return meters_; }

private:
    int32_t sampleRate_;    // rate last passed to computeConstants, unclamped
    Controls controls_;     // the nineteen control values
    RateConstants rate_;    // working rate and its derived basics
    uint32_t ringCounter_;  // shared index of every delay ring
    bool avx_;              // the decorrelator and output stages on the AVX path

    // The signals between stages that work run by run (see processBlock).
    struct RunBuffers {
        std::array<float, kRunLength> equalised;    // programme after the presence equaliser
        std::array<float, kRunLength> left, right;  // pseudo-stereo pair
        std::array<Mem<Lane2>, kRunLength> mix;     // unshelved band mix of channels A and B
        std::array<Mem<Lane2>, kRunLength> output;  // main path of A and B, then expanded and equalised
    };
    RunBuffers run_;

    // ---- input conditioning ----
    InputLowpass inputLowpass_;      // band-limits the input at "Lowpass Filter"
    NoiseReduction noiseReduction_;  // look-ahead normaliser and dynamic noise reduction
    PresenceEq presenceEq_;          // fixed presence equaliser, "Disable WRMI EQ" bypass
    Decorrelator decorrelator_;      // mono programme to pseudo-stereo pair

    // ---- band processors ----
    BandBank bandBank_;  // twelve bands: split, detection, gain, linking, width

    // ---- band mix and output stages ----
    MainPathT<Lane2> main_;               // 5 kHz shelf and two-sample delay of channels A and B's mixes
    BandwidthExpanderT<Lane2> expander_;  // synthetic treble of channels A and B
    OutputEqualiserT<Lane2> eq_;          // output equaliser of channels A and B
    OutputAgc outputAgc_;                 // common look-ahead output gain control of both channels

    // Recovery from a non-finite state (see processBlock): the next word of the
    // signal state to be checked. Kept last, outside the checked region.
    uint32_t checkPos_;

    // Meters: the block's values, published at its end (outside the checked region).
    MeterSnapshot meterValues_;
    MeterBoard meters_;

    bool outputsFinite(int32_t count, float** outputs);
    void publishMeters(int32_t count, const float* input, float** outputs, float limiterRatio);
    bool nextStateWordsFinite(uint32_t words);
};

static_assert(!std::is_polymorphic_v<Controls>);

// Samples by which the output trails the input, the same at every rate: the
// input normaliser and noise reduction, the band gains' look-ahead, the band
// rings up to the mix, the main path and the output gain control.
inline constexpr int32_t kLatencySamples =
    static_cast<int32_t>(NoiseReduction::kLookAhead + NoiseReduction::kFilterTap + BandBank::kLookAhead +
                         BandBank::kMixDelay + MainPath::kDelay + OutputAgc::kDelay);
static_assert(kLatencySamples == 3552);

}  // namespace plumbra

using plumbra::mydsp;
