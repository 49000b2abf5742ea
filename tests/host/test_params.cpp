// plumbra params and the controls of a render: names, indices, preset files.
#include <gtest/gtest.h>

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include "host/plumbra_run.h"

namespace {

TEST(PlumbraParameters, ByNameAndByIndexSetTheSameNormalisedValueAsTheHostInterface)
{
    TempDir dir;
    const int rate = 44100;
    const auto x = testSignal(rate, 0.5);
    writeAudio(dir / "in.wav", x, 1, rate);

    // "Lowpass Filter" is index 5, 1000..15000 Hz: 2000 Hz is normalised 1/14.
    HostRun byName = runHost({"render", dir / "in.wav", dir / "name.wav", "--quiet", "--set", "Lowpass Filter=2000"}, dir);
    HostRun byIndex = runHost({"render", dir / "in.wav", dir / "index.wav", "--quiet", "--set", "5=2000"}, dir);
    HostRun plain = runHost({"render", dir / "in.wav", dir / "default.wav", "--quiet"}, dir);
    ASSERT_EQ(byName.code, 0) << byName.err;
    ASSERT_EQ(byIndex.code, 0) << byIndex.err;
    ASSERT_EQ(plain.code, 0) << plain.err;

    const Audio n = readAudio(dir / "name.wav"), i = readAudio(dir / "index.wav"), d = readAudio(dir / "default.wav");
    EXPECT_TRUE(bitEqual(n.data, i.data));
    EXPECT_FALSE(bitEqual(n.data, d.data)) << "a 2 kHz input lowpass left the output unchanged";

    int latency = 0;
    const auto direct = processDirect(x, rate, {{5, 1.0f / 14.0f}}, &latency);
    EXPECT_TRUE(bitEqual(n.data, frames(direct, static_cast<size_t>(latency), x.size())));
}

// Power (dB) of one channel at a multiple of 2 Hz over the last half second: Goertzel.
double binPowerDb(const Audio& a, int channel, double hz)
{
    const int64_t n = a.rate / 2, start = a.frames - n;
    const double c = 2 * std::cos(2 * M_PI * hz / a.rate);
    double s1 = 0, s2 = 0;
    for (int64_t i = start; i < a.frames; ++i) {
        const double s0 = a.data[static_cast<size_t>(i * a.channels + channel)] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    return 10 * std::log10(power / (static_cast<double>(n) * n) + 1e-30);
}

TEST(PlumbraParameters, BandwidthExpansionLevelAtMinimumRemovesTheSyntheticTreble)
{
    TempDir dir;
    const int rate = 44100;
    // 7 kHz lies in the expander's source band (above its 4.7 kHz input highpass, below the
    // 9.7 kHz lowpass); 9 kHz also lies above its 8 kHz detection frequency, which switches
    // the expander on. The synthetic harmonic of 7 kHz appears at 14 kHz.
    std::vector<float> x(static_cast<size_t>(rate));
    for (size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        x[i] = static_cast<float>(0.1 * std::sin(2 * M_PI * 7000 * t) + 0.1 * std::sin(2 * M_PI * 9000 * t));
    }
    writeAudio(dir / "in.wav", x, 1, rate);
    ASSERT_EQ(runHost({"render", dir / "in.wav", dir / "on.wav", "--quiet"}, dir).code, 0);
    HostRun off = runHost({"render", dir / "in.wav", dir / "off.wav", "--quiet", "--set", "Bandwidth Expansion Level=-96"}, dir);
    ASSERT_EQ(off.code, 0) << off.err;
    const Audio on = readAudio(dir / "on.wav"), quiet = readAudio(dir / "off.wav");
    if (bitEqual(on.data, quiet.data)) GTEST_SKIP() << "this build of the plug-in has no bandwidth expander yet";
    for (int channel = 0; channel < 2; ++channel) {
        const double withTreble = binPowerDb(on, channel, 14000), without = binPowerDb(quiet, channel, 14000);
        EXPECT_GT(withTreble - without, 40.0) << "channel " << channel << ", 14 kHz: default level " << withTreble
                                              << " dB, level -96 dB " << without << " dB";
        // The programme itself is untouched by the expander's level.
        EXPECT_NEAR(binPowerDb(on, channel, 7000), binPowerDb(quiet, channel, 7000), 1.0);
    }
}

TEST(PlumbraParameters, PresetFileRoundTripsThroughParamsAndRender)
{
    TempDir dir;
    const auto x = testSignal(44100, 0.5);
    writeAudio(dir / "in.wav", x, 1, 44100);
    {
        std::ofstream p(dir / "my.preset");
        p << "# a test preset\n\nLowpass Filter = 6000   # Hz\nDisable WRMI EQ=on\nNoisegate Gain Scale dB Per Band=-1.5\n";
    }
    // params --preset FILE prints the whole state in preset form, with the file applied.
    HostRun listed = runHost({"params", "--preset", dir / "my.preset"}, dir);
    ASSERT_EQ(listed.code, 0) << listed.err;
    EXPECT_NE(listed.out.find("\nLowpass Filter=6000\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\nDisable WRMI EQ=on\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\nNoisegate Gain Scale dB Per Band=-1.5\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\nMaster Noisegate Gain=40\n"), std::string::npos) << listed.out;
    {
        std::ofstream p(dir / "full.preset");
        p << listed.out;
    }
    // The preset file, the full printed state and the equivalent --set options render the same.
    ASSERT_EQ(runHost({"render", dir / "in.wav", dir / "a.wav", "--quiet", "--preset", dir / "my.preset"}, dir).code, 0);
    ASSERT_EQ(runHost({"render", dir / "in.wav", dir / "b.wav", "--quiet", "--preset", dir / "full.preset"}, dir).code, 0);
    ASSERT_EQ(runHost({"render", dir / "in.wav", dir / "c.wav", "--quiet", "--set", "lowpass filter=6000", "--set",
                       "10=on", "--set", "9=-1.5"}, dir).code, 0);
    const Audio a = readAudio(dir / "a.wav"), b = readAudio(dir / "b.wav"), c = readAudio(dir / "c.wav");
    ASSERT_EQ(a.frames, static_cast<int64_t>(x.size()));
    EXPECT_TRUE(bitEqual(a.data, b.data));
    EXPECT_TRUE(bitEqual(a.data, c.data));
    // --set comes after the preset and wins.
    ASSERT_EQ(runHost({"render", dir / "in.wav", dir / "d.wav", "--quiet", "--preset", dir / "my.preset", "--set",
                       "Lowpass Filter=9700"}, dir).code, 0);
    EXPECT_FALSE(bitEqual(a.data, readAudio(dir / "d.wav").data));
}

TEST(PlumbraParameters, ListShowsNineteenParametersWithRangesAndDefaults)
{
    TempDir dir;
    HostRun r = runHost({"params"}, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("19 parameters"), std::string::npos);
    EXPECT_NE(r.out.find("Lowpass Filter"), std::string::npos);
    EXPECT_NE(r.out.find("1000 to 15000"), std::string::npos);
    EXPECT_NE(r.out.find("-6.0 to 6.0"), std::string::npos);
    EXPECT_NE(r.out.find(" 18  DNR LPF Disable"), std::string::npos);
    HostRun info = runHost({"info"}, dir);
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("0x46415553, 'FAUS'"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("latency        3552 samples"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Halvex_Plumbra-Vektis"), std::string::npos);
}

// ---- streams ------------------------------------------------------------------------


}  // namespace

#else

TEST(Plumbra, NotBuiltHere)
{
    GTEST_SKIP() << "the plumbra host is not built for this toolchain";
}

#endif
