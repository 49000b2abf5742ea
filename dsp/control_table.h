// The processor's control set as data: label, identifier, group, value, range,
// default and step of each control, in host parameter order. mydsp declares
// them from this table, and every front end that names, reads or writes
// controls (the plug-in interfaces, the command line, the web API) reads the
// same table, so that every one shows the same controls.
#pragma once

#include <array>

#include "dsp/controls.h"

namespace plumbra {

// Physical unit of a control value. Carried as data only: the labels and
// annotations, which a host parameter table shows, are unaffected by it.
enum class ControlUnit { kNone, kDecibel, kHertz, kFactor };

// The groups a control panel shows the controls in, in the order it shows them.
enum class ControlGroup {
    kBandLevelsAndGates,
    kGainLinking,
    kInputFilter,
    kEqualiser,
    kBandwidthExpansion,
    kNoiseReduction,
    kOutput,
};
inline constexpr int kNumControlGroups = 7;
inline constexpr std::array<const char*, kNumControlGroups> kControlGroupNames = {
    "Band levels and gates", "Gain linking",    "Input filter", "Equaliser",
    "Bandwidth expansion",   "Noise reduction", "Output",
};

struct ControlSpec {
    const char* label;   // as hosts show it
    const char* symbol;  // identifier: the LV2 port symbol, also taken by the command line and the web API
    ControlGroup group;
    float Controls::*value;
    bool toggle = false;  // a switch: 0 (off) or 1 (on)
    float init, min, max, step;
    ControlUnit unit = ControlUnit::kNone;  // the value's physical unit, for hosts that show one
    const char* annotateKey1 = nullptr;
    const char* annotateText1 = nullptr;
    const char* annotateKey2 = nullptr;
    const char* annotateText2 = nullptr;
};

// The control set in host parameter order, a row a control. A symbol is the
// label's letters and digits in lower case, each run of other characters one underscore.
// clang-format off
inline constexpr ControlSpec kControlSpecs[kNumControls] = {
    {.label = "Band 1 Level dB", .symbol = "band_1_level_db", .group = ControlGroup::kBandLevelsAndGates, .value = &Controls::band1Level, .init = 9.0f, .min = 0.0f, .max = 24.0f, .step = 1.0f, .unit = ControlUnit::kDecibel},
    {.label = "Band 1 Noisegate Gain Trim dB", .symbol = "band_1_noisegate_gain_trim_db", .group = ControlGroup::kBandLevelsAndGates, .value = &Controls::band1GateTrim, .init = -8.0f, .min = -90.0f, .max = 50.0f, .step = 1.0f, .unit = ControlUnit::kDecibel},
    {.label = "Band 2 -> 1 Gain Linking dB", .symbol = "band_2_1_gain_linking_db", .group = ControlGroup::kGainLinking, .value = &Controls::band2To1Link, .init = -6.0f, .min = -24.0f, .max = 0.0f, .step = 1.0f, .unit = ControlUnit::kDecibel},
    {.label = "Bands 11 -> 12 Gain Linking dB", .symbol = "bands_11_12_gain_linking_db", .group = ControlGroup::kGainLinking, .value = &Controls::bands11To12Link, .init = -10.0f, .min = -24.0f, .max = 0.0f, .step = 1.0f, .unit = ControlUnit::kDecibel},
    {.label = "Bands 5678 Gain Linking dB", .symbol = "bands_5678_gain_linking_db", .group = ControlGroup::kGainLinking, .value = &Controls::bands5678Link, .init = -3.0f, .min = -24.0f, .max = 0.0f, .step = 1.0f, .unit = ControlUnit::kDecibel},
    {.label = "Lowpass Filter", .symbol = "lowpass_filter", .group = ControlGroup::kInputFilter, .value = &Controls::lowpassFreq, .init = 9700.0f, .min = 1000.0f, .max = 15000.0f, .step = 100.0f, .unit = ControlUnit::kHertz},
    {.label = "MBEQ B1t", .symbol = "mbeq_b1t", .group = ControlGroup::kEqualiser, .value = &Controls::mbeqB1t, .init = -35.0f, .min = -70.0f, .max = 0.0f, .step = 1.0f, .unit = ControlUnit::kDecibel},
    {.label = "MBEQ Mt", .symbol = "mbeq_mt", .group = ControlGroup::kEqualiser, .value = &Controls::mbeqMt, .init = -35.0f, .min = -70.0f, .max = 0.0f, .step = 1.0f, .unit = ControlUnit::kDecibel},
    {.label = "Master Noisegate Gain", .symbol = "master_noisegate_gain", .group = ControlGroup::kBandLevelsAndGates, .value = &Controls::masterGateGain, .init = 40.0f, .min = 0.0f, .max = 90.0f, .step = 1.0f, .unit = ControlUnit::kDecibel},
    {.label = "Noisegate Gain Scale dB Per Band", .symbol = "noisegate_gain_scale_db_per_band", .group = ControlGroup::kBandLevelsAndGates, .value = &Controls::gateScalePerBand, .init = 0.7f, .min = -6.0f, .max = 6.0f, .step = 0.1f, .unit = ControlUnit::kDecibel},
    {.label = "Disable WRMI EQ", .symbol = "disable_wrmi_eq", .group = ControlGroup::kEqualiser, .value = &Controls::disableWrmiEq, .toggle = true, .init = 0.0f, .min = 0.0f, .max = 1.0f, .step = 0.0f, .annotateKey1 = "controls", .annotateText1 = "00"},
    {.label = "OutAGC Threshold", .symbol = "outagc_threshold", .group = ControlGroup::kOutput, .value = &Controls::outAgcThreshold, .init = -9.0f, .min = -12.0f, .max = 3.0f, .step = 1.0f, .unit = ControlUnit::kDecibel, .annotateKey1 = "controls", .annotateText1 = "90"},
    {.label = "Bandwidth Expansion Input HPF", .symbol = "bandwidth_expansion_input_hpf", .group = ControlGroup::kBandwidthExpansion, .value = &Controls::bweInputHpf, .init = 4700.0f, .min = 2000.0f, .max = 8000.0f, .step = 1.0f, .unit = ControlUnit::kHertz, .annotateKey1 = "controls", .annotateText1 = "94"},
    {.label = "Bandwidth Expansion HF Detection Freq", .symbol = "bandwidth_expansion_hf_detection_freq", .group = ControlGroup::kBandwidthExpansion, .value = &Controls::bweHfDetectFreq, .init = 8000.0f, .min = 5000.0f, .max = 10000.0f, .step = 100.0f, .unit = ControlUnit::kHertz, .annotateKey1 = "controls", .annotateText1 = "97"},
    {.label = "Bandwidth Expansion HF Detection Gain", .symbol = "bandwidth_expansion_hf_detection_gain", .group = ControlGroup::kBandwidthExpansion, .value = &Controls::bweHfDetectGain, .init = 28.0f, .min = 0.0f, .max = 50.0f, .step = 1.0f, .unit = ControlUnit::kDecibel, .annotateKey1 = "controls", .annotateText1 = "98"},
    {.label = "Final 2k HF Shelf", .symbol = "final_2k_hf_shelf", .group = ControlGroup::kOutput, .value = &Controls::finalHfShelf, .init = -2.0f, .min = -12.0f, .max = 0.0f, .step = 1.0f, .unit = ControlUnit::kDecibel, .annotateKey1 = "controls", .annotateText1 = "999"},
    {.label = "Bandwidth Expansion Level", .symbol = "bandwidth_expansion_level", .group = ControlGroup::kBandwidthExpansion, .value = &Controls::bweLevel, .init = -33.0f, .min = -96.0f, .max = 24.0f, .step = 1.0f, .unit = ControlUnit::kDecibel, .annotateKey1 = "controls", .annotateText1 = "99"},
    {.label = "DNR Sensitivity", .symbol = "dnr_sensitivity", .group = ControlGroup::kNoiseReduction, .value = &Controls::dnrSensitivity, .init = 300.0f, .min = 10.0f, .max = 300.0f, .step = 1.0f, .unit = ControlUnit::kFactor, .annotateKey1 = "da", .annotateText1 = "", .annotateKey2 = "unit", .annotateText2 = "x"},
    {.label = "DNR LPF Disable", .symbol = "dnr_lpf_disable", .group = ControlGroup::kNoiseReduction, .value = &Controls::dnrLpfDisable, .toggle = true, .init = 0.0f, .min = 0.0f, .max = 1.0f, .step = 0.0f, .annotateKey1 = "sa", .annotateText1 = ""},
};
// clang-format on

}  // namespace plumbra
