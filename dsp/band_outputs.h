// What the twelve band processors hand to the band mix for one sample.
#pragma once

#include <array>

namespace plumbra {

inline constexpr int kStereoBands = 10;  // bands 3 to 12

struct BandOutputs {
    float m1;  // band 1 mono output, read 2048 samples back (level and polarity applied)
    float m2;  // band 2 mono output, read 2048 samples back
    // Bands 3..12 at index band - 3:
    std::array<float, kStereoBands> sum;       // mid sample S_n, read 2048 samples back
    std::array<float, kStereoBands> diff;      // side sample D_n, read 2048 samples back
    std::array<float, kStereoBands> width;     // width factor wf_n of the current sample
    std::array<float, kStereoBands> monoGain;  // mono compensation gain cm_n of the current sample
};

}  // namespace plumbra
