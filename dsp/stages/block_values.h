// The values the processor derives from its controls once at the start of
// every block, read by the stages sample by sample.
#pragma once

#include "dsp/bands.h"

namespace plumbra {

// Values derived from the controls once at the start of every block.
struct BlockValues {
    // Band dynamics.
    float gateGain[kNumBands];  // G0 (band 1, with its trim) and Gk for k = 1..11, by gate index
    float floorMt;       // Mt, floor level of bands 2..12
    float floorB1t;      // B1t, floor level of band 1
    float link5678;      // L5678
    float link21;        // L21
    float link1112;      // L1112
    float band1Out;      // V1 = 10^((Band 1 Level dB - 26)/20)
    // Input conditioning.
    float lowpassHz;     // corner of the input lowpass
    float dnrSens;       // S, DNR Sensitivity without conversion
    float dnrMinHz;      // cutoff floor: 22000 with DNR LPF Disable on, else 0
    bool eqBypass;       // Disable WRMI EQ at or above 0.5
    // Bandwidth expander, output equaliser, output gain control.
    float bweDetectHz;   // F_det
    float bweDetectGain; // G_det
    float bweInputHz;    // F_in
    float bweLevel;      // L_be
    float hfShelf;       // G_hf
    float agcThreshold;  // theta
};

}  // namespace plumbra
