// What the twelve band processors hand to the band mix for one sample.
#pragma once

#include <array>
#include <cstddef>

#include "dsp/simd/lanes.h"

namespace plumbra {

inline constexpr int kNumBands = 12;
inline constexpr int kBandsPerGroup = 4;
inline constexpr int kBandGroups = kNumBands / kBandsPerGroup;
static_assert(kNumBands % kBandsPerGroup == 0);
inline constexpr int kStereoBands = 10;  // bands 3 to 12

// Every value in the lanes of its band group: band b in lane (b - 1) % 4 of
// group (b - 1) / 4 (see band()).
struct BandOutputs {
    using Bands = std::array<Mem<Lane4>, kBandGroups>;
    // The band output read 2048 samples back, with its level and polarity: the
    // mono output of bands 1 and 2, the mid sample S_n of bands 3..12.
    Bands sum;
    // Bands 3..12 only (the mix does not read bands 1 and 2 here):
    Bands diff;      // side sample D_n, read 2048 samples back
    Bands width;     // width factor wf_n of the current sample
    Bands monoGain;  // mono compensation gain cm_n of the current sample

    static float& band(Bands& v, int b) { return laneOf(v[static_cast<std::size_t>(b - 1) / kBandsPerGroup], static_cast<std::size_t>(b - 1) % kBandsPerGroup); }
    static float band(const Bands& v, int b) { return laneOf(v[static_cast<std::size_t>(b - 1) / kBandsPerGroup], static_cast<std::size_t>(b - 1) % kBandsPerGroup); }
};

}  // namespace plumbra
