// The twelve band processors, driven directly with synthetic left and right
// signals at 44100 Hz: detection, levelling, polarity and scale, gate, gain
// ceiling, gain linking, look-ahead and delay, stereo-width decisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "dsp/stages/band_bank.h"
#include "dsp/mydsp.h"

namespace {

using plumbra::BandBank;
using plumbra::BandOutputs;
using plumbra::BandProbe;
using plumbra::BlockValues;

constexpr float kFs = 44100.0f;
constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kBandDelay = 3072;  // band split to band mix

plumbra::RateConstants rate(float fs = kFs)
{
    return {fs, 1.0f / fs, plumbra::kPi / fs};
}

// Per-block values of the default control settings, as the processor derives them.
BlockValues defaultValues()
{
    auto p = std::make_unique<plumbra::mydsp>();
    p->initialise(static_cast<int32_t>(kFs));
    return p->blockValues();
}

std::unique_ptr<BandBank> makeBank(float fs = kFs)
{
    auto b = std::make_unique<BandBank>();
    b->design(rate(fs));
    b->clear();
    return b;
}

// The band's levelled output as the band mix receives it (sum or mono output).
float bandOut(const BandOutputs& o, int band) { return BandOutputs::band(o.sum, band); }

// Frequency at which the band's highpass and lowpass phases cancel: the
// geometric mean of the two prewarped edges.
double centre(int band, double fs = kFs)
{
    const plumbra::BandDefinition& s = plumbra::bandDefinition(band);
    const double wl = std::tan(kPi * s.lowHz / fs);
    const double wh = std::tan(kPi * s.highHz / fs);
    return fs / kPi * std::atan(std::sqrt(wl * wh));
}

// Magnitude of the band's fourth-order highpass times fourth-order lowpass at f.
double bandResponse(int band, double f, double fs = kFs)
{
    const plumbra::BandDefinition& s = plumbra::bandDefinition(band);
    const double w = std::tan(kPi * f / fs);
    const double oh = w / std::tan(kPi * s.lowHz / fs);
    const double ol = w / std::tan(kPi * s.highHz / fs);
    return (std::pow(oh, 4) / (1.0 + std::pow(oh, 4))) * (1.0 / (1.0 + std::pow(ol, 4)));
}

double dB(double x) { return 20.0 * std::log10(x); }

// Runs count samples of (left, right) = sig(i) through the bank; after(i, out)
// sees every sample's outputs.
struct Stereo {
    float left, right;
};
void run(BandBank& bank, uint32_t& n, int count, const BlockValues& bv, const std::function<Stereo(int)>& sig,
         const std::function<void(int, const BandOutputs&)>& after = nullptr)
{
    for (int i = 0; i < count; ++i, ++n) {
        const Stereo s = sig(i);
        const BandOutputs o = bank.process(s.left, s.right, n, bv);
        if (after) after(i, o);
    }
}

// Raised-cosine fade-in over the first 2000 samples, so that the band filters
// start without an overshoot that the envelopes' long releases would hold on to.
double fadeIn(int i)
{
    constexpr int kFade = 2000;
    if (i <= 0) return 0.0;
    if (i >= kFade) return 1.0;
    return 0.5 - 0.5 * std::cos(kPi * i / kFade);
}

// A faded-in sine of amplitude amp on the left and amp/ratioRight on the right.
std::function<Stereo(int)> sine(double f, double amp, double ratioRight = 1.0)
{
    return [=](int i) {
        const float v = static_cast<float>(fadeIn(i) * amp * std::sin(2.0 * kPi * f * i / kFs));
        return Stereo{v, static_cast<float>(v / ratioRight)};
    };
}

// Sum of sines (frequency, amplitude).
std::function<Stereo(int)> sines(std::vector<std::pair<double, double>> parts)
{
    return [=](int i) {
        double v = 0.0;
        for (const auto& p : parts) v += fadeIn(i) * p.second * std::sin(2.0 * kPi * p.first * i / kFs);
        return Stereo{static_cast<float>(v), static_cast<float>(v)};
    };
}

// Peak of a band's levelled output over the last `window` of `count` samples.
double settledPeak(BandBank& bank, const BlockValues& bv, int band, const std::function<Stereo(int)>& sig,
                   int count, int window)
{
    uint32_t n = 0;
    double peak = 0.0;
    run(bank, n, count, bv, sig, [&](int i, const BandOutputs& o) {
        if (i >= count - window) peak = std::max(peak, std::fabs(static_cast<double>(bandOut(o, band))));
    });
    return peak;
}

// ---------------------------------------------------------------------------
// Detection

TEST(BandDetection, SilenceGivesTheMagnitudeFloorInEveryBand)
{
    auto bank = makeBank();
    const BlockValues bv = defaultValues();
    uint32_t n = 0;
    run(*bank, n, 200, bv, [](int) { return Stereo{0.0f, 0.0f}; });
    for (int band = 1; band <= 12; ++band) {
        EXPECT_EQ(bank->probe(band).m, std::sqrt(plumbra::kPowerFloor)) << "band " << band;
        EXPECT_NEAR(bank->probe(band).m, 0.0056234f, 1e-7f);
    }
    std::printf("[figures] detector floor on silence: %.7f\n", bank->probe(1).m);
}

TEST(BandDetection, SineMagnitudeIsCloseToTheBandFilteredAmplitude)
{
    const BlockValues bv = defaultValues();
    const double amp = 0.3;
    for (int band = 1; band <= 12; ++band) {
        auto bank = makeBank();
        const double f = centre(band);
        const double expected = amp * bandResponse(band, f);
        uint32_t n = 0;
        double lo = 1e9, hi = 0.0, mean = 0.0;
        const int settle = 8000, window = 4000;
        run(*bank, n, settle + window, bv, sine(f, amp), [&](int i, const BandOutputs&) {
            if (i < settle) return;
            const double m = bank->probe(band).m;
            lo = std::min(lo, m);
            hi = std::max(hi, m);
            mean += m / window;
        });
        const double ripple = (hi - lo) / (hi + lo);
        std::printf("[figures] band %2d at %7.1f Hz: filtered amplitude %.4f, magnitude mean %.4f, "
                    "min %.4f, max %.4f, ripple +-%.1f %%\n",
                    band, f, expected, mean, lo, hi, 100.0 * ripple);
        EXPECT_NEAR(mean / expected, 1.0, 0.02) << "band " << band;
        EXPECT_LT(ripple, 0.15) << "band " << band;
    }
}

// The detector alone: the two allpass paths are not exactly 90 degrees apart,
// so a sine's magnitude ripples by a few per cent, more towards high frequencies.
TEST(BandDetection, AnalyticMagnitudeRippleOnSines)
{
    for (const auto& [f, bound] : {std::pair{1000.0, 0.04}, std::pair{5000.0, 0.13}}) {
        plumbra::AnalyticEnvelope env;
        env.clear();
        double lo = 1e9, hi = 0.0;
        for (int i = 0; i < 6000; ++i) {
            const float m = env.process(static_cast<float>(0.5 * std::sin(2.0 * kPi * f * i / kFs)));
            if (i >= 2000) {
                lo = std::min(lo, static_cast<double>(m));
                hi = std::max(hi, static_cast<double>(m));
            }
        }
        std::printf("[figures] analytic magnitude of a 0.5 sine at %.0f Hz: %.4f .. %.4f (%+.1f %% .. %+.1f %%)\n",
                    f, lo, hi, 100.0 * (lo / 0.5 - 1.0), 100.0 * (hi / 0.5 - 1.0));
        EXPECT_GT(lo, 0.5 * (1.0 - bound));
        EXPECT_LT(hi, 0.5 * (1.0 + bound));
        EXPECT_GT(hi - lo, 0.0);  // the listed coefficients do leave a ripple
    }
}

// ---------------------------------------------------------------------------
// Levelling, polarity and output scale

// Levelled amplitude a band should reach on a steady sine with its gate open:
// scale * (pi/4) * (left + right) / den, with den close to the band magnitude.
double nominalLevel(int band, const BlockValues& bv)
{
    const double scale = band == 1 ? bv.band1Out : plumbra::bandDefinition(band).scale;
    return scale * kPi / 2.0;
}

TEST(BandLevelling, SteadySineComesOutAtTheSameAmplitudeWhateverItsLevel)
{
    const BlockValues bv = defaultValues();
    const int count = 16000, window = 3000;
    for (int band = 1; band <= 12; ++band) {
        const double f = centre(band);
        auto loud = makeBank();
        auto quiet = makeBank();
        const double pLoud = settledPeak(*loud, bv, band, sine(f, 0.5), count, window);
        const double pQuiet = settledPeak(*quiet, bv, band, sine(f, 0.08), count, window);
        const double nominal = nominalLevel(band, bv);
        std::printf("[figures] band %2d: levelled peak %.5f at input 0.5, %.5f at input 0.08 (%+.3f dB apart); "
                    "%+.2f dB against scale*pi/2; gate factor %.6f\n",
                    band, pLoud, pQuiet, dB(pLoud / pQuiet), dB(pLoud / nominal), loud->probe(band).gt);
        EXPECT_NEAR(dB(pLoud / pQuiet), 0.0, 0.1) << "band " << band;
        // den follows the peaks of the detector's ripple, so the level sits a little below nominal.
        EXPECT_LT(dB(pLoud / nominal), 0.1) << "band " << band;
        EXPECT_GT(dB(pLoud / nominal), -1.5) << "band " << band;
        EXPECT_NEAR(loud->probe(band).gt, kPi / 4.0, 1e-4) << "band " << band;
    }
}

TEST(BandLevelling, OddBandsBelowTwelveAndBandOneAreInverted)
{
    const BlockValues bv = defaultValues();
    const int count = 12000, window = 3000;
    for (int band = 1; band <= 12; ++band) {
        // At the band's centre its highpass and lowpass phases cancel, so the
        // output lines up with the input of 3072 samples earlier.
        const auto sig = sine(centre(band), 0.5);
        auto bank = makeBank();
        uint32_t n = 0;
        double xy = 0.0, xx = 0.0, yy = 0.0;
        run(*bank, n, count, bv, sig, [&](int i, const BandOutputs& o) {
            if (i < count - window) return;
            const double x = sig(i - static_cast<int>(kBandDelay)).left;
            const double y = bandOut(o, band);
            xy += x * y;
            xx += x * x;
            yy += y * y;
        });
        const double corr = xy / std::sqrt(xx * yy);
        const double expected = plumbra::bandDefinition(band).polarity;
        std::printf("[figures] band %2d: correlation with the input 3072 samples earlier %+.4f\n", band, corr);
        EXPECT_NEAR(corr, expected, 0.02) << "band " << band;
    }
}

// At a crossover both neighbouring bands see the same sine at the same level
// and the detector ripples alike, so their levelled outputs differ only by
// their output scales.
TEST(BandLevelling, BandElevenIsSixDecibelsBelowAndBandTwelveTwoAbove)
{
    const BlockValues bv = defaultValues();
    const int count = 16000, window = 3000;
    const auto atCrossover = [&](int lower, double f) {
        auto bank = makeBank();
        uint32_t n = 0;
        double pl = 0.0, pu = 0.0;
        run(*bank, n, count, bv, sine(f, 0.5), [&](int i, const BandOutputs& o) {
            if (i < count - window) return;
            pl = std::max(pl, std::fabs(static_cast<double>(bandOut(o, lower))));
            pu = std::max(pu, std::fabs(static_cast<double>(bandOut(o, lower + 1))));
        });
        return dB(pu / pl);
    };
    const double b11 = atCrossover(10, 5125.0);
    const double b12 = atCrossover(11, 7688.0);
    std::printf("[figures] band 11 against band 10 at 5125 Hz: %+.3f dB; band 12 against band 11 at 7688 Hz: "
                "%+.3f dB; band 12 against the -26 dB bands: %+.3f dB\n",
                b11, b12, b11 + b12);
    EXPECT_NEAR(b11, -6.0, 0.1);
    EXPECT_NEAR(b12, 8.0, 0.1);
    EXPECT_NEAR(b11 + b12, 2.0, 0.15);
}

TEST(BandLevelling, BandOneLevelControlMovesItsOutputDecibelForDecibel)
{
    BlockValues bv = defaultValues();
    const double f = centre(1);
    double previous = 0.0;
    for (const float levelDb : {9.0f, 10.0f, 0.0f}) {
        bv.band1Out = chainmath::dbToLinear(levelDb - 26.0f);
        auto bank = makeBank();
        const double peak = settledPeak(*bank, bv, 1, sine(f, 0.3), 12000, 3000);
        std::printf("[figures] Band 1 Level %.0f dB: band 1 output peak %.5f\n", levelDb, peak);
        if (levelDb != 9.0f) {
            EXPECT_NEAR(dB(peak / previous), levelDb == 10.0f ? 1.0 : -10.0, 1e-3);
        }
        previous = peak;
    }
}

// Opposite left and right: a stereo band carries it all in its difference
// output, levelled like a mono signal in the sum; a mono band passes nothing.
TEST(BandLevelling, OppositeChannelsGoToTheDifferenceOnly)
{
    const BlockValues bv = defaultValues();
    const int count = 12000, window = 3000;
    for (const int band : {2, 8, 9}) {
        const double f = centre(band);
        auto side = makeBank();
        auto mid = makeBank();
        const auto opposite = [&](int i) {
            const Stereo s = sine(f, 0.5)(i);
            return Stereo{s.left, -s.left};
        };
        uint32_t n = 0;
        double sumPeak = 0.0, diffPeak = 0.0, xy = 0.0, xx = 0.0, yy = 0.0;
        run(*side, n, count, bv, opposite, [&](int i, const BandOutputs& o) {
            if (i < count - window) return;
            sumPeak = std::max(sumPeak, std::fabs(static_cast<double>(bandOut(o, band))));
            if (band < 3) return;
            const double d = BandOutputs::band(o.diff, band);
            const double x = opposite(i - static_cast<int>(kBandDelay)).left;
            diffPeak = std::max(diffPeak, std::fabs(d));
            xy += x * d;
            xx += x * x;
            yy += d * d;
        });
        EXPECT_EQ(sumPeak, 0.0) << "band " << band;
        if (band < 3) continue;
        const double midPeak = settledPeak(*mid, bv, band, sine(f, 0.5), count, window);
        const double corr = xy / std::sqrt(xx * yy);
        std::printf("[figures] band %2d, opposite channels: difference peak %.5f (%+.3f dB against the sum of a mono "
                    "input), correlation with the left input %+.4f\n",
                    band, diffPeak, dB(diffPeak / midPeak), corr);
        EXPECT_NEAR(dB(diffPeak / midPeak), 0.0, 0.05) << "band " << band;
        EXPECT_NEAR(corr, plumbra::bandDefinition(band).polarity, 0.02) << "band " << band;
    }
}

// ---------------------------------------------------------------------------
// Gate and gain ceiling

TEST(BandGate, ClosesTowardsSilenceBelowTheThresholdAndOpensToQuarterPiAbove)
{
    BlockValues bv = defaultValues();
    const int band = 4;
    bv.gateGain[plumbra::bandDefinition(band).gateIndex] = 10.0f;  // threshold at a band magnitude of 0.1
    bv.floorMt = 1e-4f;                                      // keep the levelling active at low levels
    const double f = centre(band);
    const double h = bandResponse(band, f);
    const int count = 16000, window = 3000;
    double open = 0.0;
    for (const double m : {0.5, 0.01, 0.0}) {
        auto bank = makeBank();
        const double peak = settledPeak(*bank, bv, band, sine(f, m / h), count, window);
        const double gt = bank->probe(band).gt;
        // Below the threshold gt approaches atan(Gk*m); silence leaves the detector floor.
        const double expectedGt = std::atan(std::min(1.0, 10.0 * std::max(m, 0.0056234)));
        std::printf("[figures] gate with Gk = 10, band magnitude %.4f: gate factor %.5f (atan(Gk*m) = %.5f), "
                    "output %.6f\n",
                    m, gt, expectedGt, peak);
        EXPECT_NEAR(gt / expectedGt, 1.0, m == 0.5 ? 1e-4 : 0.05);
        if (m == 0.5) open = peak;
        if (m == 0.01) {
            std::printf("[figures] output at 1/10 of the threshold: %+.2f dB against the open gate\n",
                        dB(peak / open));
            EXPECT_NEAR(dB(peak / open), dB(expectedGt / (kPi / 4.0)), 0.5);
        }
    }
}

TEST(BandGain, StopsRisingAtTheFloorLevels)
{
    BlockValues bv = defaultValues();
    bv.floorMt = chainmath::dbToLinear(-30.0f);
    bv.floorB1t = chainmath::dbToLinear(-40.0f);
    auto bank = makeBank();
    uint32_t n = 0;
    // Silence, then a sine in band 4 whose magnitude stays below Mt.
    run(*bank, n, 12000, bv, [](int) { return Stereo{0.0f, 0.0f}; });
    for (int band = 1; band <= 12; ++band) {
        const double ceiling = 1.0 / (band == 1 ? bv.floorB1t : bv.floorMt);
        EXPECT_NEAR(bank->probe(band).g / ceiling, 1.0, 1e-4) << "band " << band;
    }
    std::printf("[figures] gain on silence: band 1 %.3f (1/B1t = %.3f), band 7 %.3f (1/Mt = %.3f)\n",
                bank->probe(1).g, 1.0 / bv.floorB1t, bank->probe(7).g, 1.0 / bv.floorMt);
    const double f = centre(4);
    run(*bank, n, 12000, bv, sine(f, 0.3 * bv.floorMt / bandResponse(4, f)));
    EXPECT_NEAR(bank->probe(4).g * bv.floorMt, 1.0, 1e-4);

    // With Mt below the detector floor the gain stops at the inverse of that floor.
    bv.floorMt = chainmath::dbToLinear(-60.0f);
    auto quiet = makeBank();
    n = 0;
    run(*quiet, n, 12000, bv, [](int) { return Stereo{0.0f, 0.0f}; });
    std::printf("[figures] gain on silence with MBEQ Mt at -60 dB: %.2f (1/0.0056234 = %.2f)\n",
                quiet->probe(5).g, 1.0 / 0.0056234);
    EXPECT_NEAR(quiet->probe(5).g * 0.0056234, 1.0, 1e-3);
}

// ---------------------------------------------------------------------------
// Gain linking

struct LinkCase {
    int band;    // band that may be held down
    double hz;   // a loud sine in a neighbour's range, away from the band
};

void setLink(BlockValues& bv, int band, float gain)
{
    if (band == 6 || band == 7) bv.link5678 = gain;
    if (band == 1) bv.link21 = gain;
    if (band == 12) bv.link1112 = gain;
}

TEST(BandLinking, LoudNeighboursHoldLinkedBandsDown)
{
    // Bands 5, 7 and 8 around band 6; 5, 6 and 8 around band 7; 2 above band 1; 11 below band 12.
    const LinkCase cases[] = {{6, 420.0},  {6, 1450.0}, {6, 1860.0}, {7, 551.0},
                              {7, 720.0},  {7, 2400.0}, {1, 190.0},  {12, 5000.0}};
    const int count = 30000;  // the neighbour's slow envelope has reached about 3/4 of its level
    for (const LinkCase& c : cases) {
        BlockValues linked = defaultValues();
        BlockValues unlinked = linked;
        setLink(linked, c.band, 1.0f);  // 0 dB, the strongest setting
        setLink(unlinked, c.band, 0.0f);
        auto a = makeBank();
        auto b = makeBank();
        uint32_t na = 0, nb = 0;
        run(*a, na, count, linked, sine(c.hz, 0.5));
        run(*b, nb, count, unlinked, sine(c.hz, 0.5));
        const BandProbe pa = a->probe(c.band);
        const double drop = dB(pa.g / b->probe(c.band).g);
        // The loudest of the band's linked neighbours.
        int loudest = 0;
        for (int nb2 : plumbra::bandDefinition(c.band).linkedTo)
            if (nb2 != 0 && (loudest == 0 || a->probe(nb2).e2s > a->probe(loudest).e2s)) loudest = nb2;
        const double byNeighbour = 1.0 / (0.7943282 * a->probe(loudest).e2s);
        std::printf("[figures] band %2d with a loud sine at %.0f Hz (loudest linked neighbour: band %d): "
                    "gain %+.2f dB with the link at 0 dB; gain against 1/(0.794*e2s of band %d) %.8f\n",
                    c.band, c.hz, loudest, drop, loudest, pa.g / byNeighbour);
        EXPECT_LT(drop, -2.0) << "band " << c.band << " at " << c.hz;
        // The neighbour's envelope of this very sample: last sample's differs by more than 1e-5.
        EXPECT_NEAR(pa.g / byNeighbour, 1.0, 3e-6) << "band " << c.band << " at " << c.hz;
        // The neighbours themselves are untouched.
        for (int nb2 : plumbra::bandDefinition(c.band).linkedTo) {
            if (nb2 != 0 && nb2 != 6 && nb2 != 7) {
                EXPECT_EQ(a->probe(nb2).g, b->probe(nb2).g);
            }
        }
    }
}

TEST(BandLinking, NeverWorksTheOtherWay)
{
    // Loud bands 6, 7, 1 and 12 must not move bands 5, 8, 2 and 11.
    const auto sig = sines({{826.6, 0.3}, {1239.7, 0.3}, {28.0, 0.5}, {11000.0, 0.5}});
    BlockValues linked = defaultValues();
    linked.link5678 = linked.link21 = linked.link1112 = 1.0f;
    BlockValues unlinked = linked;
    unlinked.link5678 = unlinked.link21 = unlinked.link1112 = 0.0f;
    auto a = makeBank();
    auto b = makeBank();
    uint32_t na = 0, nb = 0;
    const int count = 16000;
    bool sameOutputs = true;
    std::vector<float> outA(count * 4);
    run(*a, na, count, linked, sig, [&](int i, const BandOutputs& o) {
        outA[static_cast<std::size_t>(i) * 4 + 0] = bandOut(o, 5);
        outA[static_cast<std::size_t>(i) * 4 + 1] = bandOut(o, 8);
        outA[static_cast<std::size_t>(i) * 4 + 2] = bandOut(o, 2);
        outA[static_cast<std::size_t>(i) * 4 + 3] = bandOut(o, 11);
    });
    run(*b, nb, count, unlinked, sig, [&](int i, const BandOutputs& o) {
        sameOutputs = sameOutputs && outA[static_cast<std::size_t>(i) * 4 + 0] == bandOut(o, 5) &&
                      outA[static_cast<std::size_t>(i) * 4 + 1] == bandOut(o, 8) &&
                      outA[static_cast<std::size_t>(i) * 4 + 2] == bandOut(o, 2) &&
                      outA[static_cast<std::size_t>(i) * 4 + 3] == bandOut(o, 11);
    });
    EXPECT_TRUE(sameOutputs);
    for (int band : {5, 8, 2, 11}) EXPECT_EQ(a->probe(band).g, b->probe(band).g) << "band " << band;
    std::printf("[figures] loud bands 6, 7, 1 and 12 with every link at 0 dB and off: outputs of bands 5, 8, 2 "
                "and 11 bit-identical over %d samples: %s\n",
                count, sameOutputs ? "yes" : "no");
}

// ---------------------------------------------------------------------------
// Delays

TEST(BandDelay, EveryBandReachesTheMixExactly3072SamplesAfterItsSplit)
{
    const BlockValues bv = defaultValues();
    auto bank = makeBank();
    uint32_t n = 0;
    const int at = 100;
    // An impulse in the left channel only, so that both sum and difference carry it.
    std::vector<BandOutputs> out;
    run(*bank, n, at + static_cast<int>(kBandDelay) + 2, bv,
        [&](int i) { return Stereo{i == at ? 1.0f : 0.0f, 0.0f}; },
        [&](int, const BandOutputs& o) { out.push_back(o); });
    const BandOutputs& before = out[at + kBandDelay - 1];
    const BandOutputs& first = out[at + kBandDelay];
    for (int band = 1; band <= 12; ++band) {
        for (int i = 0; i < at + static_cast<int>(kBandDelay); ++i) ASSERT_EQ(bandOut(out[i], band), 0.0f);
        EXPECT_EQ(bandOut(before, band), 0.0f) << "band " << band;
        EXPECT_NE(bandOut(first, band), 0.0f) << "band " << band;
        if (band >= 3) {
            EXPECT_EQ(BandOutputs::band(before.diff, band), 0.0f);
            EXPECT_NE(BandOutputs::band(first.diff, band), 0.0f);
        }
    }
}

// A sine starting out of silence: the gain falls from its ceiling as soon as
// the detectors see the sine, while the sine itself reaches the gain 1024
// samples later and the mix 3072 samples later, so it arrives at the mix
// nearly at its final level instead of with the silence gain of +25 dB.
TEST(BandDelay, GainMovesAbout1024SamplesBeforeTheAudioReachesIt)
{
    const BlockValues bv = defaultValues();
    const int band = 6;
    const double f = centre(band);
    const int start = 4000, count = start + 30000;
    auto bank = makeBank();
    uint32_t n = 0;
    double gSilence = 0.0, gAtArrival = 0.0, peakAfter = 0.0, settled = 0.0;
    int gainMoved = -1, audioArrived = -1;
    run(*bank, n, count, bv,
        [&](int i) {
            const float v = i < start ? 0.0f : static_cast<float>(0.5 * std::sin(2.0 * kPi * f * (i - start) / kFs + 1.0));
            return Stereo{v, v};
        },
        [&](int i, const BandOutputs& o) {
            const double g = bank->probe(band).g;
            const double y = std::fabs(static_cast<double>(bandOut(o, band)));
            if (i == start - 1) gSilence = g;
            if (i == start + 1024) gAtArrival = g;
            if (i >= start && gainMoved < 0 && g < gSilence * 0.8912509) gainMoved = i - start;  // 1 dB down
            if (audioArrived < 0 && y > 0.0) audioArrived = i - start;
            if (i >= start && i < start + 10000) peakAfter = std::max(peakAfter, y);
            if (i >= count - 4000) settled = std::max(settled, y);
        });
    const double gFinal = bank->probe(band).g;
    const double madeGood = dB(gAtArrival / gSilence) / dB(gFinal / gSilence);
    std::printf("[figures] sine out of silence in band 6: gain 1 dB down after %d samples, sine at the mix after "
                "%d samples (at the gain stage after %d); when it reaches the gain, the gain has made %.0f %% of its "
                "change in dB (%+.1f of %+.1f dB); highest output %+.2f dB against the settled level\n",
                gainMoved, audioArrived, audioArrived - 2048, 100.0 * madeGood, dB(gAtArrival / gSilence),
                dB(gFinal / gSilence), dB(peakAfter / settled));
    EXPECT_EQ(audioArrived, static_cast<int>(kBandDelay));
    EXPECT_GE(gainMoved, 0);
    EXPECT_LT(gainMoved, 100);
    EXPECT_GT(madeGood, 0.8);
    EXPECT_LT(dB(peakAfter / settled), 3.0);
}

// ---------------------------------------------------------------------------
// Stereo width

TEST(BandWidth, WidthFollowsTheLeftRightRatio)
{
    const BlockValues bv = defaultValues();
    const int band = 6;
    struct Case {
        double ratio, wfLow, wfHigh;
    };
    // u = 2.2387211*tan(ratio - 1): 0 at 1, 0.454 at 1.2, 0.947 at 1.4, full width from about 1.42.
    // Past 1 + pi/2 the tangent turns negative and the curve gives 0 again.
    const Case cases[] = {{1.0, 0.0, 1e-5},  {1.2, 0.43, 0.48}, {1.4, 0.92, 0.97},
                          {1.45, 1.0, 1.0}, {2.0, 1.0, 1.0},   {3.0, 0.0, 1e-5}};
    for (const Case& c : cases) {
        auto bank = makeBank();
        uint32_t n = 0;
        run(*bank, n, 16000, bv, sine(centre(band), 0.5, c.ratio));
        const BandProbe p = bank->probe(band);
        std::printf("[figures] left/right ratio %.2f: width factor %.5f, mono gain %.5f\n", c.ratio, p.wf, p.cm);
        EXPECT_GE(p.wf, c.wfLow) << "ratio " << c.ratio;
        EXPECT_LE(p.wf, c.wfHigh) << "ratio " << c.ratio;
        EXPECT_NEAR(p.cm, 1.0 + 0.414 * (1.0 - p.wf), 1e-6);
        if (c.ratio == 1.0) {
            for (int b = 3; b <= 12; ++b) {
                EXPECT_NEAR(bank->probe(b).wf, 0.0f, 1e-5f) << "band " << b;
                EXPECT_NEAR(bank->probe(b).cm, 1.414f, 1e-5f) << "band " << b;
            }
        }
    }
}

TEST(BandWidth, TheMixGetsThisSamplesWidthWithTheDelayedSumAndDifference)
{
    const BlockValues bv = defaultValues();
    auto bank = makeBank();
    uint32_t n = 0;
    run(*bank, n, 6000, bv, sine(centre(9), 0.5, 1.3), [&](int, const BandOutputs& o) {
        const BandProbe p = bank->probe(9);
        ASSERT_EQ(BandOutputs::band(o.width, 9), p.wf);
        ASSERT_EQ(BandOutputs::band(o.monoGain, 9), p.cm);
    });
    EXPECT_GT(bank->probe(9).wf, 0.5f);
}

// ---------------------------------------------------------------------------
// Sample rates

TEST(BandRates, StableAtLowAndHighSampleRates)
{
    const BlockValues bv = defaultValues();
    for (const float fs : {8000.0f, 22050.0f, 32000.0f, 192000.0f}) {
        auto bank = makeBank(fs);
        uint32_t n = 0;
        uint32_t seed = 1;
        double peak = 0.0;
        bool finite = true;
        run(*bank, n, 12000, bv,
            [&](int) {
                seed = seed * 1664525u + 1013904223u;
                const float v = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
                return Stereo{v, 0.5f * v};
            },
            [&](int, const BandOutputs& o) {
                for (int b = 1; b <= 12; ++b) {
                    const float y = bandOut(o, b);
                    finite = finite && std::isfinite(y);
                    peak = std::max(peak, std::fabs(static_cast<double>(y)));
                }
            });
        for (int b = 1; b <= 12; ++b) finite = finite && std::isfinite(bank->probe(b).g);
        std::printf("[figures] noise at %.0f Hz: largest band output %.4f\n", fs, peak);
        EXPECT_TRUE(finite) << fs;
        EXPECT_LT(peak, 1.0) << fs;
    }
}

}  // namespace

namespace {

void setForceSse2(const char* value)
{
#ifdef _WIN32
    _putenv_s("PLUMBRA_FORCE_SSE2", value ? value : "");
#else
    if (value) setenv("PLUMBRA_FORCE_SSE2", value, 1);
    else unsetenv("PLUMBRA_FORCE_SSE2");
#endif
}

}  // namespace

namespace {

// Noise bursts of changing level, width and balance, with silences between.
std::function<Stereo(int)> burstNoise()
{
    return [state = uint32_t{12345}](int i) mutable {
        state = state * 1664525u + 1013904223u;
        const float r = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
        const float level = (i / 3000) % 4 == 3 ? 0.0f : std::pow(0.25f, static_cast<float>((i / 3000) % 4));
        const float s = static_cast<float>(std::sin(2.0 * kPi * 523.0 * i / kFs));
        return Stereo{level * (r + 0.3f * s), level * (0.5f * r - ((i / 7000) % 2 ? s : 0.2f * s))};
    };
}

}  // namespace

// Runs of every length give, on both paths, the outputs and the state of the
// same bank run one sample at a time.
TEST(BandRuns, RunsOfAnyLengthGiveTheSampleBySampleBits)
{
    for (const bool avx : {false, true}) {
        auto runs = makeBank();
        auto one = makeBank();
        if (runs->useAvx(avx) != avx || one->useAvx(avx) != avx) continue;  // no AVX here
        const BlockValues bv = defaultValues();
        const auto sig = burstNoise();
        std::vector<Stereo> x(16000);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = sig(static_cast<int>(i));
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> length(1, plumbra::kRunLength);
        uint32_t n = 0;
        for (std::size_t at = 0; at < x.size();) {
            const int len = std::min(length(rng), static_cast<int>(x.size() - at));
            std::array<float, plumbra::kRunLength> left{}, right{};
            for (int i = 0; i < len; ++i) {
                left[static_cast<std::size_t>(i)] = x[at + static_cast<std::size_t>(i)].left;
                right[static_cast<std::size_t>(i)] = x[at + static_cast<std::size_t>(i)].right;
            }
            runs->processRun(left.data(), right.data(), len, n, bv);
            for (int i = 0; i < len; ++i, ++at, ++n) {
                const BandOutputs want = one->process(x[at].left, x[at].right, n, bv);
                ASSERT_EQ(std::memcmp(&runs->output(i), &want, sizeof want), 0) << "sample " << at << ", avx " << avx;
            }
            for (int band = 1; band <= plumbra::kNumBands; ++band) {
                const BandProbe a = runs->probe(band), b = one->probe(band);
                ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "band " << band << " at " << at << ", avx " << avx;
            }
        }
    }
}

// The eight-lane AVX path gives every bit of the four-lane SSE2 path, also
// when the path changes mid-stream (the state stays where it is); design()
// takes AVX where it exists unless PLUMBRA_FORCE_SSE2=1.
TEST(BandPaths, AvxGivesTheBitsOfSse2AndTheVariableForcesSse2)
{
    setForceSse2(nullptr);
    const bool haveAvx = makeBank()->usesAvx();
    setForceSse2("1");
    EXPECT_FALSE(makeBank()->usesAvx());
    setForceSse2(nullptr);
    if (!haveAvx) GTEST_SKIP() << "this build or CPU has no AVX path: only SSE2 runs";

    auto sse2 = makeBank();
    auto avx = makeBank();
    ASSERT_FALSE(sse2->useAvx(false));
    ASSERT_TRUE(avx->useAvx(true));
    BlockValues bv = defaultValues();
    uint32_t n = 0;
    auto sig = burstNoise();
    for (int i = 0; i < 40000; ++i, ++n) {
        if (i % 5000 == 0) avx->useAvx(i % 10000 == 0);  // back to SSE2 now and then
        bv.band1Out = i < 20000 ? bv.band1Out : 0.5f;
        const Stereo s = sig(i);
        const BandOutputs a = sse2->process(s.left, s.right, n, bv);
        const BandOutputs b = avx->process(s.left, s.right, n, bv);
        ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "sample " << i;
    }
    for (int band = 1; band <= plumbra::kNumBands; ++band) {
        const BandProbe a = sse2->probe(band), b = avx->probe(band);
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "band " << band;
    }
}

namespace {

// Programme for the reference comparison: sines in low, middle and high bands
// whose levels move, noise bursts, a loud burst and stretches of silence.
std::function<Stereo(int)> referenceProgramme()
{
    auto noise = burstNoise();
    return [noise](int i) mutable {
        const Stereo n = noise(i);
        if (i >= 30000 && i < 36000) return Stereo{0.0f, 0.0f};  // silence: gates close
        const double t = i / static_cast<double>(kFs);
        const float slow = static_cast<float>(0.5 + 0.5 * std::sin(2.0 * kPi * 0.7 * t));
        const float tones = static_cast<float>(0.3 * std::sin(2.0 * kPi * 60.0 * t) + 0.2 * slow * std::sin(2.0 * kPi * 850.0 * t) +
                                               0.1 * std::sin(2.0 * kPi * 9000.0 * t));
        const float loud = i >= 40000 && i < 41000 ? 8.0f : 1.0f;  // a burst far above full scale
        return Stereo{loud * (tones + n.left), loud * (0.7f * tones + n.right)};
    };
}

}  // namespace

// The packed bank, on both paths, gives every bit of the bank of twelve float
// bands: outputs and state of every band, with the links active and over runs
// of every length.
TEST(BandReference, PackedBanksGiveTheBitsOfTheFloatBank)
{
    for (const bool avx : {false, true}) {
        auto packed = makeBank();
        if (packed->useAvx(avx) != avx) continue;  // no AVX here
        auto reference = std::make_unique<plumbra::BandBankReference>();
        reference->design(rate());
        reference->clear();
        BlockValues bv = defaultValues();
        bv.link5678 = 0.8f;
        bv.link21 = 0.6f;
        bv.link1112 = 0.9f;
        const auto sig = referenceProgramme();
        std::mt19937 rng(11);
        std::uniform_int_distribution<int> length(1, plumbra::kRunLength);
        uint32_t n = 0;
        std::array<float, plumbra::kRunLength> left{}, right{};
        float leastGate = 1.0f, leastGain = 1e9f;
        for (int at = 0; at < 48000;) {
            const int len = length(rng);
            for (int i = 0; i < len; ++i) {
                const Stereo s = sig(at + i);
                left[static_cast<std::size_t>(i)] = s.left;
                right[static_cast<std::size_t>(i)] = s.right;
            }
            if (at > 24000) bv.band1Out = 0.5f;
            packed->processRun(left.data(), right.data(), len, n, bv);
            reference->processRun(left.data(), right.data(), len, n, bv);
            for (int i = 0; i < len; ++i)
                ASSERT_EQ(std::memcmp(&packed->output(i), &reference->output(i), sizeof(BandOutputs)), 0)
                    << "sample " << at + i << ", avx " << avx;
            for (int band = 1; band <= plumbra::kNumBands; ++band) {
                const BandProbe a = packed->probe(band), b = reference->probe(band);
                ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "band " << band << " at " << at << ", avx " << avx;
            }
            leastGate = std::min(leastGate, reference->probe(6).gt);
            leastGain = std::min(leastGain, reference->probe(6).g);
            at += len;
            n += static_cast<uint32_t>(len);
        }
        // The comparison saw a closed gate, and the loud burst's gains.
        EXPECT_LT(leastGate, 0.05f);
        EXPECT_LT(leastGain, 2.0f);
    }
}
