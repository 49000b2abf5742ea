// The processor's nineteen control values and their race-free access, on
// their own: the control table and every front end that only names, reads or
// writes controls include this, not the processor.
#pragma once

#include <atomic>

namespace plumbra {

// The nineteen control values, in host parameter order. Host threads write
// them and the audio thread reads them once per block, both through relaxed
// atomic accesses (see loadControl / storeControl), so they are race-free.
struct Controls {
    float band1Level;        // "Band 1 Level dB"
    float band1GateTrim;     // "Band 1 Noisegate Gain Trim dB"
    float band2To1Link;      // "Band 2 -> 1 Gain Linking dB"
    float bands11To12Link;   // "Bands 11 -> 12 Gain Linking dB"
    float bands5678Link;     // "Bands 5678 Gain Linking dB"
    float lowpassFreq;       // "Lowpass Filter", Hz
    float mbeqB1t;           // "MBEQ B1t", band 1 floor level, dB
    float mbeqMt;            // "MBEQ Mt", floor level of bands 2..12, dB
    float masterGateGain;    // "Master Noisegate Gain", dB
    float gateScalePerBand;  // "Noisegate Gain Scale dB Per Band"
    float disableWrmiEq;     // "Disable WRMI EQ", check box
    float outAgcThreshold;   // "OutAGC Threshold", dB
    float bweInputHpf;       // "Bandwidth Expansion Input HPF", Hz
    float bweHfDetectFreq;   // "Bandwidth Expansion HF Detection Freq", Hz
    float bweHfDetectGain;   // "Bandwidth Expansion HF Detection Gain", dB
    float finalHfShelf;      // "Final 2k HF Shelf", dB
    float bweLevel;          // "Bandwidth Expansion Level", dB
    float dnrSensitivity;    // "DNR Sensitivity", factor
    float dnrLpfDisable;     // "DNR LPF Disable", check box
};
inline constexpr int kNumControls = 19;
static_assert(sizeof(Controls) == kNumControls * sizeof(float));

// Race-free access to a control value shared between a host thread and the audio thread.
inline float loadControl(const float& v)
{
    return std::atomic_ref<float>(const_cast<float&>(v)).load(std::memory_order_relaxed);
}
inline void storeControl(float& v, float x)
{
    std::atomic_ref<float>(v).store(x, std::memory_order_relaxed);
}

}  // namespace plumbra
