// The processor's control set as data: label, value, range, default and step
// of each control, in host parameter order. mydsp::declareControls declares
// them from this table, and tools that describe the plug-in to other hosts
// read the same table, so that every front end shows the same controls.
#pragma once

#include <cctype>
#include <string>

#include "dsp/mydsp.h"

namespace plumbra {

// Physical unit of a control value. Carried as data only: the labels and
// annotations, which a host parameter table shows, are unaffected by it.
enum class ControlUnit { kNone, kDecibel, kHertz, kFactor };

struct ControlSpec {
    const char* label;
    float Controls::*value;
    bool toggle;
    float init, min, max, step;
    const char* annotateKey1;
    const char* annotateText1;
    const char* annotateKey2;
    const char* annotateText2;
    ControlUnit unit;  // the value's physical unit, for hosts that show one
};

// The control set in host parameter order.
inline constexpr ControlSpec kControlSpecs[kNumControls] = {
    {"Band 1 Level dB", &Controls::band1Level, false, 9.0f, 0.0f, 24.0f, 1.0f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kDecibel},
    {"Band 1 Noisegate Gain Trim dB", &Controls::band1GateTrim, false, -8.0f, -90.0f, 50.0f, 1.0f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kDecibel},
    {"Band 2 -> 1 Gain Linking dB", &Controls::band2To1Link, false, -6.0f, -24.0f, 0.0f, 1.0f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kDecibel},
    {"Bands 11 -> 12 Gain Linking dB", &Controls::bands11To12Link, false, -10.0f, -24.0f, 0.0f, 1.0f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kDecibel},
    {"Bands 5678 Gain Linking dB", &Controls::bands5678Link, false, -3.0f, -24.0f, 0.0f, 1.0f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kDecibel},
    {"Lowpass Filter", &Controls::lowpassFreq, false, 9700.0f, 1000.0f, 15000.0f, 100.0f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kHertz},
    {"MBEQ B1t", &Controls::mbeqB1t, false, -35.0f, -70.0f, 0.0f, 1.0f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kDecibel},
    {"MBEQ Mt", &Controls::mbeqMt, false, -35.0f, -70.0f, 0.0f, 1.0f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kDecibel},
    {"Master Noisegate Gain", &Controls::masterGateGain, false, 40.0f, 0.0f, 90.0f, 1.0f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kDecibel},
    {"Noisegate Gain Scale dB Per Band", &Controls::gateScalePerBand, false, 0.7f, -6.0f, 6.0f, 0.1f, nullptr, nullptr, nullptr, nullptr, ControlUnit::kDecibel},
    {"Disable WRMI EQ", &Controls::disableWrmiEq, true, 0.0f, 0.0f, 1.0f, 0.0f, "controls", "00", nullptr, nullptr, ControlUnit::kNone},
    {"OutAGC Threshold", &Controls::outAgcThreshold, false, -9.0f, -12.0f, 3.0f, 1.0f, "controls", "90", nullptr, nullptr, ControlUnit::kDecibel},
    {"Bandwidth Expansion Input HPF", &Controls::bweInputHpf, false, 4700.0f, 2000.0f, 8000.0f, 1.0f, "controls", "94", nullptr, nullptr, ControlUnit::kHertz},
    {"Bandwidth Expansion HF Detection Freq", &Controls::bweHfDetectFreq, false, 8000.0f, 5000.0f, 10000.0f, 100.0f, "controls", "97", nullptr, nullptr, ControlUnit::kHertz},
    {"Bandwidth Expansion HF Detection Gain", &Controls::bweHfDetectGain, false, 28.0f, 0.0f, 50.0f, 1.0f, "controls", "98", nullptr, nullptr, ControlUnit::kDecibel},
    {"Final 2k HF Shelf", &Controls::finalHfShelf, false, -2.0f, -12.0f, 0.0f, 1.0f, "controls", "999", nullptr, nullptr, ControlUnit::kDecibel},
    {"Bandwidth Expansion Level", &Controls::bweLevel, false, -33.0f, -96.0f, 24.0f, 1.0f, "controls", "99", nullptr, nullptr, ControlUnit::kDecibel},
    {"DNR Sensitivity", &Controls::dnrSensitivity, false, 300.0f, 10.0f, 300.0f, 1.0f, "da", "", "unit", "x", ControlUnit::kFactor},
    {"DNR LPF Disable", &Controls::dnrLpfDisable, true, 0.0f, 0.0f, 1.0f, 0.0f, "sa", "", nullptr, nullptr, ControlUnit::kNone},
};

// A control's identifier, as hosts and remote clients name it (the LV2 port
// symbol): the label's letters and digits in lower case, each run of other
// characters one underscore ("Band 2 -> 1 Gain Linking dB" -> band_2_1_gain_linking_db).
inline std::string controlSymbol(const std::string& label)
{
    std::string s;
    bool gap = false;
    for (unsigned char c : label) {
        if (std::isalnum(c)) {
            if (gap && !s.empty()) s += '_';
            s += static_cast<char>(std::tolower(c));
            gap = false;
        } else {
            gap = true;
        }
    }
    return s;
}

}  // namespace plumbra
