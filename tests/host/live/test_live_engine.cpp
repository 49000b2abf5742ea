// The live engine driven directly, period by period, as a device would: the
// feed's mix, silence and failover timing, and controls and meters crossing
// threads while the audio runs (this program runs under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "dsp/control_table.h"
#include "host/engine/engine.h"
#include "host/live/live_engine.h"

namespace {

using plumbra::host::Engine;
using namespace plumbra::host::live;
namespace dev = plumbra::host::devices;
constexpr int kRate = 48000;

// A device of the test's own: fixed channels, one period per call.
struct FakeDevice {
    explicit FakeDevice(int period)
        : frames(period)
        , out(2, std::vector<float>(static_cast<size_t>(period)))
    {
    }
    // Runs one period of programme (left, right) and backup from `at` in the given signals.
    void run(LiveEngine& e, const std::vector<float>& left, const std::vector<float>* right,
             const std::vector<float>* backup, size_t at, bool rightConnected = true)
    {
        dev::Period p;
        p.in[dev::kProgrammeLeft] = left.data() + at;
        p.in[dev::kProgrammeRight] = right ? right->data() + at : nullptr;
        p.programmeRightConnected = rightConnected && right;
        p.in[dev::kBackupLeft] = backup ? backup->data() + at : nullptr;
        p.in[dev::kBackupRight] = backup ? backup->data() + at : nullptr;
        p.backupConnected = backup != nullptr;
        p.out[0] = out[0].data();
        p.out[1] = out[1].data();
        p.frames = frames;
        e.process(p);
    }
    int frames;
    std::vector<std::vector<float>> out;
};

std::vector<float> tone(size_t frames, double hz, float amplitude)
{
    std::vector<float> x(frames);
    for (size_t i = 0; i < frames; ++i)
        x[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * static_cast<double>(i) / kRate));
    return x;
}

std::vector<AudioEvent> drain(LiveEngine& e)
{
    std::vector<AudioEvent> out;
    for (AudioEvent ev; e.events().pop(ev);) out.push_back(ev);
    return out;
}

TEST(LiveEngine, AStereoFeedIsMixedAsRenderDoesAndALeftFeedIsTakenAsItIs)
{
    constexpr int period = 3000;  // longer than a block: split inside the engine
    const std::vector<float> left = tone(4 * period, 300.0, 0.2f), right = tone(4 * period, 710.0, 0.3f);
    for (bool stereo : {true, false}) {
        LiveEngine live(LiveSettings{});
        live.prepare(kRate);
        Engine reference(kRate);
        FakeDevice d(period);
        std::vector<float> in(period), a(period), b(period);
        for (int k = 0; k < 4; ++k) {
            const size_t at = static_cast<size_t>(k * period);
            d.run(live, left, &right, nullptr, at, stereo);
            for (int i = 0; i < period; ++i)
                in[static_cast<size_t>(i)] =
                    stereo ? (left[at + static_cast<size_t>(i)] + right[at + static_cast<size_t>(i)]) * 0.5f
                           : left[at + static_cast<size_t>(i)];
            float* ins[2] = {in.data(), in.data()};
            float* outs[2] = {a.data(), b.data()};
            reference.process(ins, outs, period);
            ASSERT_EQ(std::memcmp(a.data(), d.out[0].data(), sizeof(float) * period), 0)
                << "period " << k << " stereo " << stereo;
            ASSERT_EQ(std::memcmp(b.data(), d.out[1].data(), sizeof(float) * period), 0)
                << "period " << k << " stereo " << stereo;
        }
    }
}

TEST(LiveEngine, FailsOverWithinAPeriodOfTheSilenceTimeAndBackAfterTheFailbackTime)
{
    LiveSettings s;
    s.silenceSeconds = 0.5;
    s.failbackSeconds = 0.25;
    LiveEngine live(s);
    live.prepare(kRate);
    constexpr int period = 512;
    const size_t total = 3 * kRate, quietFrom = kRate / 2, backFrom = 2 * kRate;
    std::vector<float> prog = tone(total, 440.0, 0.1f);
    std::fill(prog.begin() + static_cast<long>(quietFrom), prog.begin() + static_cast<long>(backFrom), 0.0f);
    const std::vector<float> backup = tone(total, 1000.0, 0.1f);
    FakeDevice d(period);
    std::vector<AudioEvent> seen;
    std::vector<OnAir> onAir;
    for (size_t at = 0; at + period <= total; at += period) {
        d.run(live, prog, nullptr, &backup, at);
        for (const auto& e : drain(live)) seen.push_back(e);
        onAir.push_back(live.onAir());
    }
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].type, AudioEventType::kSilenceStart);
    EXPECT_EQ(seen[1].type, AudioEventType::kFailover);
    EXPECT_EQ(seen[2].type, AudioEventType::kSilenceEnd);
    EXPECT_EQ(seen[3].type, AudioEventType::kFailback);
    // Events carry the frame at the start of their period.
    const int64_t silence = static_cast<int64_t>(quietFrom + kRate / 2);
    EXPECT_GT(seen[1].frame + period, silence);
    EXPECT_LE(seen[1].frame, silence);
    const int64_t failback = static_cast<int64_t>(backFrom + kRate / 4);
    EXPECT_GT(seen[3].frame + period, failback);
    EXPECT_LE(seen[3].frame, failback);
    EXPECT_EQ(onAir.back(), OnAir::kProgramme);
    EXPECT_EQ(onAir[static_cast<size_t>(kRate) / period], OnAir::kBackup);
}

TEST(LiveEngine, ASilentOrAbsentBackupNeverGoesOnAir)
{
    LiveSettings s;
    s.silenceSeconds = 0.2;
    for (bool connected : {true, false}) {
        LiveEngine live(s);
        live.prepare(kRate);
        const std::vector<float> silence(kRate, 0.0f);
        FakeDevice d(256);
        for (size_t at = 0; at + 256 <= silence.size(); at += 256)
            d.run(live, silence, nullptr, connected ? &silence : nullptr, at);
        const auto seen = drain(live);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].type, AudioEventType::kSilenceStart);
        EXPECT_EQ(live.onAir(), OnAir::kProgramme);
    }
}

// A processor whose output turns non-finite (here through a control no front end
// would let through) is cleared and counted; past the limit the programme goes
// on air at the safe level, exactly, and the processor is tried again later.
TEST(LiveEngine, ANonFiniteProcessorIsRecoveredThenBypassedAtTheSafeLevelAndTriedAgain)
{
    LiveSettings s;
    s.safeRetrySeconds = 1.0;
    LiveEngine live(s);
    live.prepare(kRate);
    constexpr int period = 480;
    const std::vector<float> prog = tone(4 * kRate, 440.0, 0.9f);
    FakeDevice d(period);
    size_t at = 0;
    auto runFor = [&](double seconds) {
        std::vector<AudioEvent> seen;
        for (const size_t end = at + static_cast<size_t>(seconds * kRate); at < end; at += period) {
            d.run(live, prog, nullptr, nullptr, at);
            for (const auto& e : drain(live)) seen.push_back(e);
        }
        return seen;
    };
    runFor(0.2);
    ASSERT_EQ(live.onAir(), OnAir::kProgramme);
    live.queueControls({{0, std::nanf("")}});
    const auto failing = runFor(0.5);
    ASSERT_GE(failing.size(), 5u);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(failing[static_cast<size_t>(k)].type, AudioEventType::kRecovery) << k;
    EXPECT_EQ(failing[4].type, AudioEventType::kSafeMode);
    EXPECT_EQ(live.recoveries(), 4u);
    EXPECT_EQ(live.onAir(), OnAir::kSafe);
    // On the safe level: the programme at safeGain, clipped, on both channels.
    for (int i = 0; i < period; ++i) {
        const float want = std::clamp(prog[at - period + static_cast<size_t>(i)] * s.safeGain, -1.0f, 1.0f);
        ASSERT_EQ(d.out[0][static_cast<size_t>(i)], want) << i;
        ASSERT_EQ(d.out[1][static_cast<size_t>(i)], want) << i;
    }
    live.queueControls({{0, plumbra::kControlSpecs[0].init}});
    const auto retried = runFor(1.5);
    ASSERT_FALSE(retried.empty());
    EXPECT_EQ(retried.front().type, AudioEventType::kProcessorRetry);
    EXPECT_EQ(retried.size(), 1u) << "the processor failed again after its retry";
    EXPECT_EQ(live.onAir(), OnAir::kProgramme);
    for (const auto& out : d.out)
        for (float x : out) ASSERT_TRUE(std::isfinite(x));
}

// Another thread sets two controls together, again and again, while the audio
// runs and a third reads the meters: the audio thread never sees one without
// the other, and every period is measured and reported.
TEST(LiveEngine, ControlsSetTogetherArriveTogetherWhileTheAudioRuns)
{
    LiveEngine live(LiveSettings{});
    live.prepare(kRate);
    const std::vector<float> prog = tone(kRate, 440.0, 0.1f);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread audio([&] {
        FakeDevice d(128);
        for (int k = 0; k < 1500; ++k) {
            d.run(live, prog, nullptr, nullptr, static_cast<size_t>(k % 300) * 128);
            // "MBEQ B1t" and "MBEQ Mt" always carry the same value.
            if (live.control(6) != live.control(7)) torn.fetch_add(1);
        }
        done = true;
    });
    std::thread meters([&] {
        uint64_t last = 0;
        while (!done.load()) {
            const auto m = live.meters();
            EXPECT_GE(m.block, last);
            last = m.block;
        }
    });
    uint64_t queued = 0;
    for (int v = -70; !done.load(); v = v == 0 ? -70 : v + 1) {
        queued += live.queueControls({{6, static_cast<float>(v)}, {7, static_cast<float>(v)}}) ? 1 : 0;
        std::this_thread::yield();
    }
    audio.join();
    meters.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(live.periods(), 1500u);
    EXPECT_EQ(live.frames(), 1500u * 128u);
    size_t timed = 0;
    for (uint32_t ns; live.callbackNanos().pop(ns);) timed += ns > 0 ? 1 : 0;
    EXPECT_EQ(timed, 1500u);
    // Every set taken is counted as applied once a period has taken it up, not before.
    EXPECT_LE(live.controlSetsApplied(), queued);
    FakeDevice d(128);
    d.run(live, prog, nullptr, nullptr, 0);
    EXPECT_EQ(live.controlSetsApplied(), queued);
}

}  // namespace
