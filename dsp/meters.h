// What the processor shows of itself: the meter table and the snapshot of
// one block's meters.
//
// Like the control table, the meter table is data: each meter's symbol (the
// LV2 port symbol and the JSON key), display name, unit and range, in a fixed
// order. processBlock writes every meter once per block into a MeterSnapshot
// and publishes it through a MeterBoard, which any other thread reads without
// locks and without tearing.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dsp/bands.h"

namespace plumbra {

enum class MeterUnit { kDecibel, kDecibelFullScale, kHertz, kRatio };

struct MeterDefinition {
    std::array<char, 32> symbol;  // lower case, words joined by '_'
    std::array<char, 40> name;
    MeterUnit unit;
    float minimum, maximum;  // the range displays scale to; values may lie beyond it
    int band;                // 1..12, or 0 for the whole chain

    constexpr std::string_view symbolText() const { return text(symbol); }
    constexpr std::string_view nameText() const { return text(name); }

private:
    template <std::size_t N>
    static constexpr std::string_view text(const std::array<char, N>& a)
    {
        std::size_t n = 0;
        while (n < N && a[n] != '\0') ++n;
        return {a.data(), n};
    }
};

// Per band: the levelling gain the band applied (gate factor times gain),
// lowest and highest over the block; its gate, 0 (closed) .. 1 (open), at the
// block's end; the level of its slow envelope at the block's end.
inline constexpr int kMetersPerBand = 4;
inline constexpr int kBandGainLow = 0;
inline constexpr int kBandGainHigh = 1;
inline constexpr int kBandGate = 2;
inline constexpr int kBandLevel = 3;

constexpr int countStereoBands()
{
    int n = 0;
    for (const BandDefinition& d : kBandDefinitions) n += d.stereo ? 1 : 0;
    return n;
}

// The meters in order: the bands' four each, the stereo bands' width
// factors, then the whole chain's.
inline constexpr int kFirstWidthMeter = kNumBands * kMetersPerBand;
inline constexpr int kFirstChainMeter = kFirstWidthMeter + countStereoBands();
inline constexpr int kMeterLimiterReduction = kFirstChainMeter;  // output limiter, largest over the block, dB
inline constexpr int kMeterInputPeak = kFirstChainMeter + 1;     // sample peak of the block's input, dBFS
inline constexpr int kMeterInputRms = kFirstChainMeter + 2;      // RMS of the block's input, dBFS
inline constexpr int kMeterOutputPeak = kFirstChainMeter + 3;    // sample peak of both outputs, dBFS
inline constexpr int kMeterNoiseCutoff = kFirstChainMeter + 4;   // noise reduction's lowpass corner, Hz
inline constexpr int kNumMeters = kFirstChainMeter + 5;

constexpr int bandMeter(int band, int which)
{
    return (band - 1) * kMetersPerBand + which;
}

// A gate more than 3 dB below open counts as closed. (In silence a band's
// gate factor settles where its gate gain puts the magnitude floor: at the
// default settings 5 to 11 dB below open.)
inline constexpr float kGateClosedBelow = 0.70710678f;

// Levels below this read as it (dBFS), so that silence gives a finite value.
inline constexpr float kMeterFloorDb = -120.0f;

namespace detail {

template <std::size_t N>
constexpr void append(std::array<char, N>& to, std::size_t& at, const char* text)
{
    for (; *text && at + 1 < N; ++text) to[at++] = *text;
}
template <std::size_t N>
constexpr void appendNumber(std::array<char, N>& to, std::size_t& at, int v)
{
    if (v >= 10) to[at++] = static_cast<char>('0' + v / 10);
    to[at++] = static_cast<char>('0' + v % 10);
}

constexpr MeterDefinition meter(int band, const char* symbolPart, const char* namePart, MeterUnit unit, float lo,
                                float hi)
{
    MeterDefinition m{{}, {}, unit, lo, hi, band};
    std::size_t s = 0, n = 0;
    if (band > 0) {
        append(m.symbol, s, "band_");
        appendNumber(m.symbol, s, band);
        append(m.symbol, s, "_");
        append(m.name, n, "Band ");
        appendNumber(m.name, n, band);
        append(m.name, n, " ");
    }
    append(m.symbol, s, symbolPart);
    append(m.name, n, namePart);
    return m;
}

constexpr std::array<MeterDefinition, kNumMeters> meterTable()
{
    std::array<MeterDefinition, kNumMeters> t{};
    for (int b = 1; b <= kNumBands; ++b) {
        t[static_cast<std::size_t>(bandMeter(b, kBandGainLow))] =
            meter(b, "gain_low", "Gain Low", MeterUnit::kDecibel, -30.0f, 50.0f);
        t[static_cast<std::size_t>(bandMeter(b, kBandGainHigh))] =
            meter(b, "gain_high", "Gain High", MeterUnit::kDecibel, -30.0f, 50.0f);
        t[static_cast<std::size_t>(bandMeter(b, kBandGate))] = meter(b, "gate", "Gate", MeterUnit::kRatio, 0.0f, 1.0f);
        t[static_cast<std::size_t>(bandMeter(b, kBandLevel))] =
            meter(b, "level", "Level", MeterUnit::kDecibelFullScale, -90.0f, 0.0f);
    }
    int w = kFirstWidthMeter;
    for (const BandDefinition& d : kBandDefinitions)
        if (d.stereo) t[static_cast<std::size_t>(w++)] = meter(d.band, "width", "Width", MeterUnit::kRatio, 0.0f, 1.0f);
    t[kMeterLimiterReduction] =
        meter(0, "limiter_gain_reduction", "Limiter Gain Reduction", MeterUnit::kDecibel, 0.0f, 25.0f);
    t[kMeterInputPeak] = meter(0, "input_peak", "Input Peak", MeterUnit::kDecibelFullScale, -90.0f, 6.0f);
    t[kMeterInputRms] = meter(0, "input_rms", "Input RMS", MeterUnit::kDecibelFullScale, -90.0f, 6.0f);
    t[kMeterOutputPeak] = meter(0, "output_peak", "Output Peak", MeterUnit::kDecibelFullScale, -90.0f, 6.0f);
    t[kMeterNoiseCutoff] =
        meter(0, "noise_reduction_cutoff", "Noise Reduction Cutoff", MeterUnit::kHertz, 0.0f, 22000.0f);
    return t;
}

}  // namespace detail

inline constexpr std::array<MeterDefinition, kNumMeters> kMeterDefinitions = detail::meterTable();

// The width meter of a stereo band, or -1.
constexpr int widthMeter(int band)
{
    for (int i = kFirstWidthMeter; i < kFirstChainMeter; ++i)
        if (kMeterDefinitions[static_cast<std::size_t>(i)].band == band) return i;
    return -1;
}

// One block's meters, in the table's order.
struct MeterSnapshot {
    uint64_t block;    // blocks processed since the state was last cleared, this one included
    uint64_t samples;  // samples processed since then, this block's included
    std::array<float, kNumMeters> values;
};

// The latest snapshot, written by the audio thread once per block and read by
// any thread, without locks: a sequence counter, odd while a write is under
// way, tells a reader to read again. Every field is an atomic, so readers never
// race with the writer. The fields are written with release and read with
// acquire order: a reader that sees any field of a newer write also sees the
// counter that write made odd, and so reads again; the counter only keeps a
// snapshot whole.
class MeterBoard {
public:
    // Audio thread: never waits.
    void publish(const MeterSnapshot& s)
    {
        const uint32_t q = sequence_.load(std::memory_order_relaxed);
        sequence_.store(q + 1, std::memory_order_relaxed);
        block_.store(s.block, std::memory_order_release);
        samples_.store(s.samples, std::memory_order_release);
        for (std::size_t i = 0; i < s.values.size(); ++i) values_[i].store(s.values[i], std::memory_order_release);
        sequence_.store(q + 2, std::memory_order_release);
    }

    // Any thread: the latest whole snapshot (block 0 before the first).
    MeterSnapshot read() const
    {
        MeterSnapshot s{};
        for (;;) {
            const uint32_t before = sequence_.load(std::memory_order_acquire);
            if (before & 1u) continue;
            s.block = block_.load(std::memory_order_acquire);
            s.samples = samples_.load(std::memory_order_acquire);
            for (std::size_t i = 0; i < s.values.size(); ++i) s.values[i] = values_[i].load(std::memory_order_acquire);
            if (sequence_.load(std::memory_order_relaxed) == before) return s;
        }
    }

private:
    std::atomic<uint32_t> sequence_{0};
    std::atomic<uint64_t> block_{0};
    std::atomic<uint64_t> samples_{0};
    std::array<std::atomic<float>, kNumMeters> values_{};
};

}  // namespace plumbra
