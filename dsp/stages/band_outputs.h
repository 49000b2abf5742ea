// What the twelve band processors hand to the band mix for one sample.
#pragma once

#include <array>
#include <cstddef>

#include "dsp/stages/block_values.h"

namespace plumbra {

inline constexpr int kBandsPerGroup = 4;  // bands per group of the packed bank, one per lane
inline constexpr int kBandGroups = kNumBands / kBandsPerGroup;
static_assert(kNumBands % kBandsPerGroup == 0);

// One value per band, band 1 first, aligned so that the packed bank stores and
// the mix loads a group's four bands as one vector.
struct alignas(16) BandValues : std::array<float, kNumBands> {};

struct BandOutputs {
    using Bands = BandValues;
    // The band output read 2048 samples back, with its level and polarity: the
    // mono output of a mono band, the mid sample S_n of a stereo band.
    Bands sum;
    // Stereo bands only (the mix does not read the mono bands here):
    Bands diff;      // side sample D_n, read 2048 samples back
    Bands width;     // width factor wf_n of the current sample
    Bands monoGain;  // mono compensation gain cm_n of the current sample

    static float& band(Bands& v, int b) { return v[static_cast<std::size_t>(b - 1)]; }
    static float band(const Bands& v, int b) { return v[static_cast<std::size_t>(b - 1)]; }
};

}  // namespace plumbra
