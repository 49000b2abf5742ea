// The ALSA device against PCMs this test defines itself: file PCMs over null
// PCMs (capture reads a raw file, playback writes one), a linear PCM in front
// that offers only integer samples, and a multi PCM that offers one channel.
// The null PCM is not clocked, so a run takes milliseconds.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <vector>

#include "host/devices/alsa.h"
#ifdef PLUMBRA_HOST_PATH
#include "host/engine/engine.h"
#endif
#include "support/counting_new.h"

namespace {

namespace fs = std::filesystem;
using namespace plumbra::host::devices;

using plumbra::test::allocationsSoFar;

fs::path testDir()
{
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("plumbra_alsa_test_" + std::to_string(::getpid()));
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

// The test's own ALSA configuration, replacing the system's.
void writeConfig()
{
    const std::string d = testDir().string();
    std::ofstream(testDir() / "asoundrc") << "pcm.float_in { type file slave.pcm { type null } file \"/dev/null\" infile \"" << d
                                            << "/in.raw\" format \"raw\" }\n"
                                            << "pcm.float_out { type file slave.pcm { type null } file \"" << d
                                            << "/out.raw\" format \"raw\" }\n"
                                            << "pcm.s16_in { type linear slave { pcm \"float_in\" format S16_LE } }\n"
                                            << "pcm.s16_out { type linear slave { pcm \"float_out\" format S16_LE } }\n"
                                            << "pcm.mono_in { type multi slaves.a { pcm \"s16_in\" channels 1 } "
                                               "bindings.0 { slave a channel 0 } }\n"
                                            << "pcm_type.plumbra_fault { lib \"" PLUMBRA_ALSA_FAULT_PCM "\" }\n"
                                            << "pcm.xrun_in { type plumbra_fault xrun_at 2560 }\n"
                                            << "pcm.lost_in { type plumbra_fault lost_at 2560 }\n"
                                            << "pcm.clocked_in { type plumbra_fault clocked 1 infile \"" << d << "/fed.raw\" }\n";
    ::setenv("ALSA_CONFIG_PATH", (testDir() / "asoundrc").c_str(), 1);
}

template <class T>
void writeRaw(const std::vector<T>& v)
{
    std::ofstream(testDir() / "in.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(T)));
    fs::remove(testDir() / "out.raw");
}

template <class T>
std::vector<T> readOut()
{
    std::ifstream f(testDir() / "out.raw", std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<T> v(bytes.size() / sizeof(T));
    std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
    return v;
}

// Copies the input to the output (the right output gets the right input, or the
// left one negated when there is none) times a power of two, exactly, and keeps
// what it was given. Once it has seen `enough` periods it slows the unclocked
// device down until the test stops it.
class Recorder final : public Callback {
public:
    Recorder(float gain, std::size_t enoughPeriods, int period) : gain_(gain), enough_(enoughPeriods)
    {
        left.reserve(enoughPeriods * static_cast<std::size_t>(period));
        right.reserve(enoughPeriods * static_cast<std::size_t>(period));
    }

    void process(const Period& p) noexcept override
    {
        if (periods.load() == 0) {
            firstFrames = p.frames;
            rightConnected = p.programmeRightConnected;
            rightNull = p.in[kProgrammeRight] == nullptr;
            backupNull = p.in[kBackupLeft] == nullptr && p.in[kBackupRight] == nullptr && !p.backupConnected;
        }
        if (p.frames != firstFrames) unevenPeriods = true;
        if (periods.load() == 5) allocationsAt5 = allocationsSoFar();
        if (periods.load() == 25) allocationsAt25 = allocationsSoFar();
        for (int i = 0; i < p.frames; ++i) {
            const float l = p.in[kProgrammeLeft][i];
            const float r = p.in[kProgrammeRight] ? p.in[kProgrammeRight][i] : -l;
            if (left.size() < left.capacity()) {
                left.push_back(l);
                right.push_back(r);
            }
            p.out[kOutLeft][i] = l * gain_;
            p.out[kOutRight][i] = r * gain_;
        }
        if (periods.fetch_add(1) + 1 >= enough_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void xrun() noexcept override
    {
        if (xruns.fetch_add(1) == 0) xrunBeforePeriod = periods.load();
    }

    std::vector<float> left, right;
    std::atomic<std::size_t> periods{0};
    std::atomic<int> xruns{0};
    std::size_t xrunBeforePeriod = 0;
    long allocationsAt5 = 0, allocationsAt25 = 0;
    int firstFrames = 0;
    bool unevenPeriods = false;
    bool rightConnected = true;
    bool rightNull = false;
    bool backupNull = false;

private:
    float gain_;
    std::size_t enough_;
};

// Runs until the recorder has seen `periods` periods.
void runUntil(Device& device, Recorder& rec, std::size_t periods)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (rec.periods.load() < periods && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(device.alive());
    device.stop();
    EXPECT_FALSE(device.alive());
    ASSERT_GE(rec.periods.load(), periods);
}

class Alsa : public ::testing::Test {
protected:
    static void SetUpTestSuite() { writeConfig(); }
    static void TearDownTestSuite() { fs::remove_all(testDir()); }
};

// The callback's input, period by period, must be whole runs of the file's
// frames in order. Under a plugin PCM the unclocked null PCM runs ahead of the
// reader and frames between periods are lost (as in an overrun that nobody
// reports), so the runs may skip forward from one period to the next; the file
// PCM read directly loses nothing. Checks the first `periods` periods; returns
// the number of frames skipped.
template <class Index>
std::size_t expectRunsOfTheFile(const Recorder& rec, int period, std::size_t periods, Index indexOf)
{
    std::size_t skipped = 0;
    long next = 0;
    for (std::size_t p = 0; p < periods; ++p) {
        const std::size_t at = p * static_cast<std::size_t>(period);
        const long first = indexOf(rec.left[at]);
        EXPECT_GE(first, next) << "period " << p;
        skipped += static_cast<std::size_t>(first - next);
        for (int i = 0; i < period; ++i)
            EXPECT_EQ(indexOf(rec.left[at + static_cast<std::size_t>(i)]), first + i) << "period " << p << " frame " << i;
        next = first + period;
    }
    return skipped;
}

TEST_F(Alsa, FloatSamplesComeThroughIntactInOrderAtThePeriod)
{
    constexpr int kFrames = 10000;
    std::vector<float> in(2 * kFrames);
    for (int i = 0; i < kFrames; ++i) {
        in[2 * i] = static_cast<float>(i + 1) / 16384.0f;  // every frame different
        in[2 * i + 1] = -static_cast<float>(i + 1) / 65536.0f;
    }
    writeRaw(in);

    auto device = makeAlsaDevice("float_in", "float_out", 0, 0);
    const std::size_t enough = kFrames / 256 + 4;
    Recorder rec(0.5f, enough, 256);
    const auto started = device->start(rec);
    ASSERT_TRUE(started.ok()) << started.reason;
    EXPECT_EQ(device->rate(), 48000);
    EXPECT_EQ(device->period(), 256);
    EXPECT_NE(device->describe().find("float"), std::string::npos) << device->describe();
    runUntil(*device, rec, enough);

    EXPECT_EQ(rec.firstFrames, 256);
    EXPECT_FALSE(rec.unevenPeriods);
    EXPECT_TRUE(rec.rightConnected);
    EXPECT_TRUE(rec.backupNull);
    EXPECT_EQ(rec.xruns.load(), 0);
    // Running, the loop (alsa-lib's reads and writes included) allocates nothing.
    EXPECT_EQ(rec.allocationsAt25 - rec.allocationsAt5, 0);
    // The callback saw the whole file, frame by frame, both channels.
    for (std::size_t i = 0; i < static_cast<std::size_t>(kFrames); ++i) {
        ASSERT_EQ(rec.left[i], in[2 * i]) << "frame " << i;
        ASSERT_EQ(rec.right[i], in[2 * i + 1]) << "frame " << i;
    }

    // The output: two periods of silence written ahead, then every period the
    // callback produced, whole.
    const std::vector<float> out = readOut<float>();
    ASSERT_EQ(out.size() / 2, (2 + rec.periods.load()) * 256);
    for (std::size_t i = 0; i < 512; ++i) ASSERT_EQ(out[i], 0.0f) << i;
    for (std::size_t i = 0; i < rec.left.size(); ++i) {
        ASSERT_EQ(out[2 * (512 + i)], 0.5f * rec.left[i]) << "frame " << i;
        ASSERT_EQ(out[2 * (512 + i) + 1], 0.5f * rec.right[i]) << "frame " << i;
    }
}

TEST_F(Alsa, IntegerDevicesAndOtherRatesAndPeriods)
{
    // Devices without float samples: 32-bit samples are negotiated, which the
    // linear PCMs turn into the files' 16-bit ones. 16-bit values pass exactly.
    constexpr int kFrames = 3000;
    std::vector<int16_t> in(2 * kFrames);
    for (int i = 0; i < kFrames; ++i) {
        in[2 * i] = static_cast<int16_t>(i * 7 - 10000);
        in[2 * i + 1] = static_cast<int16_t>(12000 - i * 5);
    }
    writeRaw(in);

    auto device = makeAlsaDevice("s16_in", "s16_out", 44100, 100);
    const std::size_t enough = 20;
    Recorder rec(1.0f, enough, 100);
    const auto started = device->start(rec);
    ASSERT_TRUE(started.ok()) << started.reason;
    EXPECT_EQ(device->rate(), 44100);
    EXPECT_EQ(device->period(), 100);
    EXPECT_NE(device->describe().find("32-bit"), std::string::npos) << device->describe();
    runUntil(*device, rec, enough);

    EXPECT_EQ(rec.firstFrames, 100);
    EXPECT_FALSE(rec.unevenPeriods);
    auto indexOf = [](float v) { return std::lround((v * 32768.0f + 10000.0f) / 7.0f); };
    expectRunsOfTheFile(rec, 100, 5, indexOf);
    for (std::size_t p = 0; p < 5; ++p) {
        const long k = indexOf(rec.left[p * 100]);
        EXPECT_EQ(rec.left[p * 100], in[static_cast<std::size_t>(2 * k)] / 32768.0f);
        EXPECT_EQ(rec.right[p * 100], in[static_cast<std::size_t>(2 * k + 1)] / 32768.0f);
    }
    const std::vector<int16_t> out = readOut<int16_t>();
    ASSERT_EQ(out.size() / 2, (2 + rec.periods.load()) * 100);
    for (std::size_t i = 0; i < 400; ++i) ASSERT_EQ(out[i], 0) << i;
    for (std::size_t i = 0; i < rec.left.size(); ++i) {
        ASSERT_EQ(out[2 * (200 + i)], std::lround(rec.left[i] * 32768.0f)) << i;
        ASSERT_EQ(out[2 * (200 + i) + 1], std::lround(rec.right[i] * 32768.0f)) << i;
    }
}

TEST_F(Alsa, OneChannelCaptureIsTheLeftInputAlone)
{
    constexpr int kFrames = 4000;
    std::vector<int16_t> in(kFrames);
    for (int i = 0; i < kFrames; ++i) in[static_cast<std::size_t>(i)] = static_cast<int16_t>(3 * i + 1);
    writeRaw(in);

    auto device = makeAlsaDevice("mono_in", "float_out", 0, 128);
    Recorder rec(1.0f, 10, 128);
    const auto started = device->start(rec);
    ASSERT_TRUE(started.ok()) << started.reason;
    EXPECT_NE(device->describe().find("mono capture"), std::string::npos) << device->describe();
    runUntil(*device, rec, 10);

    EXPECT_FALSE(rec.rightConnected);
    EXPECT_TRUE(rec.rightNull);
    expectRunsOfTheFile(rec, 128, 5, [](float v) { return std::lround((v * 32768.0f - 1.0f) / 3.0f); });
    const std::vector<float> out = readOut<float>();
    ASSERT_EQ(out.size() / 2, (2 + rec.periods.load()) * 128);
    for (std::size_t i = 0; i < rec.left.size(); ++i) ASSERT_EQ(out[2 * (256 + i)], rec.left[i]) << i;
}

// The fault PCM counts its frames up: left k/2^20, right the negative.
float counted(std::size_t k) { return static_cast<float>(k + 1) / 1048576.0f; }

TEST_F(Alsa, AnXrunIsReportedAndBothSidesRestartAligned)
{
    fs::remove(testDir() / "out.raw");
    auto device = makeAlsaDevice("xrun_in", "float_out", 0, 256);
    Recorder rec(0.5f, 30, 256);
    const auto started = device->start(rec);
    ASSERT_TRUE(started.ok()) << started.reason;
    runUntil(*device, rec, 30);

    // The PCM failed after its tenth period; the callback heard of it before
    // the next one, and the audio went on.
    EXPECT_EQ(rec.xruns.load(), 1);
    EXPECT_EQ(rec.xrunBeforePeriod, 10u);
    EXPECT_FALSE(rec.unevenPeriods);
    for (std::size_t i = 0; i < rec.left.size(); ++i) {
        ASSERT_EQ(rec.left[i], counted(i)) << i;
        ASSERT_EQ(rec.right[i], -counted(i)) << i;
    }
    // The output: silence ahead, ten periods, silence ahead again, the rest.
    const std::vector<float> out = readOut<float>();
    const std::size_t periods = rec.periods.load();
    ASSERT_EQ(out.size() / 2, (4 + periods) * 256);
    std::size_t k = 0;
    for (std::size_t i = 0; i < out.size() / 2; ++i) {
        const bool ahead = i < 512 || (i >= 512 + 2560 && i < 1024 + 2560);
        ASSERT_EQ(out[2 * i], ahead ? 0.0f : 0.5f * counted(k)) << i;
        ASSERT_EQ(out[2 * i + 1], ahead ? 0.0f : -0.5f * counted(k)) << i;
        if (!ahead) ++k;
    }
}

TEST_F(Alsa, ALostDeviceEndsTheThreadAndStartsAgainWhenBack)
{
    auto device = makeAlsaDevice("lost_in", "float_out", 0, 256);
    Recorder rec(1.0f, 100, 256);
    for (int round = 1; round <= 2; ++round) {
        const auto started = device->start(rec);
        ASSERT_TRUE(started.ok()) << started.reason;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (device->alive() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_FALSE(device->alive());
        // The device went away after ten periods, each of which came through.
        EXPECT_EQ(rec.periods.load(), 10u * static_cast<std::size_t>(round));
        device->stop();
    }
    EXPECT_EQ(rec.xruns.load(), 0);
    for (std::size_t i = 0; i < 2560; ++i) {
        ASSERT_EQ(rec.left[i], counted(i)) << i;
        ASSERT_EQ(rec.left[2560 + i], counted(i)) << i;  // a new device counts from the start
    }
}

TEST_F(Alsa, MissingDevicesFailToStartWithAReason)
{
    Recorder rec(1.0f, 1, 256);
    auto noInput = makeAlsaDevice("no_such_pcm", "float_out", 0, 0);
    const auto a = noInput->start(rec);
    EXPECT_EQ(a.code, plumbra::host::kExitInput);
    EXPECT_NE(a.reason.find("no_such_pcm"), std::string::npos) << a.reason;
    EXPECT_FALSE(noInput->alive());

    writeRaw(std::vector<float>(512, 0.0f));
    auto noOutput = makeAlsaDevice("float_in", "no_such_pcm_either", 0, 0);
    const auto b = noOutput->start(rec);
    EXPECT_EQ(b.code, plumbra::host::kExitOutput);
    EXPECT_NE(b.reason.find("no_such_pcm_either"), std::string::npos) << b.reason;
    EXPECT_FALSE(noOutput->alive());
    noOutput->stop();  // idempotent after a failed start
    EXPECT_EQ(rec.periods.load(), 0u);
}

#ifdef PLUMBRA_HOST_PATH
void writeWav(const fs::path& path, const std::vector<float>& stereo)
{
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_float(f, stereo.data(), static_cast<sf_count_t>(stereo.size() / 2));
    sf_close(f);
}

std::vector<float> readWav(const fs::path& path)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f || info.channels != 2) return {};
    std::vector<float> v(static_cast<std::size_t>(info.frames) * 2);
    sf_readf_float(f, v.data(), info.frames);
    sf_close(f);
    return v;
}

std::string run(const std::string& command, const fs::path& errors, int& status)
{
    status = std::system((command + " 2>\"" + errors.string() + "\"").c_str());
    std::ifstream f(errors);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// plumbra live captures from a PCM clocked like a sound card that plays a
// programme after a second of silence. The engine takes the periods before it
// is ready as silence it never processes, so its output is the offline
// engine's for the programme after j silent periods, for some j: found with
// the engine, then confirmed with plumbra render --raw-latency, bit for bit.
TEST_F(Alsa, LiveProgramThroughAlsaEqualsTheOfflineRender)
{
    constexpr int kPeriod = 256, kLead = 187, kFrames = 72000;  // lead: periods of silence
    const double pi = 3.14159265358979323846;
    std::vector<float> prog(2 * kFrames);
    for (int i = 0; i < kFrames; ++i) {
        const double t = static_cast<double>(i) / 48000.0;
        prog[2 * static_cast<std::size_t>(i)] = static_cast<float>(0.3 * std::sin(2 * pi * 220 * t) * (1 + 0.5 * std::sin(2 * pi * 1.3 * t)));
        prog[2 * static_cast<std::size_t>(i) + 1] = static_cast<float>(0.2 * std::sin(2 * pi * 331 * t + 0.4) * (t > 0.7 ? 0.1 : 1.0));
    }
    std::vector<float> fed(2 * static_cast<std::size_t>(kLead * kPeriod), 0.0f);
    fed.insert(fed.end(), prog.begin(), prog.end());
    std::ofstream(testDir() / "fed.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(fed.data()), static_cast<std::streamsize>(fed.size() * sizeof(float)));
    fs::remove(testDir() / "out.raw");

    int status = 0;
    const std::string plumbra = std::string("\"") + PLUMBRA_HOST_PATH + "\"";
    const std::string errors = run(plumbra + " live --alsa-in clocked_in --alsa-out float_out --period 256 --duration 3.5 --quiet --event-log \"" +
                                       (testDir() / "events.log").string() + "\"",
                                   testDir() / "live.err", status);
    for (const char* absent : {"unknown command \"live\"", "unknown option --alsa-in", "not available in this build", "has no ALSA device"})
        if (errors.find(absent) != std::string::npos) GTEST_SKIP() << "plumbra live with ALSA is not in this build: " << errors;
    ASSERT_EQ(status, 0) << errors;
    const std::vector<float> out = readOut<float>();
    const std::size_t lead = 2 * kPeriod;  // the device's silence written ahead
    ASSERT_GE(out.size() / 2, lead + static_cast<std::size_t>(kLead * kPeriod + kFrames));

    // The number of silent periods the engine processed before the programme.
    auto matches = [&](const std::vector<float>& candidate, std::size_t from, std::size_t to, int j) {
        const std::size_t at = lead + static_cast<std::size_t>((kLead - j) * kPeriod);
        return std::memcmp(&out[2 * (at + from)], &candidate[2 * from], (to - from) * 2 * sizeof(float)) == 0;
    };
    int found = -1;
    std::vector<float> engineOut;
    for (int j = kLead; j >= 0 && found < 0; --j) {
        plumbra::host::Engine e(48000);
        std::vector<float> in(kPeriod), l(kPeriod), r(kPeriod);
        float* ins[2] = {in.data(), in.data()};
        float* outs[2] = {l.data(), r.data()};
        engineOut.assign(2 * (static_cast<std::size_t>(j * kPeriod) + kFrames), 0.0f);
        const int periods = j + kFrames / kPeriod + 1;
        const int quick = j + (e.latency() + kPeriod - 1) / kPeriod + 4;
        for (int p = 0; p < periods; ++p) {
            const std::size_t first = static_cast<std::size_t>(p * kPeriod);
            for (int i = 0; i < kPeriod; ++i) {
                const long k = p * kPeriod + i - j * kPeriod;
                in[static_cast<std::size_t>(i)] =
                    k >= 0 && k < kFrames ? (prog[2 * static_cast<std::size_t>(k)] + prog[2 * static_cast<std::size_t>(k) + 1]) * 0.5f : 0.0f;
            }
            e.process(ins, outs, kPeriod);
            for (int i = 0; i < kPeriod && first + static_cast<std::size_t>(i) < engineOut.size() / 2; ++i) {
                engineOut[2 * (first + static_cast<std::size_t>(i))] = l[static_cast<std::size_t>(i)];
                engineOut[2 * (first + static_cast<std::size_t>(i)) + 1] = r[static_cast<std::size_t>(i)];
            }
            if (p + 1 == quick && !matches(engineOut, 0, static_cast<std::size_t>(quick * kPeriod), j)) break;
            if (p + 1 == periods && matches(engineOut, 0, engineOut.size() / 2, j)) found = j;
        }
    }
    ASSERT_GE(found, 0) << "no count of silent periods makes the offline engine's output equal plumbra live's";
    std::printf("plumbra live processed %d silent periods before the programme\n", found);

    // The same through plumbra render.
    std::vector<float> renderIn(2 * static_cast<std::size_t>(found * kPeriod), 0.0f);
    renderIn.insert(renderIn.end(), prog.begin(), prog.end());
    writeWav(testDir() / "render_in.wav", renderIn);
    run(plumbra + " render \"" + (testDir() / "render_in.wav").string() + "\" \"" + (testDir() / "render_out.wav").string() +
            "\" --raw-latency --quiet",
        testDir() / "render.err", status);
    ASSERT_EQ(status, 0);
    const std::vector<float> rendered = readWav(testDir() / "render_out.wav");
    ASSERT_EQ(rendered.size(), renderIn.size());
    EXPECT_TRUE(matches(rendered, 0, rendered.size() / 2, found));
}
#endif

TEST(AlsaFormat, IntegerConversionsRoundClipAndInvert)
{
    using namespace alsa_format;
    // Every 16-bit value survives the trip to float and back.
    std::vector<int16_t> all(65536), back(65536);
    for (int i = 0; i < 65536; ++i) all[static_cast<std::size_t>(i)] = static_cast<int16_t>(i - 32768);
    std::vector<float> f(65536);
    float* chans[1] = {f.data()};
    toFloat(Sample::kS16, all.data(), 1, chans, 65536);
    EXPECT_EQ(f.front(), -1.0f);
    const float* cf[1] = {f.data()};
    fromFloat(Sample::kS16, cf, 1, back.data(), 65536);
    EXPECT_EQ(all, back);

    // Clipping, rounding to the nearest step, NaN as silence; two channels interleaved.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float l[4] = {1.0f, -2.0f, 0.25f + 0.4f / 32768.0f, nan};
    const float r[4] = {-1.0f, 3.0f, -0.6f / 32768.0f, 0.5f};
    const float* lr[2] = {l, r};
    int16_t s16[8];
    fromFloat(Sample::kS16, lr, 2, s16, 4);
    EXPECT_EQ(std::vector<int16_t>(s16, s16 + 8), (std::vector<int16_t>{32767, -32768, -32768, 32767, 8192, -1, 0, 16384}));
    int32_t s32[8];
    fromFloat(Sample::kS32, lr, 2, s32, 4);
    EXPECT_EQ(s32[0], std::numeric_limits<int32_t>::max());
    EXPECT_EQ(s32[1], std::numeric_limits<int32_t>::min());
    EXPECT_EQ(s32[6], 0);
    EXPECT_EQ(s32[7], 1 << 30);
    float back32[2][4];
    float* b32[2] = {back32[0], back32[1]};
    toFloat(Sample::kS32, s32, 2, b32, 4);
    EXPECT_EQ(back32[1][3], 0.5f);
    EXPECT_EQ(back32[0][1], -2.0f / 2.0f);  // clipped at full scale
}

}  // namespace
