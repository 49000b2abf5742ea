// The plumbra command-line host, end to end: every case runs the built program
// as a user would and checks its files, its exit code and its messages against
// the plug-in driven directly through its entry point and against libebur128.
#include <gtest/gtest.h>

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include <dlfcn.h>
#include <ebur128.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <csignal>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dsp/meters.h"
#include "host/engine/engine.h"
#include "support/plugin_loader.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kHost = PLUMBRA_HOST_PATH;
constexpr int kBlock = 1024;  // plumbra's default block size

// ---- running the program ---------------------------------------------------

struct HostRun {
    int code = -1;
    std::string out;  // standard output, when not redirected to a file
    std::string err;  // standard error
    int errLines() const
    {
        int n = 0;
        for (char c : err) n += c == '\n';
        return n;
    }
};

struct Redirect {
    std::string stdinPath;         // empty: /dev/null
    std::string stdoutPath;        // empty: captured into Run::out
    rlim_t fileSizeLimit = 0;      // non-zero: RLIMIT_FSIZE of the child
    std::string pluginEnv;         // PLUMBRA_PLUGIN of the child (unset when empty)
    std::string cwd;               // working folder of the child (unchanged when empty)
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

using plumbra::test::TempDir;

HostRun runHost(const std::vector<std::string>& args, const TempDir& dir, const Redirect& r = {})
{
    const std::string outFile = dir / ".stdout", errFile = dir / ".stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(r.stdinPath.empty() ? "/dev/null" : r.stdinPath.c_str(), O_RDONLY);
        int out = open(r.stdoutPath.empty() ? outFile.c_str() : r.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!r.cwd.empty() && chdir(r.cwd.c_str()) != 0) _exit(126);
        if (r.fileSizeLimit) {
            rlimit lim{r.fileSizeLimit, r.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        if (r.pluginEnv.empty())
            unsetenv("PLUMBRA_PLUGIN");
        else
            setenv("PLUMBRA_PLUGIN", r.pluginEnv.c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(kHost));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kHost, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    HostRun res;
    res.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r.stdoutPath.empty()) res.out = slurp(outFile);
    res.err = slurp(errFile);
    unlink(outFile.c_str());
    unlink(errFile.c_str());
    return res;
}

// A shell pipeline, for standard input and output that are real pipes.
int runShell(const std::string& command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- audio files -------------------------------------------------------------

struct Audio {
    int rate = 0;
    int channels = 0;
    int format = 0;
    int64_t frames = 0;
    std::vector<float> data;  // interleaved
};

void writeAudio(const std::string& path, const std::vector<float>& interleaved, int channels, int rate,
                int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size() / channels));
    sf_close(f);
}

Audio readAudio(const std::string& path)
{
    Audio a;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return a;
    a.rate = info.samplerate;
    a.channels = info.channels;
    a.format = info.format;
    std::vector<float> buf(4096 * static_cast<size_t>(info.channels));
    sf_count_t n;
    while ((n = sf_readf_float(f, buf.data(), 4096)) > 0)
        a.data.insert(a.data.end(), buf.begin(), buf.begin() + n * info.channels);
    a.frames = static_cast<int64_t>(a.data.size()) / info.channels;
    sf_close(f);
    return a;
}

// Speech-band noise with tone bursts and a quiet stretch: 1.5 s, seeded.
std::vector<float> testSignal(int rate, double seconds = 1.5, unsigned seed = 7)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const size_t n = static_cast<size_t>(seconds * rate);
    std::vector<float> x(n);
    float lp = 0;
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        lp += 0.3f * (u(rng) - lp);
        const float burst = (static_cast<int>(t * 4) % 2 == 0) ? 0.3f : 0.02f;
        x[i] = burst * (0.5f * lp + 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * t)));
    }
    return x;
}

// The plug-in driven directly: rate, block size, parameters, resume, then the
// signal followed by `latency` zeros, in blocks of kBlock. Returns the two
// output channels interleaved, (signal + latency) frames long.
std::vector<float> processDirect(const std::vector<float>& mono, int rate, const std::vector<std::pair<int, float>>& params,
                                 int* latencyOut = nullptr)
{
    plumbra::test::Plugin p(plumbra::test::kPluginPath);
    EXPECT_TRUE(p);
    if (!p) return {};
    const int latency = p.effect()->initialDelay;
    if (latencyOut) *latencyOut = latency;
    p.dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
    p.dispatch(effSetBlockSize, 0, kBlock);
    for (const auto& [i, v] : params) p.setParameter(i, v);
    p.dispatch(effMainsChanged, 0, 1);
    std::vector<float> in(mono);
    in.resize(mono.size() + static_cast<size_t>(latency), 0.0f);
    std::vector<float> out(2 * in.size());
    std::vector<float> zero(kBlock, 0.0f), l(kBlock), r(kBlock);
    for (size_t pos = 0; pos < in.size(); pos += kBlock) {
        const int n = static_cast<int>(std::min<size_t>(kBlock, in.size() - pos));
        float* ins[2] = {in.data() + pos, zero.data()};
        float* outs[2] = {l.data(), r.data()};
        p.processReplacing(ins, outs, n);
        for (int i = 0; i < n; ++i) {
            out[2 * (pos + static_cast<size_t>(i))] = l[static_cast<size_t>(i)];
            out[2 * (pos + static_cast<size_t>(i)) + 1] = r[static_cast<size_t>(i)];
        }
    }
    p.dispatch(effMainsChanged, 0, 0);
    return out;
}

std::vector<float> frames(const std::vector<float>& interleaved, size_t first, size_t count, int channels = 2)
{
    return std::vector<float>(interleaved.begin() + static_cast<std::ptrdiff_t>(first * channels),
                              interleaved.begin() + static_cast<std::ptrdiff_t>((first + count) * channels));
}

bool bitEqual(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// A number from the JSON report: the first value after "key": inside the given section.
double jsonValue(const std::string& json, const std::string& section, const std::string& key)
{
    size_t at = section.empty() ? 0 : json.find("\"" + section + "\"");
    at = json.find("\"" + key + "\"", at);
    if (at == std::string::npos) return NAN;
    at = json.find(':', at);
    return std::strtod(json.c_str() + at + 1, nullptr);
}

// ---- rendering ----------------------------------------------------------------

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

struct Measured {
    double integrated, range, truePeak;
};

Measured measure(const Audio& a)
{
    ebur128_state* st = ebur128_init(static_cast<unsigned>(a.channels), static_cast<unsigned long>(a.rate),
                                     EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, a.data.data(), static_cast<size_t>(a.frames));
    Measured m{};
    ebur128_loudness_global(st, &m.integrated);
    ebur128_loudness_range(st, &m.range);
    double peak = 0;
    for (int c = 0; c < a.channels; ++c) {
        double p = 0;
        ebur128_true_peak(st, static_cast<unsigned>(c), &p);
        peak = std::max(peak, p);
    }
    m.truePeak = 20 * std::log10(peak);
    ebur128_destroy(&st);
    return m;
}

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

std::map<std::string, std::string> tagsOf(const std::string& path)
{
    std::map<std::string, std::string> tags;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return tags;
    const std::pair<int, const char*> types[] = {{SF_STR_TITLE, "title"}, {SF_STR_ARTIST, "artist"},
                                                 {SF_STR_ALBUM, "album"}, {SF_STR_DATE, "date"},
                                                 {SF_STR_TRACKNUMBER, "tracknumber"}, {SF_STR_GENRE, "genre"}};
    for (const auto& [type, name] : types)
        if (const char* v = sf_get_string(f, type)) tags[name] = v;
    sf_close(f);
    return tags;
}

// A small library of real recordings from Debian and generated programme:
//   lib/speech.wav           generated, 48 kHz mono float
//   lib/voice/center.wav     alsa-utils' voice clip (48 kHz mono 16-bit)
//   lib/voice/left.flac      another clip as FLAC, tagged with metaflac
//   lib/theme/complete.oga   sound-theme-freedesktop's Ogg Vorbis (44.1 kHz stereo)
//   lib/notes.txt, lib/.hidden.wav   not rendered: a note for the first, nothing for the second
class PlumbraLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string alsa = "/usr/share/sounds/alsa/", theme = "/usr/share/sounds/freedesktop/stereo/complete.oga";
        ASSERT_EQ(access((alsa + "Front_Center.wav").c_str(), R_OK), 0) << "scripts/setup.sh installs alsa-utils";
        ASSERT_EQ(access(theme.c_str(), R_OK), 0) << "scripts/setup.sh installs sound-theme-freedesktop";
        ASSERT_EQ(runShell("mkdir -p '" + lib + "/voice' '" + lib + "/theme' && cp " + alsa + "Front_Center.wav '" + lib +
                           "/voice/center.wav' && cp " + theme + " '" + lib + "/theme/' && echo notes > '" + lib +
                           "/notes.txt' && cp " + alsa + "Front_Center.wav '" + lib + "/.hidden.wav'"), 0);
        ASSERT_EQ(runShell("flac -s -o '" + lib + "/voice/left.flac' " + alsa + "Front_Left.wav && metaflac --set-tag=TITLE='Front left' "
                           "--set-tag=ARTIST='ALSA voice' --set-tag=ALBUM='Channel names' --set-tag=DATE=2023 "
                           "--set-tag=TRACKNUMBER=2 --set-tag=GENRE=Speech '" + lib + "/voice/left.flac'"), 0)
            << "scripts/setup.sh installs flac";
        writeAudio(lib + "/speech.wav", testSignal(48000, 0.8), 1, 48000);
    }
    HostRun batch(const std::vector<std::string>& extra)
    {
        std::vector<std::string> args = {"render", lib, "-o", dir / "out", "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runHost(args, dir);
    }
    const std::vector<std::string> rel = {"speech.wav", "theme/complete.oga", "voice/center.wav", "voice/left.flac"};
    TempDir dir;
    const std::string lib = dir / "lib";
};

TEST_F(PlumbraLibrary, FoldersRenderInParallelAsSingleFilesWouldWithLayoutAndTagsKept)
{
    HostRun r = runHost({"render", lib, "-o", dir / "out", "-j", "2", "--report-json", dir / "r.json"}, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.errLines(), 1) << r.err;  // the one note
    EXPECT_NE(r.err.find("skipping " + lib + "/notes.txt"), std::string::npos) << r.err;
    for (size_t i = 0; i < rel.size(); ++i) {
        // Per-file lines in input order, the summary table after them.
        EXPECT_NE(r.out.find("[" + std::to_string(i + 1) + "/4] " + lib + "/" + rel[i] + " -> " + dir / "out/" + rel[i]),
                  std::string::npos) << r.out;
        // Each output equals the single-file render of its input.
        ASSERT_EQ(runHost({"render", lib + "/" + rel[i], dir / ("single" + std::to_string(i) + rel[i].substr(rel[i].rfind('.'))),
                           "--quiet"}, dir).code, 0);
        const Audio batchOut = readAudio(dir / "out/" + rel[i]);
        EXPECT_GT(batchOut.frames, 1000) << rel[i];
        EXPECT_TRUE(bitEqual(batchOut.data, readAudio(dir / ("single" + std::to_string(i) + rel[i].substr(rel[i].rfind('.')))).data))
            << rel[i];
    }
    EXPECT_NE(r.out.find("4 files: 4 rendered, 0 skipped, 0 failed"), std::string::npos) << r.out;
    EXPECT_EQ(jsonValue(slurp(dir / "r.json"), "summary", "rendered"), 4.0);
    EXPECT_EQ(access((dir / "out/notes.txt").c_str(), F_OK), -1);
    EXPECT_EQ(access((dir / "out/.hidden.wav").c_str(), F_OK), -1);

    // Tags: FLAC in, FLAC, Ogg and WAV out keep them; --no-tags drops them; AU cannot hold them.
    const auto tags = tagsOf(lib + "/voice/left.flac");
    ASSERT_EQ(tags.size(), 6u);
    EXPECT_EQ(tagsOf(dir / "out/voice/left.flac"), tags);
    for (const char* ext : {"ogg", "wav"}) {
        ASSERT_EQ(runHost({"render", lib + "/voice/left.flac", "-o", dir / ext, "--ext", ext, "--quiet"}, dir).code, 0);
        EXPECT_EQ(tagsOf(dir / (std::string(ext) + "/left." + ext)), tags) << ext;
    }
    ASSERT_EQ(runHost({"render", lib + "/voice/left.flac", dir / "bare.flac", "--quiet", "--no-tags"}, dir).code, 0);
    EXPECT_TRUE(tagsOf(dir / "bare.flac").empty());
    HostRun au = runHost({"render", lib + "/voice/left.flac", dir / "x.au"}, dir);
    EXPECT_NE(au.out.find("title, artist, album, date, tracknumber, genre dropped: AU"), std::string::npos) << au.out;
}

TEST_F(PlumbraLibrary, ExistingOutputsFailuresAndTheParallelRecipe)
{
    ASSERT_EQ(batch({"-j", "2"}).code, 0);
    const std::string before = slurp(dir / "out/voice/center.wav");
    // An existing output is refused by default: every file fails, nothing is touched.
    HostRun again = batch({});
    EXPECT_EQ(again.code, 8) << again.err;
    EXPECT_NE(again.err.find("exists (--overwrite replaces it, --skip-existing keeps it)"), std::string::npos) << again.err;
    EXPECT_TRUE(slurp(dir / "out/voice/center.wav") == before);
    // --skip-existing finishes an interrupted batch; --overwrite replaces.
    ASSERT_EQ(unlink((dir / "out/speech.wav").c_str()), 0);
    HostRun rest = batch({"--skip-existing", "--report-json", "-"});
    EXPECT_EQ(rest.code, 0) << rest.err;
    EXPECT_EQ(jsonValue(rest.out, "summary", "rendered"), 1.0) << rest.out;
    EXPECT_EQ(jsonValue(rest.out, "summary", "skipped"), 3.0) << rest.out;
    const std::string floatFile = slurp(dir / "out/speech.wav");
    sleep(1);  // a time stamp in the output would show
    EXPECT_EQ(batch({"--overwrite"}).code, 0);
    EXPECT_TRUE(slurp(dir / "out/speech.wav") == floatFile) << "the same render gave other bytes";

    // Bad files fail alone and are listed; the others are done.
    writeAudio(dir / "three.wav", std::vector<float>(3000, 0.1f), 3, 44100);
    HostRun bad = runHost({"render", dir / "three.wav", dir / "missing.wav", lib + "/speech.wav", "-o", dir / "mixed"}, dir);
    EXPECT_EQ(bad.code, 8) << bad.err;
    EXPECT_NE(bad.err.find("2 of 3 files failed: " + dir / "three.wav" + ", " + dir / "missing.wav"), std::string::npos) << bad.err;
    EXPECT_TRUE(bitEqual(readAudio(dir / "mixed/speech.wav").data, readAudio(dir / "out/speech.wav").data));

    // The README's recipe for spreading a batch over machines, run here with two local jobs,
    // gives the same files: byte for byte, except Ogg, whose stream serial number libsndfile
    // draws at random, and whose audio is compared bit for bit.
    ASSERT_EQ(runShell("command -v parallel >/dev/null"), 0) << "scripts/setup.sh installs parallel";
    ASSERT_EQ(runShell("cd '" + lib + "' && find . -type f \\( -name '*.wav' -o -name '*.flac' -o -name '*.oga' \\) -not -name '.*' | "
                       "parallel -j2 '" + std::string(kHost) + "' render {} -o '" + dir / "par" + "'/{//} -j 1 --quiet --skip-existing"), 0);
    for (const auto& f : rel) {
        if (f.find(".oga") == std::string::npos) {
            EXPECT_TRUE(slurp(dir / "par/" + f) == slurp(dir / "out/" + f)) << f;
        }
        const Audio par = readAudio(dir / "par/" + f);
        EXPECT_GT(par.frames, 1000) << f;
        EXPECT_TRUE(bitEqual(par.data, readAudio(dir / "out/" + f).data)) << f;
    }
}

TEST_F(PlumbraLibrary, AnalyzeAgreesWithLibebur128PerFileAndPooled)
{
    HostRun json = runHost({"analyze", lib, "--json"}, dir);
    ASSERT_EQ(json.code, 0) << json.err;
    for (const auto& f : rel) {
        const Measured m = measure(readAudio(lib + "/" + f));
        const size_t at = json.out.find("\"" + lib + "/" + f + "\"");
        ASSERT_NE(at, std::string::npos) << json.out;
        const std::string line = json.out.substr(at, json.out.find('\n', at) - at);
        if (std::isfinite(m.integrated)) {
            EXPECT_NEAR(jsonValue(line, "", "integrated_lufs"), m.integrated, 0.006) << f;
        }
        EXPECT_NEAR(jsonValue(line, "", "true_peak_dbtp"), m.truePeak, 0.006) << f;
    }
    // The total pools the gating blocks: two copies of one programme measure as the programme.
    ASSERT_EQ(runShell("cp '" + lib + "/speech.wav' '" + dir / "copy.wav" + "'"), 0);
    HostRun csv = runHost({"analyze", lib + "/speech.wav", dir / "copy.wav", "--csv"}, dir);
    ASSERT_EQ(csv.code, 0) << csv.err;
    const Measured speech = measure(readAudio(lib + "/speech.wav"));
    const std::string total = csv.out.substr(csv.out.find("\ntotal,") + 1);
    double seconds = 0, lufs = 0;
    ASSERT_EQ(std::sscanf(total.c_str(), "total,ok,,,%lf,%lf", &seconds, &lufs), 2) << csv.out;
    EXPECT_NEAR(lufs, speech.integrated, 0.006);
    EXPECT_NEAR(seconds, 1.6, 0.001);
    // Standard input measures as the file does; render --report-json - agrees.
    HostRun piped = runHost({"analyze", "-", "--csv"}, dir, {lib + "/speech.wav", "", 0, "", {}});
    auto firstRowFigures = [](const std::string& table) {
        const std::string row = table.substr(table.find('\n') + 1);
        return row.substr(row.find(','), row.find('\n') - row.find(','));
    };
    EXPECT_EQ(firstRowFigures(piped.out), firstRowFigures(csv.out)) << piped.out << piped.err;
    HostRun report = runHost({"render", lib + "/speech.wav", dir / "o.wav", "--report-json", "-"}, dir);
    ASSERT_EQ(report.code, 0) << report.err;
    EXPECT_NEAR(jsonValue(report.out, "input", "integrated_lufs"), speech.integrated, 0.006) << report.out;
    EXPECT_EQ(report.out.front(), '{');
}

// ---- command line and report formats -------------------------------------------------

TEST(PlumbraCommandLine, MistakesAreRefusedWithTheOptionAsWrittenAndTheCommandItMisses)
{
    TempDir dir;
    const std::string help = " (plumbra --help shows the usage)\n";
    const std::string one = " does not apply to plumbra render IN OUT (-j, --ext, --overwrite and --skip-existing go with -o DIR)";
    const std::string batch = " does not apply to plumbra render -o (a batch; --plot and --demo take one file)";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"render", "a", "b", "--louder"}, "unknown option --louder"},
        {{"render", "a", "b", "--quiet=1"}, "--quiet takes no value"},
        {{"render", "a", "b", "--set"}, "--set needs a value"},
        {{"render", "a", "-o"}, "-o needs a value"},
        {{"render", "a", "-o", "out", "-j", "0"}, "-j wants a number from 1 to 64, not \"0\""},
        {{"render", "a", "-oout", "--jobs=2x"}, "-j wants a number from 1 to 64, not \"2x\""},
        {{"render", "a", "-oout", "-j65"}, "-j wants a number from 1 to 64, not \"65\""},
        {{"render", "a", "b", "-j", "2"}, "-j" + one},
        {{"render", "a", "b", "--jobs", "2"}, "--jobs" + one},
        {{"render", "a", "-o", "out", "--plot", "p.svg"}, "--plot" + batch},
        {{"render", "a", "b", "--preset"}, "--preset needs a file"},
        {{"render", "a", "b", "--demo-length", "3"}, "--demo-length applies to --demo only"},
        {{"analyze", "x", "--plugin", "y"}, "--plugin does not apply to plumbra analyze"},
        {{"analyze", "x", "--json", "--csv"}, "--json and --csv exclude each other"},
        {{"demo", "x.wav", "--set", "a=1"}, "--set does not apply to plumbra demo"},
        {{"params", "--json"}, "--json does not apply to plumbra params"},
        {{"info", "--version"}, "--version does not apply to plumbra info"},
        {{"mix"}, "unknown command \"mix\""},
    };
    for (const auto& [args, message] : cases) {
        HostRun r = runHost(args, dir);
        EXPECT_EQ(r.code, 2) << message;
        EXPECT_EQ(r.err, "plumbra: " + message + help);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(dir.entries().empty());
}

TEST(PlumbraCommandLine, HelpDescribesEveryOptionInColumnsAndEachOneParses)
{
    TempDir dir;
    HostRun help = runHost({"--help"}, dir);
    ASSERT_EQ(help.code, 0);
    for (const auto& same : std::vector<std::vector<std::string>>{{"-h"}, {"help", "--bogus"}, {"analyze", "x", "-h"}})
        EXPECT_EQ(runHost(same, dir).out, help.out) << same[0];
    const size_t from = help.out.find("\nrender options:\n"), to = help.out.find("\nOutput is");
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    std::istringstream sections(help.out.substr(from + 1, to - from - 1));
    std::vector<std::string> names;
    for (std::string line; std::getline(sections, line);) {
        if (line.empty() || line.back() == ':' || line.rfind("  A single", 0) == 0) continue;
        ASSERT_GE(line.size(), 24u) << line;
        EXPECT_EQ(line.substr(0, 2), "  ") << line;
        EXPECT_NE(line[23], ' ') << "descriptions start in column 23: " << line;
        EXPECT_EQ(line[22], ' ') << line;
        std::istringstream label(line.substr(2, 20));
        for (std::string word; label >> word;)
            if (word[0] == '-') names.push_back(word.back() == ',' ? word.substr(0, word.size() - 1) : word);
    }
    EXPECT_EQ(names.size(), 26u);  // --target and --true-peak for render and for analyze
    for (const auto& name : names) {
        HostRun r = runHost({"params", name, "1"}, dir);
        EXPECT_EQ(r.err.find("unknown option"), std::string::npos) << name << ": " << r.err;
    }
}

TEST_F(PlumbraLibrary, AnalyzeJsonAndCsvAreOneReportWithTheDecimalsOfEachUnit)
{
    // A name that needs quoting and escaping, and a silent file, whose loudness is null or -inf.
    const std::string odd = dir / "odd \"name\",\ttab\x01.wav", silent = dir / "silent.wav";
    writeAudio(odd, testSignal(44100, 0.5), 1, 44100);
    writeAudio(silent, std::vector<float>(22050, 0.0f), 1, 44100);
    HostRun json = runHost({"analyze", odd, silent, lib + "/voice", "--json"}, dir);
    HostRun csv = runHost({"analyze", odd, silent, lib + "/voice", "--csv"}, dir);
    ASSERT_EQ(json.code, 0) << json.err;
    ASSERT_EQ(csv.code, 0) << csv.err;
    const auto doc = nlohmann::ordered_json::parse(json.out);
    ASSERT_EQ(doc["files"].size(), 4u);
    EXPECT_EQ(doc["files"][0]["file"], odd);
    EXPECT_TRUE(doc["files"][1]["integrated_lufs"].is_null());
    EXPECT_EQ(doc["total"]["files"], 4);
    // One line per file and for the total, members in a fixed order.
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 9);
    EXPECT_NE(json.out.find("    {\"file\": \"" + dir.path() + "/odd \\\"name\\\",\\ttab\\u0001.wav\", \"status\": \"ok\", "
                            "\"sample_rate\": 44100, \"channels\": 1, \"duration_s\": 0.500, \"integrated_lufs\": "),
              std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"duration_s\": 0.500, \"integrated_lufs\": null, \"loudness_range_lu\": 0.00, "
                            "\"true_peak_dbtp\": null, \"sample_peak_dbfs\": null}"), std::string::npos) << json.out;
    // The CSV holds the same figures, -inf for null.
    std::istringstream rows(csv.out);
    std::string row;
    std::getline(rows, row);
    EXPECT_EQ(row, "file,status,sample_rate,channels,duration_s,integrated_lufs,loudness_range_lu,true_peak_dbtp,sample_peak_dbfs");
    std::getline(rows, row);
    EXPECT_EQ(row.rfind("\"" + dir.path() + "/odd \"\"name\"\",\ttab\x01.wav\",ok,44100,1,0.500,", 0), 0u) << row;
    for (const auto& f : doc["files"]) {
        if (&f != &doc["files"][0]) std::getline(rows, row);
        char expected[128];
        const auto figure = [](const nlohmann::ordered_json& v) { return v.is_null() ? -INFINITY : v.get<double>(); };
        std::snprintf(expected, sizeof expected, ",%.3f,%.2f,%.2f,%.2f,%.2f", figure(f["duration_s"]),
                      figure(f["integrated_lufs"]), figure(f["loudness_range_lu"]), figure(f["true_peak_dbtp"]),
                      figure(f["sample_peak_dbfs"]));
        const std::string want = expected;  // -inf where JSON has null
        EXPECT_EQ(row.substr(row.size() - std::min(row.size(), want.size())), want) << row;
    }

    // The total's name is never cut, however short the files' names.
    HostRun table = runHost({"analyze", "speech.wav"}, dir, {"", "", 0, "", lib});
    ASSERT_EQ(table.code, 0) << table.err;
    EXPECT_NE(table.out.find("\ntotal (1 file)  "), std::string::npos) << table.out;
}

TEST_F(PlumbraLibrary, BatchReportKeepsEveryFileInOrderWithItsOutcome)
{
    writeAudio(dir / "three.wav", std::vector<float>(3000, 0.1f), 3, 44100);
    HostRun r = runHost({"render", dir / "three.wav", lib + "/speech.wav", dir / "gone.wav", "-o", dir / "out", "--report-json", "-"}, dir);
    EXPECT_EQ(r.code, 8) << r.err;
    EXPECT_EQ(r.out.rfind("{\n  \"files\": [\n    {\n      \"status\": \"failed\",\n      \"input\": {\n        \"file\": ", 0), 0u) << r.out;
    const auto doc = nlohmann::ordered_json::parse(r.out);
    auto keys = [](const nlohmann::ordered_json& o) {
        std::string k;
        for (auto it = o.begin(); it != o.end(); ++it) k += it.key() + " ";
        return k;
    };
    ASSERT_EQ(doc["files"].size(), 3u);
    EXPECT_EQ(keys(doc["files"][0]), "status input output reason ");
    EXPECT_EQ(doc["files"][0]["output"]["file"], dir / "out/three.wav");
    EXPECT_EQ(keys(doc["files"][1]), "status plugin input output latency_samples latency_compensated block_size "
                                     "non_finite_samples elapsed_s speed_x_realtime tags tags_dropped parameters ");
    EXPECT_EQ(keys(doc["files"][1]["input"]["loudness"]), "integrated_lufs loudness_range_lu true_peak_dbtp frames duration_s ");
    EXPECT_EQ(doc["files"][2]["reason"], "cannot open " + dir / "gone.wav" + ": No such file or directory");
    EXPECT_EQ(keys(doc["summary"]), "files rendered skipped failed jobs elapsed_s audio_s ");
    EXPECT_EQ(doc["summary"]["failed"], 2);
    EXPECT_NE(r.out.find("\"audio_s\": 0.800\n  }\n}\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"duration_s\": 0.800\n"), std::string::npos) << r.out;
    // The table (on standard error, as standard output holds the JSON) reads the same report.
    const size_t row = r.err.find("\n" + dir / "gone.wav" + " ");
    ASSERT_NE(row, std::string::npos) << r.err;
    const std::string line = r.err.substr(row + 1, r.err.find('\n', row + 1) - row - 1);
    EXPECT_EQ(line.find_first_not_of(' ', (dir / "gone.wav").size()), line.size() - 6) << line;
    EXPECT_EQ(line.substr(line.size() - 6), "failed");
    EXPECT_NE(r.err.find("3 files: 1 rendered, 0 skipped, 2 failed;"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("plumbra: 2 of 3 files failed: " + dir / "three.wav" + ", " + dir / "gone.wav"), std::string::npos);
}

// ---- demo ---------------------------------------------------------------------------

TEST(PlumbraDemo, RendersAreBitIdenticalAndTheProgrammeHasItsPassages)
{
    TempDir dir;
    ASSERT_EQ(runHost({"render", "--demo", dir / "a.wav", "--demo-length", "1", "--format", "float", "--quiet"}, dir).code, 0);
    ASSERT_EQ(runHost({"render", "--demo", dir / "b.wav", "--demo-length", "1", "--format", "float", "--quiet"}, dir).code, 0);
    const Audio a = readAudio(dir / "a.wav"), b = readAudio(dir / "b.wav");
    ASSERT_EQ(a.frames, 44100);
    EXPECT_TRUE(bitEqual(a.data, b.data));

    // The unprocessed programme: 30 s, with a loud passage, a quiet one and a near-silent pause.
    ASSERT_EQ(runHost({"demo", dir / "dry.wav", "--format", "float"}, dir).code, 0);
    const Audio dry = readAudio(dir / "dry.wav");
    ASSERT_EQ(dry.frames, 30 * 44100);
    auto peakDb = [&](double from, double to) {
        float p = 0;
        for (auto i = static_cast<size_t>(from * 44100); i < static_cast<size_t>(to * 44100); ++i)
            p = std::max(p, std::fabs(dry.data[i]));
        return 20 * std::log10(std::max(p, 1e-10f));
    };
    EXPECT_NEAR(peakDb(0.0, 6.0), -16.0, 0.1);   // quiet speech
    EXPECT_NEAR(peakDb(6.0, 12.0), -3.0, 0.1);   // loud speech
    EXPECT_LT(peakDb(12.1, 13.9), -55.0);        // pause
    EXPECT_NEAR(peakDb(14.0, 20.0), -2.0, 0.1);  // loud bright music
    EXPECT_NEAR(peakDb(20.0, 26.0), -22.0, 0.1); // quiet dull music
}

// ---- meters: the engine linked in -------------------------------------------

// The lines of a JSON-lines file, each parsed.
std::vector<nlohmann::ordered_json> jsonLines(const std::string& path)
{
    std::vector<nlohmann::ordered_json> lines;
    std::istringstream in(slurp(path));
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::ordered_json::parse(line));
    return lines;
}

TEST(PlumbraMeters, TheEngineDrivenDirectlyEqualsThePluginBitForBit)
{
    // Same settings through both: the plug-in by normalised values that land exactly on
    // 8000 Hz, 6 dB and on, the engine by the same values in their units.
    const int rate = 48000;
    const auto x = testSignal(rate, 0.8);
    int latency = 0;
    const auto direct = processDirect(x, rate, {{5, 0.5f}, {0, 0.25f}, {18, 1.0f}}, &latency);

    plumbra::host::Engine engine(rate);
    EXPECT_EQ(engine.latency(), latency);
    for (const char* s : {"Lowpass Filter=8000", "band 1 level db=6", "18=on"}) EXPECT_TRUE(engine.set(s).ok()) << s;
    EXPECT_EQ(engine.set("Lowpass Filter=100").code, plumbra::host::kExitParameter);  // below its range
    EXPECT_EQ(engine.set("DNR LPF Disable=maybe").code, plumbra::host::kExitParameter);
    EXPECT_EQ(engine.set("No Such Control=1").code, plumbra::host::kExitParameter);
    EXPECT_EQ(engine.set("19=1").code, plumbra::host::kExitParameter);
    EXPECT_EQ(engine.set("Lowpass Filter").code, plumbra::host::kExitParameter);
    const auto texts = engine.controlTexts();
    ASSERT_EQ(texts.size(), 19u);
    EXPECT_EQ(texts[5], std::make_pair(std::string("Lowpass Filter"), std::string("8000")));
    EXPECT_EQ(texts[18].second, "on");
    EXPECT_EQ(texts[9].second, "0.7");  // a default the control's step shows

    // Blocks of uneven sizes: the output does not depend on them.
    std::vector<float> in(x), out;
    in.resize(x.size() + static_cast<size_t>(latency), 0.0f);
    std::vector<float> zero(5000, 0.0f), l(5000), r(5000);
    uint64_t blocks = 0;
    for (size_t pos = 0, k = 0; pos < in.size(); ++k) {
        const int n = static_cast<int>(std::min<size_t>(k % 2 ? 4800 : 333, in.size() - pos));
        float* ins[2] = {in.data() + pos, zero.data()};
        float* outs[2] = {l.data(), r.data()};
        engine.process(ins, outs, n);
        for (int i = 0; i < n; ++i) out.insert(out.end(), {l[static_cast<size_t>(i)], r[static_cast<size_t>(i)]});
        pos += static_cast<size_t>(n);
        ++blocks;
        EXPECT_EQ(engine.meters().samples, pos);
    }
    EXPECT_EQ(engine.meters().block, blocks);
    EXPECT_TRUE(bitEqual(out, direct)) << "the engine's audio differs from the plug-in's";
}

TEST(PlumbraMeters, RendersWithMetersGiveThePluginRendersAudioBitForBit)
{
    // The plug-in path (no --meters) against the engine path (--meters), with the same
    // settings from --set and a preset, compensated and raw, mono and stereo, at a rate
    // whose 100 ms blocks divide neither the delay nor the input.
    TempDir dir;
    const int rate = 22050;
    const auto x = testSignal(rate, 1.23);
    std::vector<float> stereo;
    for (size_t i = 0; i < x.size(); ++i) stereo.insert(stereo.end(), {x[i], 0.5f * x[x.size() - 1 - i]});
    writeAudio(dir / "mono.wav", x, 1, rate);
    writeAudio(dir / "stereo.wav", stereo, 2, rate);
    {
        std::ofstream preset(dir / "p.txt");
        preset << "# settings\nMaster Noisegate Gain=30\nDisable WRMI EQ=on\n";
    }
    const std::vector<std::string> settings = {"--preset", dir / "p.txt", "--set", "Lowpass Filter=12000",
                                               "--set", "Band 1 Level dB=12", "--set", "16=-40", "--quiet"};
    for (const char* input : {"mono.wav", "stereo.wav"})
        for (bool raw : {false, true}) {
            std::vector<std::string> plugin = {"render", dir / input, dir / "plugin.wav"}, engine = {"render", dir / input, dir / "engine.wav", "--meters", dir / "m.jsonl"};
            plugin.insert(plugin.end(), settings.begin(), settings.end());
            engine.insert(engine.end(), settings.begin(), settings.end());
            if (raw) plugin.push_back("--raw-latency"), engine.push_back("--raw-latency");
            HostRun a = runHost(plugin, dir), b = runHost(engine, dir);
            ASSERT_EQ(a.code, 0) << a.err;
            ASSERT_EQ(b.code, 0) << b.err;
            const Audio pa = readAudio(dir / "plugin.wav"), ea = readAudio(dir / "engine.wav");
            ASSERT_EQ(ea.frames, static_cast<int64_t>(x.size())) << input << (raw ? " raw" : "");
            EXPECT_EQ(ea.format, pa.format);
            EXPECT_TRUE(bitEqual(pa.data, ea.data)) << input << (raw ? " raw" : " compensated");
        }
    // The settings reached the engine: without them its output differs.
    ASSERT_EQ(runHost({"render", dir / "mono.wav", dir / "plain.wav", "--meters", dir / "m.jsonl", "--quiet"}, dir).code, 0);
    EXPECT_FALSE(bitEqual(readAudio(dir / "plain.wav").data, readAudio(dir / "plugin.wav").data));
    // And matches the plug-in driven through its entry point at defaults, compensated.
    int latency = 0;
    const auto direct = processDirect(x, rate, {}, &latency);
    EXPECT_TRUE(bitEqual(readAudio(dir / "plain.wav").data, frames(direct, static_cast<size_t>(latency), x.size())));
}

TEST(PlumbraMeters, JsonLinesHaveALinePer100MsWithEveryMeterInTableOrderAndTheBlocksInputPeak)
{
    TempDir dir;
    const int rate = 44100;
    const auto x = testSignal(rate, 1.55);  // 15 whole blocks of 4410 and one of 2205
    writeAudio(dir / "in.wav", x, 1, rate);
    HostRun r = runHost({"render", dir / "in.wav", dir / "out.wav", "--meters", dir / "m.jsonl", "--quiet"}, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    const auto lines = jsonLines(dir / "m.jsonl");
    ASSERT_EQ(lines.size(), 16u);
    const int block = rate / 10;
    for (size_t k = 0; k < lines.size(); ++k) {
        const auto& line = lines[k];
        ASSERT_EQ(line.size(), plumbra::kMeterDefinitions.size() + 1);
        auto it = line.begin();
        EXPECT_EQ(it.key(), "t_s");
        const size_t end = std::min(x.size(), (k + 1) * static_cast<size_t>(block));
        EXPECT_DOUBLE_EQ(it.value().get<double>(), static_cast<double>(end) / rate) << "line " << k;
        for (const auto& m : plumbra::kMeterDefinitions) {
            ++it;
            EXPECT_EQ(it.key(), m.symbolText());
            EXPECT_TRUE(it.value().is_number()) << it.key();
        }
        // The input peak is the peak of the programme's samples in that block: the
        // line's time is the input time of the block's end.
        float peak = 0;
        for (size_t i = k * static_cast<size_t>(block); i < end; ++i) peak = std::max(peak, std::fabs(x[i]));
        EXPECT_NEAR(line["input_peak"].get<double>(), 20 * std::log10(std::max(peak, 1e-6f)), 0.01) << "line " << k;
        for (int b = 1; b <= 12; ++b) {
            const std::string band = "band_" + std::to_string(b) + "_";
            EXPECT_LE(line[band + "gain_low"].get<double>(), line[band + "gain_high"].get<double>());
            EXPECT_GE(line[band + "gate"].get<double>(), 0.0);
            EXPECT_LE(line[band + "gate"].get<double>(), 1.0);
        }
    }
    EXPECT_EQ(lines.back()["t_s"].get<double>(), 1.55);
}

TEST(PlumbraMeters, ReportSummarisesEachBandFromTheLinesAndIsUnchangedWithoutMeters)
{
    TempDir dir;
    const auto x = testSignal(48000, 2.0);
    writeAudio(dir / "in.wav", x, 1, 48000);
    HostRun r = runHost({"render", dir / "in.wav", dir / "out.wav", "--meters", dir / "m.jsonl", "--report-json", dir / "r.json"}, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    const auto lines = jsonLines(dir / "m.jsonl");
    ASSERT_EQ(lines.size(), 20u);
    const auto report = nlohmann::ordered_json::parse(slurp(dir / "r.json"));
    ASSERT_TRUE(report.contains("bands"));
    ASSERT_EQ(report["bands"].size(), 12u);
    EXPECT_EQ(report["block_size"], 4800);
    EXPECT_EQ(report["latency_samples"], 3552);
    EXPECT_EQ(report["parameters"].size(), 19u);
    bool someGateClosed = false, someGateOpen = false;
    for (int b = 1; b <= 12; ++b) {
        const std::string key = "band_" + std::to_string(b) + "_";
        std::vector<double> g;
        double change = 0, closed = 0;
        for (const auto& line : lines) {
            g.push_back(0.5 * (line[key + "gain_low"].get<double>() + line[key + "gain_high"].get<double>()));
            if (g.size() > 1) change = std::max(change, std::fabs(g.back() - g[g.size() - 2]));
            closed += line[key + "gate"].get<double>() < 0.70710678 ? 1 : 0;
        }
        std::sort(g.begin(), g.end());
        const auto& s = report["bands"][static_cast<size_t>(b - 1)];
        EXPECT_EQ(s["band"], b);
        EXPECT_NEAR(s["gain_median_db"].get<double>(), g[9], 0.0051) << "band " << b;  // rank ceil(0.5 * 20)
        EXPECT_NEAR(s["gain_p95_db"].get<double>(), g[18], 0.0051) << "band " << b;    // rank ceil(0.95 * 20)
        EXPECT_NEAR(s["gain_largest_change_db"].get<double>(), change, 0.0051) << "band " << b;
        EXPECT_NEAR(s["gate_closed_percent"].get<double>(), 100 * closed / 20, 0.0051) << "band " << b;
        someGateClosed = someGateClosed || closed > 0;
        someGateOpen = someGateOpen || closed < 20;
        // The text report has the same row.
        char row[96];
        std::snprintf(row, sizeof row, "\n%-10d %8.2f %8.2f ", b, s["gain_median_db"].get<double>(), s["gain_p95_db"].get<double>());
        EXPECT_NE(r.out.find(row), std::string::npos) << row;
    }
    EXPECT_TRUE(someGateOpen);
    EXPECT_NE(r.out.find("\nbands "), std::string::npos);

    // Without --meters: the plug-in's report, with neither the bands nor their table.
    HostRun plain = runHost({"render", dir / "in.wav", dir / "out.wav", "--report-json", dir / "p.json"}, dir);
    ASSERT_EQ(plain.code, 0) << plain.err;
    const auto p = nlohmann::ordered_json::parse(slurp(dir / "p.json"));
    std::vector<std::string> keys;
    for (auto it = p.begin(); it != p.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"plugin", "input", "output", "latency_samples", "latency_compensated",
                                              "block_size", "non_finite_samples", "elapsed_s", "speed_x_realtime", "tags",
                                              "tags_dropped", "parameters"}));
    EXPECT_EQ(plain.out.find("bands"), std::string::npos);
    // The same parameter values, as each path writes them.
    EXPECT_EQ(p["parameters"], report["parameters"]);
}

TEST(PlumbraMeters, PlotGainsTheBandPanelOnlyWithMetersAndKeepsTheLoudnessPanel)
{
    TempDir dir;
    const auto x = testSignal(44100, 4.0);
    writeAudio(dir / "in.wav", x, 1, 44100);
    ASSERT_EQ(runHost({"render", dir / "in.wav", dir / "a.wav", "--plot", dir / "plain.svg", "--quiet"}, dir).code, 0);
    ASSERT_EQ(runHost({"render", dir / "in.wav", dir / "b.wav", "--plot", dir / "bands.svg", "--meters", dir / "m.jsonl", "--quiet"}, dir).code, 0);
    const std::string plain = slurp(dir / "plain.svg"), bands = slurp(dir / "bands.svg");
    EXPECT_EQ(plain.find("Band gain"), std::string::npos);
    EXPECT_NE(plain.find("height=\"520.0\""), std::string::npos);
    ASSERT_NE(bands.find("Band gain"), std::string::npos);
    // The loudness panel is the plain plot's, byte for byte: only the height grows.
    std::string top = bands.substr(0, bands.find("<text x=\"70.0\" y=\"544.0\""));
    const auto h = top.find("height=\"852.0\" viewBox=\"0 0 1000.0 852.0\"");
    ASSERT_NE(h, std::string::npos);
    top.replace(h, 41, "height=\"520.0\" viewBox=\"0 0 1000.0 520.0\"");
    EXPECT_EQ(top + "</svg>\n", plain);
    // Twelve labelled rows of 40 columns (one per 100 ms line) and the scale's labels in dB.
    size_t cells = 0;
    for (size_t at = 0; (at = bands.find("height=\"20.0\" fill=\"#", at)) != std::string::npos; ++at) ++cells;
    EXPECT_EQ(cells, 12u * 40u);
    // A cell is faded (every channel of its colour at 0x99 or more; the scale's own colours
    // always have one below) exactly where that line's gate reads closed.
    size_t faded = 0, closed = 0;
    for (size_t at = 0; (at = bands.find("height=\"20.0\" fill=\"#", at)) != std::string::npos; ++at) {
        const std::string hex = bands.substr(at + 21, 6);
        bool pale = true;
        for (int c = 0; c < 3; ++c) pale = pale && std::stoi(hex.substr(2 * static_cast<size_t>(c), 2), nullptr, 16) >= 0x99;
        faded += pale ? 1 : 0;
    }
    for (const auto& line : jsonLines(dir / "m.jsonl"))
        for (int b = 1; b <= 12; ++b) closed += line["band_" + std::to_string(b) + "_gate"].get<double>() < 0.70710678 ? 1 : 0;
    EXPECT_EQ(faded, closed);
    EXPECT_GT(closed, 0u);
    EXPECT_LT(closed, 12u * 40u);
    EXPECT_NE(bands.find(" dB</text>"), std::string::npos);
    for (int b = 1; b <= 12; ++b) EXPECT_NE(bands.find(">" + std::to_string(b) + "</text>"), std::string::npos);
}

TEST(PlumbraMeters, CommandLineRefusesWhatTheEnginePathCannotDoAndChecksSettingsAlike)
{
    TempDir dir;
    writeAudio(dir / "in.wav", testSignal(44100, 0.3), 1, 44100);
    const std::string in = dir / "in.wav", out = dir / "out.wav", m = dir / "m.jsonl";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"render", in, out, "--meters", m, "--plugin", plumbra::test::kPluginPath},
             {"render", in, out, "--meters", m, "--block-size", "512"},
             {"render", in, out, "--meters", "-"},
             {"render", in, "-o", dir / "batch", "--meters", m},
             {"analyze", in, "--meters", m}}) {
        HostRun r = runHost(args, dir);
        EXPECT_EQ(r.code, 2) << args.back();
        EXPECT_EQ(r.errLines(), 1) << r.err;
    }
    // A bad setting fails alike on both paths, and nothing is written.
    for (const char* bad : {"No Such Control=1", "Lowpass Filter=99999", "DNR LPF Disable=maybe", "Lowpass Filter"}) {
        HostRun a = runHost({"render", in, out, "--set", bad}, dir);
        HostRun b = runHost({"render", in, out, "--set", bad, "--meters", m}, dir);
        EXPECT_EQ(a.code, 3) << bad;
        EXPECT_EQ(b.code, 3) << bad;
        if (std::string(bad).rfind("No Such", 0) == 0) {
            EXPECT_EQ(a.err, b.err);
        }
    }
    EXPECT_TRUE(dir.entries().empty() || dir.entries() == std::vector<std::string>{"in.wav"});
}

}  // namespace

#else

TEST(Plumbra, NotBuiltHere)
{
    GTEST_SKIP() << "the plumbra host is not built for this toolchain";
}

#endif
