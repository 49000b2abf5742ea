// The twelve bands as data: each band's edges, gate, scale, polarity, width
// detection and gain linking. The band bank is built from this table, and the
// meter table names its band meters from it; it includes no processing code.
#pragma once

#include <array>
#include <cstddef>

namespace plumbra {

inline constexpr int kNumBands = 12;

// Which per-block linking gain a band's linked neighbours are weighted with.
enum class LinkGain { none, bands5678, band2To1, bands11To12 };

// Constants of one band.
struct BandDefinition {
    int band;                     // 1 (lowest) .. 12 (highest)
    int gateIndex;                // k: selects the gate gain G_k of the block values
    float lowHz;                  // fL, corner of the fourth-order highpass
    float highHz;                 // fH, corner of the fourth-order lowpass
    float gateRelease;            // rk = 13.333333*1.25^k, release rate of the gate peak, 1/s
    float scale;                  // output scale sigma (band 1: follows "Band 1 Level dB" instead)
    float polarity;               // +1 or -1, applied once to everything the band outputs
    bool stereo;                  // sum and difference outputs with a width detector (bands 3..12)
    bool ownFloorAndLevel;        // band 1: floor B1t and output level V1 instead of Mt and sigma
    LinkGain link;                // gain applied to the linked neighbours' slow envelopes
    std::array<int, 3> linkedTo;  // bands whose slow envelope can hold this band down (0 = none)
};

inline constexpr float kScaleMinus26dB = 0.050118722f;
inline constexpr float kScaleMinus32dB = 0.025118865f;
inline constexpr float kScaleMinus24dB = 0.06309573f;

inline constexpr std::array<BandDefinition, kNumBands> kBandDefinitions = {{
    // band k   fL       fH        rk           sigma            pol    stereo own    link                   linked to
    {1, 0, 10.0f, 80.0f, 13.333333f, 0.0f, -1.0f, false, true, LinkGain::band2To1, {2, 0, 0}},
    {2, 1, 80.0f, 200.0f, 16.666666f, kScaleMinus26dB, +1.0f, false, false, LinkGain::none, {0, 0, 0}},
    {3, 2, 200.0f, 300.0f, 20.833334f, kScaleMinus26dB, -1.0f, true, false, LinkGain::none, {0, 0, 0}},
    {4, 3, 300.0f, 450.0f, 26.041666f, kScaleMinus26dB, +1.0f, true, false, LinkGain::none, {0, 0, 0}},
    {5, 4, 450.0f, 675.0f, 32.552082f, kScaleMinus26dB, -1.0f, true, false, LinkGain::none, {0, 0, 0}},
    {6, 5, 675.0f, 1012.0f, 40.690105f, kScaleMinus26dB, +1.0f, true, false, LinkGain::bands5678, {5, 7, 8}},
    {7, 6, 1012.0f, 1518.0f, 50.86263f, kScaleMinus26dB, -1.0f, true, false, LinkGain::bands5678, {5, 6, 8}},
    {8, 7, 1518.0f, 2278.0f, 63.57829f, kScaleMinus26dB, +1.0f, true, false, LinkGain::none, {0, 0, 0}},
    {9, 8, 2278.0f, 3417.0f, 79.47286f, kScaleMinus26dB, -1.0f, true, false, LinkGain::none, {0, 0, 0}},
    {10, 9, 3417.0f, 5125.0f, 99.34107f, kScaleMinus26dB, +1.0f, true, false, LinkGain::none, {0, 0, 0}},
    {11, 10, 5125.0f, 7688.0f, 124.176346f, kScaleMinus32dB, -1.0f, true, false, LinkGain::none, {0, 0, 0}},
    {12, 11, 7688.0f, 15000.0f, 155.22043f, kScaleMinus24dB, +1.0f, true, false, LinkGain::bands11To12, {11, 0, 0}},
}};

inline constexpr const BandDefinition& bandDefinition(int band)
{
    return kBandDefinitions[static_cast<std::size_t>(band - 1)];
}

// The table in order: bands numbered from 1, each band starting where the one
// below ends, one band with its own floor and level.
constexpr bool bandTableIsConsistent()
{
    int own = 0;
    for (int i = 0; i < kNumBands; ++i) {
        const BandDefinition& d = kBandDefinitions[static_cast<std::size_t>(i)];
        if (d.band != i + 1 || d.gateIndex < 0 || d.gateIndex >= kNumBands) return false;
        if (i > 0 && kBandDefinitions[static_cast<std::size_t>(i - 1)].highHz != d.lowHz) return false;
        own += d.ownFloorAndLevel ? 1 : 0;
    }
    return own == 1;
}
static_assert(bandTableIsConsistent());
// A group of bands reads its gate gains G_k as one value, so the gate indices
// of neighbouring bands follow one another.
constexpr bool gateIndicesConsecutive()
{
    for (int i = 1; i < kNumBands; ++i)
        if (kBandDefinitions[static_cast<std::size_t>(i)].gateIndex !=
            kBandDefinitions[static_cast<std::size_t>(i - 1)].gateIndex + 1)
            return false;
    return true;
}
static_assert(gateIndicesConsecutive());

}  // namespace plumbra
