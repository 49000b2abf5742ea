// The processor's meters: the table, the values of known signals measured
// through mydsp, and snapshots read by another thread while the audio runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dsp/meters.h"
#include "dsp/mydsp.h"

namespace {

using plumbra::kMeterDefinitions;
using plumbra::kNumBands;
using plumbra::MeterSnapshot;
using plumbra::mydsp;

constexpr int kFs = 44100;
constexpr double kPi = 3.14159265358979323846;

std::unique_ptr<mydsp> makeProcessor()
{
    auto p = std::make_unique<mydsp>();
    p->initialise(kFs);
    return p;
}

// Runs n samples of f(i) through p in blocks of 512; returns the sample peak
// of the last block's outputs.
template <class F>
float run(mydsp& p, int n, F f, int first = 0)
{
    std::vector<float> in(512), a(512), b(512);
    float peak = 0.0f;
    for (int pos = 0; pos < n; pos += 512) {
        const int len = std::min(512, n - pos);
        for (int i = 0; i < len; ++i) in[static_cast<std::size_t>(i)] = f(first + pos + i);
        float* ins[2] = {in.data(), in.data()};
        float* outs[2] = {a.data(), b.data()};
        p.processBlock(len, ins, outs);
        peak = 0.0f;
        for (int i = 0; i < len; ++i) peak = std::max({peak, std::fabs(a[static_cast<std::size_t>(i)]), std::fabs(b[static_cast<std::size_t>(i)])});
    }
    return peak;
}

float value(const MeterSnapshot& s, int meter) { return s.values[static_cast<std::size_t>(meter)]; }
float bandValue(const MeterSnapshot& s, int band, int which) { return value(s, plumbra::bandMeter(band, which)); }

}  // namespace

// Every meter has a unique symbol that is a valid LV2 symbol and JSON key, a
// name and a range; the width meters are exactly the stereo bands'.
TEST(MeterTable, SymbolsAreUniqueAndWidthsFollowTheBandTable)
{
    std::set<std::string> symbols;
    for (const plumbra::MeterDefinition& m : kMeterDefinitions) {
        const std::string symbol(m.symbolText());
        ASSERT_FALSE(symbol.empty());
        EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(symbol[0]))) << symbol;
        for (char c : symbol) EXPECT_TRUE(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '_') << symbol;
        EXPECT_TRUE(symbols.insert(symbol).second) << symbol;
        EXPECT_GT(m.nameText().size(), 3u) << symbol;
        EXPECT_LT(m.minimum, m.maximum) << symbol;
    }
    for (int b = 1; b <= kNumBands; ++b) {
        const int w = plumbra::widthMeter(b);
        EXPECT_EQ(w >= 0, plumbra::bandDefinition(b).stereo) << "band " << b;
        if (w >= 0) {
            EXPECT_EQ(std::string(kMeterDefinitions[static_cast<std::size_t>(w)].symbolText()), "band_" + std::to_string(b) + "_width");
        }
    }
    EXPECT_EQ(kMeterDefinitions[plumbra::bandMeter(7, plumbra::kBandGainLow)].symbolText(), "band_7_gain_low");
}

// A tone inside band k's range makes band k's level the highest; the bands
// next to it, whose filters overlap band k's by their slopes, read a few dB
// lower, every other band far below.
TEST(Meters, AToneInABandRaisesThatBandsLevelAboveAllOthers)
{
    std::printf("band  tone Hz  level dBFS  next highest  by dB  others by dB  gain dB\n");
    for (int band = 1; band <= kNumBands; ++band) {
        const plumbra::BandDefinition& d = plumbra::bandDefinition(band);
        const double f = std::sqrt(static_cast<double>(d.lowHz) * d.highHz);
        auto p = makeProcessor();
        plumbra::storeControl(p->controls().lowpassFreq, 15000.0f);  // the input lowpass above band 12
        run(*p, kFs * 3 / 2, [&](int i) { return static_cast<float>(0.25 * std::sin(2.0 * kPi * f * i / kFs)); });
        const MeterSnapshot s = p->meters().read();
        const float own = bandValue(s, band, plumbra::kBandLevel);
        float next = plumbra::kMeterFloorDb, far = plumbra::kMeterFloorDb;
        int nextBand = 0;
        for (int b = 1; b <= kNumBands; ++b) {
            const float level = bandValue(s, b, plumbra::kBandLevel);
            if (b != band && level > next) {
                next = level;
                nextBand = b;
            }
            if (std::abs(b - band) > 1) far = std::max(far, level);
        }
        std::printf("%4d %8.0f %11.1f %13d %6.1f %13.1f %8.1f\n", band, f, own, nextBand, own - next, own - far,
                    bandValue(s, band, plumbra::kBandGainHigh));
        EXPECT_GT(own - next, 2.5f) << "band " << band;
        EXPECT_GT(own - far, 12.0f) << "band " << band;
        EXPECT_GT(own, -20.0f) << "band " << band;
        EXPECT_LE(bandValue(s, band, plumbra::kBandGainLow), bandValue(s, band, plumbra::kBandGainHigh));
    }
}

// Programme opens the gates and silence closes them (more than 3 dB below
// open); the input and output meters read the block's sample peak and RMS;
// loud broadband programme at the lowest threshold makes the output gain
// control reduce its gain while the output peaks stay at -1 dBFS.
TEST(Meters, GatesLimiterAndLevelsFollowTheSignal)
{
    auto p = makeProcessor();
    auto tone = [](int i) { return static_cast<float>(0.5 * std::sin(2.0 * kPi * 997.0 * i / kFs)); };
    const float outPeak = run(*p, kFs, tone);
    MeterSnapshot s = p->meters().read();
    EXPECT_NEAR(value(s, plumbra::kMeterInputPeak), -6.02f, 0.05f);
    EXPECT_NEAR(value(s, plumbra::kMeterInputRms), -9.03f, 0.1f);
    EXPECT_FLOAT_EQ(value(s, plumbra::kMeterOutputPeak), 20.0f * std::log10(outPeak));
    EXPECT_EQ(s.samples, static_cast<uint64_t>(kFs));
    EXPECT_EQ(s.block, static_cast<uint64_t>((kFs + 511) / 512));
    EXPECT_GT(bandValue(s, 5, plumbra::kBandGate), 0.95f);  // 997 Hz: band 5
    EXPECT_EQ(value(s, plumbra::kMeterLimiterReduction), 0.0f);

    run(*p, kFs * 2, [](int) { return 0.0f; });
    s = p->meters().read();
    for (int b = 1; b <= kNumBands; ++b) EXPECT_LT(bandValue(s, b, plumbra::kBandGate), plumbra::kGateClosedBelow) << "band " << b;
    EXPECT_EQ(value(s, plumbra::kMeterInputPeak), plumbra::kMeterFloorDb);
    EXPECT_EQ(value(s, plumbra::kMeterOutputPeak), plumbra::kMeterFloorDb);

    // A square wave of full scale at the lowest threshold.
    plumbra::storeControl(p->controls().outAgcThreshold, -12.0f);
    auto square = [](int i) { return std::sin(2.0 * kPi * 100.0 * i / kFs) > 0.0 ? 0.9f : -0.9f; };
    float largest = 0.0f, loudest = plumbra::kMeterFloorDb;
    for (int k = 0; k < 200; ++k) {
        run(*p, 512, square, k * 512);
        s = p->meters().read();
        largest = std::max(largest, value(s, plumbra::kMeterLimiterReduction));
        loudest = std::max(loudest, value(s, plumbra::kMeterOutputPeak));
    }
    std::printf("output gain reduction on a square wave: %.2f dB, output peak %.2f dBFS\n", largest, loudest);
    EXPECT_GT(largest, 1.0f);
    EXPECT_NEAR(loudest, -1.0f, 0.01f);
}

// Snapshots read by another thread while the audio runs are whole: each one's
// sample count belongs to its block count, its gains are ordered and its
// values finite, and the block count never goes back.
TEST(Meters, SnapshotsReadDuringProcessingAreWhole)
{
    auto p = makeProcessor();
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        uint64_t last = 0;
        while (!done.load(std::memory_order_acquire)) {
            const MeterSnapshot s = p->meters().read();
            bool whole = s.samples == s.block * 256 && s.block >= last;
            for (int b = 1; b <= kNumBands && s.block > 0; ++b)
                whole = whole && bandValue(s, b, plumbra::kBandGainLow) <= bandValue(s, b, plumbra::kBandGainHigh);
            for (float v : s.values) whole = whole && std::isfinite(v);
            last = s.block;
            torn.fetch_add(whole ? 0 : 1, std::memory_order_relaxed);
            reads.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::vector<float> in(256), a(256), b(256);
    for (int block = 0; block < 800; ++block) {
        for (int i = 0; i < 256; ++i)
            in[static_cast<std::size_t>(i)] = static_cast<float>((block % 40 < 20 ? 0.5 : 0.01) * std::sin(0.07 * (block * 256 + i)));
        float* ins[2] = {in.data(), in.data()};
        float* outs[2] = {a.data(), b.data()};
        p->processBlock(256, ins, outs);
    }
    done.store(true, std::memory_order_release);
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(p->meters().read().block, 800u);
}
