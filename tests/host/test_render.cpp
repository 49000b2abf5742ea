// plumbra render, end to end: the built program against the plug-in driven
// directly through its entry point, its streams, its failures and its report
// against libebur128.
#include <gtest/gtest.h>

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include "host/plumbra_run.h"

namespace {

TEST(PlumbraRender, MatchesThePluginDrivenDirectlyWithAndWithoutLatencyCompensation)
{
    TempDir dir;
    const int rate = 48000;
    const auto x = testSignal(rate, 0.6);
    writeAudio(dir / "in.wav", x, 1, rate);

    HostRun r = runHost({"render", dir / "in.wav", dir / "out.wav", "--quiet"}, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    HostRun raw = runHost({"render", dir / "in.wav", dir / "raw.wav", "--quiet", "--raw-latency"}, dir);
    ASSERT_EQ(raw.code, 0) << raw.err;

    int latency = 0;
    const auto direct = processDirect(x, rate, {}, &latency);
    EXPECT_EQ(latency, 3552);

    const Audio out = readAudio(dir / "out.wav");
    EXPECT_EQ(out.rate, rate);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);  // follows the input's sample format
    ASSERT_EQ(out.frames, static_cast<int64_t>(x.size()));
    EXPECT_TRUE(bitEqual(out.data, frames(direct, static_cast<size_t>(latency), x.size())))
        << "compensated output is not the plug-in's output advanced by its reported delay";

    const Audio rawOut = readAudio(dir / "raw.wav");
    ASSERT_EQ(rawOut.frames, static_cast<int64_t>(x.size()));
    EXPECT_TRUE(bitEqual(rawOut.data, frames(direct, 0, x.size())));
}

TEST(PlumbraRender, BlockSizeChangesNothingIncludingTheLatencyCompensation)
{
    // Block sizes that neither divide the 3552-sample delay nor the input length exercise
    // the partial blocks at the start (delay dropped) and at the end (tail flushed).
    TempDir dir;
    const auto x = testSignal(44100, 0.3);
    writeAudio(dir / "in.wav", x, 1, 44100);
    ASSERT_EQ(runHost({"render", dir / "in.wav", dir / "ref.wav", "--quiet"}, dir).code, 0);
    const Audio ref = readAudio(dir / "ref.wav");
    ASSERT_EQ(ref.frames, static_cast<int64_t>(x.size()));
    for (const char* block : {"1", "7", "1000", "4096", "65536"}) {
        HostRun r = runHost({"render", dir / "in.wav", dir / "b.wav", "--quiet", "--block-size", block}, dir);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(bitEqual(readAudio(dir / "b.wav").data, ref.data)) << "block size " << block;
    }
}

TEST(PlumbraRender, StereoInputIsMixedToMonoAndSaidOnce)
{
    TempDir dir;
    const int rate = 44100;
    const auto a = testSignal(rate, 0.5, 1), b = testSignal(rate, 0.5, 2);
    std::vector<float> stereo(2 * a.size()), mono(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        stereo[2 * i] = a[i];
        stereo[2 * i + 1] = b[i];
        mono[i] = (a[i] + b[i]) * 0.5f;
    }
    writeAudio(dir / "stereo.wav", stereo, 2, rate);
    writeAudio(dir / "mono.wav", mono, 1, rate);

    HostRun s = runHost({"render", dir / "stereo.wav", dir / "s.wav"}, dir);
    ASSERT_EQ(s.code, 0) << s.err;
    EXPECT_EQ(s.errLines(), 1) << s.err;
    EXPECT_NE(s.err.find("(L+R)/2"), std::string::npos) << s.err;
    HostRun m = runHost({"render", dir / "mono.wav", dir / "m.wav", "--quiet"}, dir);
    ASSERT_EQ(m.code, 0) << m.err;
    EXPECT_EQ(m.err, "");

    const Audio so = readAudio(dir / "s.wav"), mo = readAudio(dir / "m.wav");
    ASSERT_EQ(so.frames, static_cast<int64_t>(a.size()));
    EXPECT_TRUE(bitEqual(so.data, mo.data));
}

TEST(PlumbraRender, OutputSampleFormatFollowsInputOrFormatOption)
{
    TempDir dir;
    const auto x = testSignal(44100, 0.5);
    writeAudio(dir / "in16.wav", x, 1, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(runHost({"render", dir / "in16.wav", dir / "a.wav", "--quiet"}, dir).code, 0);
    ASSERT_EQ(runHost({"render", dir / "in16.wav", dir / "b.flac", "--quiet", "--format", "pcm24"}, dir).code, 0);
    ASSERT_EQ(runHost({"render", dir / "in16.wav", dir / "c.aiff", "--quiet", "--format=float"}, dir).code, 0);
    EXPECT_EQ(readAudio(dir / "a.wav").format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(readAudio(dir / "b.flac").format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(readAudio(dir / "c.aiff").format, SF_FORMAT_AIFF | SF_FORMAT_FLOAT);
    EXPECT_EQ(readAudio(dir / "b.flac").frames, static_cast<int64_t>(x.size()));
}

// ---- parameters -----------------------------------------------------------------


TEST(PlumbraStreams, PipelineThroughStandardInputAndOutputGivesTheSameAudioAsFiles)
{
    TempDir dir;
    const auto x = testSignal(44100, 0.5);
    writeAudio(dir / "in.wav", x, 1, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    ASSERT_EQ(runHost({"render", dir / "in.wav", dir / "file.wav", "--quiet"}, dir).code, 0);

    // Both ends real pipes: the output is a WAV stream of unknown length.
    const std::string host = kHost;
    ASSERT_EQ(runShell("cat '" + dir / "in.wav" + "' | '" + host + "' render - - --quiet | cat > '" + dir / "piped.wav" + "'"), 0);
    // Standard output redirected to a file: the header gets the real sizes.
    ASSERT_EQ(runHost({"render", "-", "-", "--quiet"}, dir, {dir / "in.wav", dir / "redirected.wav", 0, "", {}}).code, 0);

    const Audio file = readAudio(dir / "file.wav"), piped = readAudio(dir / "piped.wav"),
                redirected = readAudio(dir / "redirected.wav");
    EXPECT_EQ(file.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_EQ(piped.format, file.format);
    ASSERT_EQ(file.frames, static_cast<int64_t>(x.size()));
    EXPECT_TRUE(bitEqual(piped.data, file.data));
    EXPECT_TRUE(bitEqual(redirected.data, file.data));

    SF_INFO info{};
    SNDFILE* f = sf_open((dir / "redirected.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(x.size()));
    sf_close(f);
    const std::string bytes = slurp(dir / "redirected.wav");
    uint32_t dataSize = 0;
    std::memcpy(&dataSize, bytes.data() + 40, 4);
    EXPECT_EQ(dataSize, x.size() * 2 * 3);
}

// ---- errors ------------------------------------------------------------------------

struct ErrorCase {
    const char* what;
    std::vector<std::string> args;  // "@" is replaced by the temporary folder
    int code;
    const char* mentions;
};

TEST(PlumbraErrors, EveryFailureExitsNonZeroWithOneLineAndLeavesNoOutput)
{
    TempDir dir;
    const auto x = testSignal(44100, 0.3);
    writeAudio(dir / "in.wav", x, 1, 44100);
    writeAudio(dir / "three.wav", std::vector<float>(3 * 1000, 0.1f), 3, 44100);
    { std::ofstream(dir / "text.wav") << "this is not audio\n"; }
    { std::ofstream(dir / "bad.preset") << "# ok\nLowpass Filter=5000\nLowpass Filter=50\n"; }
    { std::ofstream(dir / "unknown.preset") << "Lowpass Filter=5000\n\nWobble=3\n"; }
    Dl_info where{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&sf_open), &where), 0);
    const std::string notAPlugin = where.dli_fname;  // a library without VSTPluginMain

    const std::vector<ErrorCase> cases = {
        {"missing input", {"render", "@/nothing.wav", "@/out.wav"}, 4, "nothing.wav"},
        {"input not audio", {"render", "@/text.wav", "@/out.wav"}, 4, "text.wav"},
        {"input is a folder", {"render", "@", "@/out.wav"}, 4, "folder"},
        {"three channels", {"render", "@/three.wav", "@/out.wav"}, 4, "3 channels"},
        {"unknown parameter", {"render", "@/in.wav", "@/out.wav", "--set", "Wobble=3"}, 3, "Wobble"},
        {"out of range", {"render", "@/in.wav", "@/out.wav", "--set", "Lowpass Filter=20000"}, 3, "1000 to 15000"},
        {"not a number", {"render", "@/in.wav", "@/out.wav", "--set", "Lowpass Filter=high"}, 3, "not a number"},
        {"index out of range", {"render", "@/in.wav", "@/out.wav", "--set", "19=1"}, 3, "0 to 18"},
        {"switch value", {"render", "@/in.wav", "@/out.wav", "--set", "DNR LPF Disable=maybe"}, 3, "on or off"},
        {"bad preset value", {"render", "@/in.wav", "@/out.wav", "--preset", "@/bad.preset"}, 3, "bad.preset:3:"},
        {"unknown preset name", {"render", "@/in.wav", "@/out.wav", "--preset", "@/unknown.preset"}, 3, "unknown.preset:3:"},
        {"missing preset", {"render", "@/in.wav", "@/out.wav", "--preset", "@/none.preset"}, 3, "none.preset"},
        {"no such plug-in", {"render", "@/in.wav", "@/out.wav", "--plugin", "@/none.so"}, 6, "none.so"},
        {"not a plug-in", {"render", "@/in.wav", "@/out.wav", "--plugin", notAPlugin}, 6, "VSTPluginMain"},
        {"output folder missing", {"render", "@/in.wav", "@/no/out.wav"}, 5, "no/out.wav"},
        {"unknown extension", {"render", "@/in.wav", "@/out.xyz"}, 5, "out.xyz"},
        {"format for codec", {"render", "@/in.wav", "@/out.flac", "--format", "float"}, 2, "float"},
        {"unknown format", {"render", "@/in.wav", "@/out.wav", "--format", "pcm12"}, 2, "pcm12"},
        {"unknown option", {"render", "@/in.wav", "@/out.wav", "--louder"}, 2, "--louder"},
        {"missing argument", {"render", "@/in.wav"}, 2, "IN and OUT"},
        {"unknown command", {"mix", "@/in.wav"}, 2, "mix"},
        {"report folder missing", {"render", "@/in.wav", "@/out.wav", "--report-json", "@/no/r.json"}, 5, "r.json"},
    };
    const size_t before = dir.entries().size();
    for (const auto& c : cases) {
        std::vector<std::string> args;
        for (std::string a : c.args) {
            if (!a.empty() && a[0] == '@') a = dir.path() + a.substr(1);
            args.push_back(a);
        }
        HostRun r = runHost(args, dir);
        EXPECT_EQ(r.code, c.code) << c.what << ": " << r.err;
        EXPECT_EQ(r.errLines(), 1) << c.what << ": " << r.err;
        EXPECT_EQ(r.err.rfind("plumbra: ", 0), 0u) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << c.what << ": " << r.err;
        std::vector<std::string> left = dir.entries();
        EXPECT_EQ(left.size(), before) << c.what << ": something was left behind";
    }
}

TEST(PlumbraErrors, TheInputIsNeverWrittenOverHoweverItIsNamed)
{
    TempDir dir;
    writeAudio(dir / "x.wav", testSignal(44100, 0.2), 1, 44100);
    const std::string before = slurp(dir / "x.wav");
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("x.wav", (dir / "soft.wav").c_str()), 0);
    ASSERT_EQ(link((dir / "x.wav").c_str(), (dir / "hard.wav").c_str()), 0);
    const size_t entries = dir.entries().size();
    const std::vector<std::pair<std::string, std::string>> spellings = {
        {"./x.wav", "x.wav"}, {dir / "x.wav", "x.wav"}, {"sub/../x.wav", dir / "x.wav"},
        {"x.wav", "soft.wav"}, {"hard.wav", "x.wav"}, {"x.wav", "./hard.wav"}};
    for (const auto& [in, out] : spellings) {
        HostRun r = runHost({"render", in, out, "--quiet"}, dir, {"", "", 0, "", dir.path()});
        EXPECT_EQ(r.code, 2) << in << " -> " << out << ": " << r.err;
        EXPECT_EQ(r.errLines(), 1) << r.err;
        EXPECT_NE(r.err.find("same file"), std::string::npos) << r.err;
        EXPECT_EQ(slurp(dir / "x.wav"), before) << in << " -> " << out << " touched the input";
        EXPECT_EQ(dir.entries().size(), entries) << in << " -> " << out << " left a file behind";
    }
}

TEST(PlumbraErrors, NonFiniteOutputIsCountedReportedAndKeptForInspection)
{
    // The stand-in plug-in turns samples above +0.5 into NaN and below -0.5 into
    // infinity on both of its outputs: 7 + 5 such inputs give 24 non-finite samples.
    TempDir dir;
    std::vector<float> x(3000, 0.1f);
    for (int i = 0; i < 7; ++i) x[static_cast<size_t>(100 + 300 * i)] = 0.9f;
    for (int i = 0; i < 5; ++i) x[static_cast<size_t>(250 + 400 * i)] = -0.75f;
    writeAudio(dir / "in.wav", x, 1, 44100);
    const std::string host = kHost, fault = host.substr(0, host.rfind('/')) + "/plumbra_fault_plugin.so";
    HostRun r = runHost({"render", dir / "in.wav", dir / "out.wav", "--plugin", fault, "--report-json", dir / "r.json"}, dir);
    EXPECT_EQ(r.code, 7) << r.err;
    EXPECT_NE(r.err.find("24 NaN or infinite samples"), std::string::npos) << r.err;
    EXPECT_EQ(jsonValue(slurp(dir / "r.json"), "", "non_finite_samples"), 24.0);
    const Audio out = readAudio(dir / "out.wav");
    ASSERT_EQ(out.frames, static_cast<int64_t>(x.size()));
    EXPECT_EQ(std::count_if(out.data.begin(), out.data.end(), [](float v) { return !std::isfinite(v); }), 24);
    // A finite render through the same plug-in succeeds.
    writeAudio(dir / "calm.wav", std::vector<float>(3000, 0.25f), 1, 44100);
    EXPECT_EQ(runHost({"render", dir / "calm.wav", dir / "calm-out.wav", "--plugin", fault, "--quiet"}, dir).code, 0);
}

TEST(PlumbraErrors, AFullDiskLeavesNoFileBehind)
{
    TempDir dir;
    const auto x = testSignal(44100, 1.0);
    writeAudio(dir / "in.wav", x, 1, 44100);
    // A file-size limit of 64 KiB makes writes fail like a full disk.
    HostRun r = runHost({"render", dir / "in.wav", dir / "out.wav", "--quiet"}, dir, {"", "", 64 * 1024, "", {}});
    EXPECT_EQ(r.code, 5) << r.err;
    EXPECT_EQ(r.errLines(), 1) << r.err;
    EXPECT_EQ(dir.entries().size(), 1u) << "only the input should remain";

    // Standard output on a full device.
    HostRun full = runHost({"render", dir / "in.wav", "-", "--quiet"}, dir, {"", "/dev/full", 0, "", {}});
    EXPECT_EQ(full.code, 5) << full.err;
    EXPECT_EQ(full.errLines(), 1) << full.err;
}

TEST(PlumbraErrors, PluginChosenByEnvironmentAndOption)
{
    TempDir dir;
    writeAudio(dir / "in.wav", testSignal(44100, 0.2), 1, 44100);
    HostRun missing = runHost({"render", dir / "in.wav", dir / "out.wav"}, dir, {"", "", 0, dir / "gone.so", {}});
    EXPECT_EQ(missing.code, 6) << missing.err;
    EXPECT_NE(missing.err.find("gone.so"), std::string::npos) << missing.err;
    // --plugin wins over the environment.
    HostRun chosen = runHost({"info", "--plugin", plumbra::test::kPluginPath}, dir, {"", "", 0, dir / "gone.so", {}});
    EXPECT_EQ(chosen.code, 0) << chosen.err;
    HostRun env = runHost({"info"}, dir, {"", "", 0, plumbra::test::kPluginPath, {}});
    EXPECT_EQ(env.code, 0) << env.err;
    EXPECT_NE(env.out.find(plumbra::test::kPluginPath), std::string::npos) << env.out;
}

TEST(PlumbraErrors, AnInterruptedRenderLeavesNoFileBehind)
{
    TempDir dir;
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        const std::string out = dir / "demo.wav";
        execl(kHost, kHost, "render", "--demo", out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the temporary output exists, then stop the render.
    bool sawTemp = false;
    for (int i = 0; i < 500 && !sawTemp; ++i) {
        sawTemp = !dir.entries().empty();
        if (!sawTemp) usleep(10000);
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(sawTemp);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_TRUE(dir.entries().empty()) << dir.entries().front();
}

// ---- report and plot ---------------------------------------------------------------


TEST(PlumbraReport, LoudnessAgreesWithLibebur128OnAKnownTone)
{
    TempDir dir;
    const int rate = 48000;
    // 997 Hz at -20 dBFS peak in one channel: -23.0 LUFS and -20.0 dBTP.
    std::vector<float> tone(static_cast<size_t>(rate) * 2);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<float>(0.1 * std::sin(2 * M_PI * 997.0 * static_cast<double>(i) / rate));
    writeAudio(dir / "tone.wav", tone, 1, rate);
    HostRun r = runHost({"render", dir / "tone.wav", dir / "out.wav", "--report-json", dir / "r.json", "--plot",
                     dir / "p.svg"}, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string json = slurp(dir / "r.json");

    const double inLufs = jsonValue(json, "input", "integrated_lufs");
    EXPECT_NEAR(inLufs, -23.0, 0.05);
    EXPECT_NEAR(jsonValue(json, "input", "true_peak_dbtp"), -20.0, 0.05);
    const Measured in = measure(readAudio(dir / "tone.wav"));
    EXPECT_NEAR(inLufs, in.integrated, 0.006);

    const Audio outAudio = readAudio(dir / "out.wav");
    const Measured out = measure(outAudio);
    EXPECT_NEAR(jsonValue(json, "output", "integrated_lufs"), out.integrated, 0.006);
    EXPECT_NEAR(jsonValue(json, "output", "loudness_range_lu"), out.range, 0.006);
    EXPECT_NEAR(jsonValue(json, "output", "true_peak_dbtp"), out.truePeak, 0.006);
    EXPECT_EQ(jsonValue(json, "output", "frames"), static_cast<double>(tone.size()));
    EXPECT_EQ(jsonValue(json, "", "latency_samples"), 3552.0);

    // The text report says the same, and the plot is an SVG with both curves.
    char expected[32];
    std::snprintf(expected, sizeof expected, "%.1f LUFS", in.integrated);
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
    const std::string svg = slurp(dir / "p.svg");
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    EXPECT_NE(svg.find(">input<"), std::string::npos);
    EXPECT_NE(svg.find(">output<"), std::string::npos);
}

// ---- batches and analysis ------------------------------------------------------------


}  // namespace

#else

TEST(Plumbra, NotBuiltHere)
{
    GTEST_SKIP() << "the plumbra host is not built for this toolchain";
}

#endif
