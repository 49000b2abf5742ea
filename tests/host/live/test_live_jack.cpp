// plumbra live as a JACK client sees it, on a private jackd with the dummy
// driver: a feeding client plays a generated programme (and a backup) into
// plumbra's ports and records what comes out.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/engine/engine.h"
#include "live_jack.h"

namespace {

using namespace plumbra::livetest;

// The test's client: out (the programme), bak_l/bak_r (a backup feed), rec_l/rec_r.
class Feeder {
public:
    Feeder(std::vector<float> programme, std::vector<float> backup, size_t recordFrames)
        : programme_(std::move(programme))
        , backup_(std::move(backup))
        , left_(recordFrames)
        , right_(recordFrames)
        , cycleFrames_(recordFrames / 16 + 16)
        , cycleNanos_(recordFrames / 16 + 16)
    {
        client_ = jack_client_open("feeder", JackNoStartServer, nullptr);
        if (!client_) return;
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        bakL_ = jack_port_register(client_, "bak_l", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        bakR_ = jack_port_register(client_, "bak_r", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        recL_ = jack_port_register(client_, "rec_l", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        recR_ = jack_port_register(client_, "rec_r", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &Feeder::onProcess, this);
        jack_activate(client_);
    }
    ~Feeder()
    {
        if (client_) jack_client_close(client_);
    }
    bool ok() const { return client_ != nullptr; }
    bool wired() const
    {
        return jack_port_connected(out_) > 0 && jack_port_connected(recL_) > 0 && jack_port_connected(recR_) > 0;
    }
    void go() { go_.store(true); }
    size_t recorded() const { return pos_.load(); }
    bool waitRecorded(std::chrono::seconds limit) const
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (recorded() < left_.size() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
        return recorded() >= left_.size();
    }
    const std::vector<float>& left() const { return left_; }
    const std::vector<float>& right() const { return right_; }
    // The wall-clock time of the cycle that recorded frame `frame`.
    int64_t nanosAt(size_t frame) const
    {
        for (size_t c = 0; c + 1 < cycles_.load(); ++c)
            if (cycleFrames_[c + 1] > frame) return cycleNanos_[c];
        return 0;
    }
    jack_client_t* client() const { return client_; }

private:
    static int onProcess(jack_nframes_t n, void* arg)
    {
        auto* f = static_cast<Feeder*>(arg);
        auto* out = static_cast<float*>(jack_port_get_buffer(f->out_, n));
        auto* bl = static_cast<float*>(jack_port_get_buffer(f->bakL_, n));
        auto* br = static_cast<float*>(jack_port_get_buffer(f->bakR_, n));
        const auto* rl = static_cast<const float*>(jack_port_get_buffer(f->recL_, n));
        const auto* rr = static_cast<const float*>(jack_port_get_buffer(f->recR_, n));
        const size_t pos = f->pos_.load(std::memory_order_relaxed);
        const bool going = f->go_.load();
        for (jack_nframes_t i = 0; i < n; ++i) {
            const size_t k = pos + i;
            out[i] = going && k < f->programme_.size() ? f->programme_[k] : 0.0f;
            bl[i] = br[i] = going && k < f->backup_.size() ? f->backup_[k] : 0.0f;
            if (going && k < f->left_.size()) {
                f->left_[k] = rl[i];
                f->right_[k] = rr[i];
            }
        }
        if (going) {
            const size_t c = f->cycles_.load(std::memory_order_relaxed);
            if (c < f->cycleFrames_.size()) {
                f->cycleFrames_[c] = pos;
                f->cycleNanos_[c] = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count();
                f->cycles_.store(c + 1);
            }
            f->pos_.store(pos + n);
        }
        return 0;
    }

    std::vector<float> programme_, backup_, left_, right_;
    std::vector<size_t> cycleFrames_;
    std::vector<int64_t> cycleNanos_;
    std::atomic<size_t> cycles_{0};
    jack_client_t* client_ = nullptr;
    jack_port_t *out_ = nullptr, *bakL_ = nullptr, *bakR_ = nullptr, *recL_ = nullptr, *recR_ = nullptr;
    std::atomic<bool> go_{false};
    std::atomic<size_t> pos_{0};
};

// A programme that exercises the chain: noise under a few swept tones, with pauses in level.
std::vector<float> programme(size_t frames, uint32_t seed, float level = 0.1f)
{
    std::vector<float> x(frames);
    uint32_t s = seed;
    double phase = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        s = s * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(s >> 8) / 16777216.0 - 0.5);
        const double t = static_cast<double>(i) / kRate;
        phase += 2.0 * M_PI * (220.0 + 300.0 * t) / kRate;
        const double env = 0.6 + 0.4 * std::sin(2.0 * M_PI * 1.3 * t);
        x[i] = static_cast<float>(level * env * (0.5 * noise + std::sin(phase) + 0.3 * std::sin(3.1 * phase)));
    }
    return x;
}

std::vector<float> tone(size_t frames, double hz, float amplitude)
{
    std::vector<float> x(frames);
    for (size_t i = 0; i < frames; ++i)
        x[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * static_cast<double>(i) / kRate));
    return x;
}

// The amplitude of `hz` in x[from, from+n).
double goertzel(const std::vector<float>& x, size_t from, size_t n, double hz)
{
    const double w = 2.0 * M_PI * hz / kRate, c = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (size_t i = from; i < from + n && i < x.size(); ++i) {
        const double s = x[i] + c * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return 2.0 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - c * s1 * s2)) / static_cast<double>(n);
}

bool started(const fs::path& log)
{
    for (const auto& e : events(log))
        if (e["event"] == "start") return true;
    return false;
}

class LiveJack : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!onPath("jackd") || !onPath("jack_wait"))
            GTEST_SKIP() << "jackd or jack_wait is not installed (apt-get install jackd2)";
        dir_ = fs::temp_directory_path() / ("plumbra-live-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        log_ = dir_ / "events.log";
    }
    void TearDown() override
    {
        if (plumbra_ > 0) stop(plumbra_);
        server_.reset();
        fs::remove_all(dir_);
    }
    void startServer(int period)
    {
        static int count = 0;  // short: JACK keeps the name in shared memory names of 32 characters
        server_ = std::make_unique<JackServer>("pl" + std::to_string(getpid()) + "-" + std::to_string(++count), period);
        ASSERT_TRUE(server_->up()) << "jackd did not come up";
    }
    // plumbra live wired to the feeder; returns once it is on air.
    void startPlumbra(std::vector<std::string> extra, const std::vector<std::string>& env = {})
    {
        std::vector<std::string> args = {PLUMBRA_HOST_PATH,
                                         "live",
                                         "--quiet",
                                         "--name",
                                         "plumbra",
                                         "--event-log",
                                         log_.string(),
                                         "--connect-in",
                                         "feeder:out",
                                         "--connect-out",
                                         "feeder:rec_l,feeder:rec_r"};
        args.insert(args.end(), extra.begin(), extra.end());
        plumbra_ = spawn(args, env, (dir_ / "plumbra.out").string());
        ASSERT_TRUE(waitFor([&] { return started(log_); }, 10s)) << "plumbra live did not start";
    }
    std::vector<float> silentProgramme(size_t frames) { return std::vector<float>(frames, 0.0f); }

    fs::path dir_, log_;
    std::unique_ptr<JackServer> server_;
    pid_t plumbra_ = -1;
};

// The recording against the offline engine fed the same programme after j silent
// periods (the periods plumbra ran before the feed arrived), for the j and the
// graph delay d (0 or 1 period) that match.
struct Alignment {
    bool found = false;
    int silentPeriods = 0, delayPeriods = 0;
};

Alignment matchOffline(const std::vector<float>& prog, const std::vector<float>& recL, const std::vector<float>& recR,
                       int period, const std::vector<std::string>& sets = {})
{
    const size_t n = recL.size();
    std::vector<float> zeros(static_cast<size_t>(period), 0.0f), outL(n + 2 * period), outR(n + 2 * period);
    for (int j = 0; j < 2 * kRate / period + 50; ++j) {
        plumbra::host::Engine e(kRate);
        for (const auto& s : sets) EXPECT_TRUE(e.set(s).ok());
        std::vector<float> a(static_cast<size_t>(period)), b(static_cast<size_t>(period));
        float* outs[2] = {a.data(), b.data()};
        for (int k = 0; k < j; ++k) {
            float* ins[2] = {zeros.data(), zeros.data()};
            e.process(ins, outs, period);
        }
        // Just far enough to tell, then all of it for the candidate that matches.
        for (size_t done = 0, check = std::min(n, static_cast<size_t>(e.latency() + 4 * period)); done < n;) {
            for (; done < check; done += static_cast<size_t>(period)) {
                std::vector<float> in(static_cast<size_t>(period), 0.0f);
                for (int i = 0; i < period; ++i)
                    if (done + static_cast<size_t>(i) < prog.size())
                        in[static_cast<size_t>(i)] = prog[done + static_cast<size_t>(i)];
                float* ins[2] = {in.data(), in.data()};
                e.process(ins, outs, period);
                std::copy(a.begin(), a.end(), outL.begin() + static_cast<long>(done));
                std::copy(b.begin(), b.end(), outR.begin() + static_cast<long>(done));
            }
            bool any = false;
            for (int d = 0; d < 2; ++d) {
                const size_t shift = static_cast<size_t>(d * period);
                bool same = true;
                for (size_t k = shift; k < std::min(check, n) && same; ++k)
                    same = std::memcmp(&recL[k], &outL[k - shift], sizeof(float)) == 0 &&
                           std::memcmp(&recR[k], &outR[k - shift], sizeof(float)) == 0;
                if (same && check >= n) return {true, j, d};
                any = any || same;
            }
            if (!any) break;
            check = n + static_cast<size_t>(period);
        }
    }
    return {};
}

class LiveJackPeriods : public LiveJack, public ::testing::WithParamInterface<int> {};

TEST_P(LiveJackPeriods, OutputEqualsTheOfflineRenderBitForBit)
{
    const int period = GetParam();
    startServer(period);
    const std::vector<float> prog = programme(kRate * 3 / 2, 7);
    const size_t recordFrames = prog.size() + 3552 + 4 * static_cast<size_t>(period);
    Feeder feeder(prog, {}, recordFrames);
    ASSERT_TRUE(feeder.ok());
    startPlumbra({"--set", "OutAGC Threshold=-6"});
    ASSERT_TRUE(waitFor([&] { return feeder.wired(); }, 5s));

    // What the graph says of plumbra's delay: the processing latency on its output ports.
    jack_latency_range_t range{}, fed{};
    waitFor(
        [&] {
            jack_port_get_latency_range(jack_port_by_name(feeder.client(), "plumbra:out_left"), JackCaptureLatency,
                                        &range);
            jack_port_get_latency_range(jack_port_by_name(feeder.client(), "plumbra:in_left"), JackCaptureLatency,
                                        &fed);
            return range.max >= fed.max + 3552;
        },
        2s);
    EXPECT_EQ(range.min - fed.min, 3552u);
    EXPECT_EQ(range.max - fed.max, 3552u);

    feeder.go();
    ASSERT_TRUE(feeder.waitRecorded(20s));
    EXPECT_EQ(WEXITSTATUS(stop(plumbra_)), 0);
    plumbra_ = -1;

    // The programme is there, delayed by the latency (and at most a period of the graph).
    size_t first = 0;
    while (first < feeder.left().size() && std::fabs(feeder.left()[first]) < 1e-4f) ++first;
    EXPECT_GE(first, 3552u);
    EXPECT_LE(first, 3552u + 2u * static_cast<size_t>(period) + 4800u);

    const Alignment a = matchOffline(prog, feeder.left(), feeder.right(), period, {"OutAGC Threshold=-6"});
    EXPECT_TRUE(a.found) << "no count of leading silent periods makes the offline engine's output equal the recording";
    EXPECT_LE(a.delayPeriods, 1);
    std::printf("silent periods %d, graph delay %d\n", a.silentPeriods, a.delayPeriods);
}

INSTANTIATE_TEST_SUITE_P(Periods, LiveJackPeriods, ::testing::Values(128, 1024));

// Programme, silence, programme, with a backup tone on the backup ports.
TEST_F(LiveJack, FailsOverToTheBackupAndBack)
{
    startServer(256);
    const size_t second = kRate;
    std::vector<float> prog = tone(6 * second, 440.0, 0.1f);
    std::fill(prog.begin() + static_cast<long>(second), prog.begin() + static_cast<long>(3 * second),
              0.0f);  // 2 s of silence
    const std::vector<float> backup = tone(6 * second, 1000.0, 0.1f);
    Feeder feeder(prog, backup, 6 * second);
    ASSERT_TRUE(feeder.ok());
    const fs::path loudness = dir_ / "loudness.log";
    startPlumbra({"--silence-seconds", "1", "--failback-seconds", "1", "--connect-backup", "feeder:bak_l,feeder:bak_r",
                  "--loudness-log", loudness.string(), "--log-interval", "1"});
    ASSERT_TRUE(waitFor([&] { return feeder.wired(); }, 5s));
    feeder.go();
    ASSERT_TRUE(feeder.waitRecorded(20s));
    stop(plumbra_);
    plumbra_ = -1;

    EXPECT_EQ(eventNames(log_, {"silence", "failover", "silence_end", "failback"}),
              (std::vector<std::string>{"silence", "failover", "silence_end", "failback"}));

    // The loudness log: a line a second, the backup's seconds among them, measured loudness.
    const auto lines = events(loudness);
    ASSERT_GE(lines.size(), 5u);
    int onBackup = 0;
    double loudestInput = -200.0;
    for (const auto& l : lines) {
        onBackup += l["source"] == "backup" ? 1 : 0;
        ASSERT_EQ(l["band_gain_median_db"].size(), 12u);
        if (l["input_dbfs"].is_number()) loudestInput = std::max(loudestInput, l["input_dbfs"].get<double>());
    }
    EXPECT_GE(onBackup, 1);
    ASSERT_TRUE(lines.back()["integrated_lufs"].is_number());
    EXPECT_LT(lines.back()["integrated_lufs"].get<double>(), 0.0);
    EXPECT_GT(lines.back()["integrated_lufs"].get<double>(), -40.0);
    EXPECT_NEAR(loudestInput, -23.0, 0.5);  // the 440 Hz tone at 0.1: -23 dBFS RMS

    // When each tone is on air, in 10 ms windows of the recording.
    const auto& rec = feeder.left();
    const size_t w = 960, delay = 3552;
    auto onAir = [&](double hz, double other, size_t from) {
        for (size_t k = from; k + w < rec.size(); k += w)
            if (const double a = goertzel(rec, k, w, hz); a > 0.003 && a > 4.0 * goertzel(rec, k, w, other)) return k;
        return rec.size();
    };
    // The programme fell silent at 1 s; the backup is there within the silence time plus
    // a period (and the graph's period), give or take the window.
    const size_t silent = second + delay;
    const size_t backupFrom = onAir(1000.0, 440.0, 0);
    EXPECT_GE(backupFrom + w, silent + second);
    EXPECT_LE(backupFrom, silent + second + 2 * 256 + w);
    // The programme is back at 3 s and on air again within the failback time (and the crossfade).
    const size_t programmeBack = onAir(440.0, 1000.0, silent + second);
    EXPECT_GE(programmeBack + w, 3 * second + delay + second);
    EXPECT_LE(programmeBack, 3 * second + delay + second + 2 * 256 + w + second / 10);  // and the crossfade
    EXPECT_LT(goertzel(rec, 5 * second + delay, 4800, 1000.0), 0.001) << "the backup is still on air";
}

TEST_F(LiveJack, ASilentBackupReplacesNothing)
{
    startServer(256);
    std::vector<float> prog = tone(3 * 48000, 440.0, 0.1f);
    std::fill(prog.begin() + 24000, prog.end(), 0.0f);
    Feeder feeder(prog, std::vector<float>(prog.size(), 0.0f), prog.size());
    ASSERT_TRUE(feeder.ok());
    // The event command hears each event and fails: that is logged, and nothing else changes.
    const fs::path heard = dir_ / "heard.log";
    startPlumbra({"--silence-seconds", "1", "--failback-seconds", "1", "--connect-backup", "feeder:bak_l,feeder:bak_r",
                  "--on-event", "cat >> '" + heard.string() + "'; exit 3"});
    ASSERT_TRUE(waitFor([&] { return feeder.wired(); }, 5s));
    feeder.go();
    ASSERT_TRUE(feeder.waitRecorded(20s));
    stop(plumbra_);
    plumbra_ = -1;
    EXPECT_EQ(eventNames(log_, {"silence", "failover"}), std::vector<std::string>{"silence"});
    EXPECT_EQ(eventNames(heard, {"start", "silence", "stop"}), (std::vector<std::string>{"start", "silence", "stop"}));
    int failed = 0;
    for (const auto& e : events(log_)) {
        if (e["event"] == "event_command_failed") failed += e["reason"] == "exit status 3" ? 1 : 0;
        if (e["event"] == "stop") {
            EXPECT_EQ(e["reason"], "SIGTERM");
        }
    }
    EXPECT_GE(failed, 2);
}

// systemd's protocol on a datagram socket of the test's own: ready, then a
// watchdog notice every 200 ms that stops while the audio stands still (the
// server stopped) and comes back with it.
TEST_F(LiveJack, NotifiesReadinessAndTheWatchdogWhileTheAudioRuns)
{
    startServer(256);
    Feeder feeder({}, {}, 0);
    ASSERT_TRUE(feeder.ok());
    const std::string path = (dir_ / "notify.sock").string();
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    startPlumbra({"--duration", "9"}, {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=400000"});
    std::vector<std::pair<double, std::string>> got;
    const auto begun = std::chrono::steady_clock::now();
    auto now = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(); };
    bool stopped = false, resumed = false;
    while (now() < 10.0) {
        if (!stopped && now() > 2.0) kill(server_->pid(), SIGSTOP), stopped = true;
        if (!resumed && now() > 5.5) kill(server_->pid(), SIGCONT), resumed = true;
        char buf[512];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) got.emplace_back(now(), std::string(buf, static_cast<size_t>(n)));
    }
    close(fd);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front().second.rfind("READY=1\nSTATUS=on air: jack client plumbra", 0), 0u) << got.front().second;
    std::vector<double> pings;
    for (const auto& [t, m] : got)
        if (m == "WATCHDOG=1") pings.push_back(t);
    ASSERT_GE(pings.size(), 5u);
    for (size_t i = 1; i < pings.size() && pings[i] < 2.0; ++i)
        EXPECT_LT(pings[i] - pings[i - 1], 0.4) << "a watchdog notice came late";
    for (double t : pings)
        EXPECT_FALSE(t > 4.5 && t < 5.5) << "a watchdog notice at " << t << " s while the audio stood still";
    EXPECT_TRUE(std::any_of(pings.begin(), pings.end(), [](double t) { return t > 6.5; }))
        << "no watchdog notice after the audio resumed";
    EXPECT_EQ(got.back().second, "STOPPING=1");
    EXPECT_FALSE(eventNames(log_, {"audio_stalled"}).empty());
}

// A changed preset, re-read on SIGHUP, changes the output within a block of the reload.
TEST_F(LiveJack, SighupAppliesTheChangedPreset)
{
    startServer(256);
    const size_t frames = 5 * kRate;
    Feeder feeder(tone(frames, 4000.0, 0.1f), {}, frames);
    ASSERT_TRUE(feeder.ok());
    const fs::path preset = dir_ / "live.preset";
    std::ofstream(preset) << "Lowpass Filter=15000\n";
    startPlumbra({"--preset", preset.string()});
    ASSERT_TRUE(waitFor([&] { return feeder.wired(); }, 5s));
    feeder.go();
    ASSERT_TRUE(waitFor([&] { return feeder.recorded() > 2u * kRate; }, 10s));
    std::ofstream(preset) << "# the band cut far below the tone\nLowpass Filter=1000\n";
    kill(plumbra_, SIGHUP);
    ASSERT_TRUE(feeder.waitRecorded(20s));
    stop(plumbra_);
    plumbra_ = -1;

    int64_t reloaded = 0;
    for (const auto& e : events(log_))
        if (e["event"] == "configuration_reloaded") {
            EXPECT_EQ(e["preset"], preset.string());
            std::tm tm{};
            const std::string t = e["time"];
            strptime(t.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
            reloaded = static_cast<int64_t>(timegm(&tm)) * 1000000000 + std::stoll(t.substr(20, 3)) * 1000000;
        }
    ASSERT_NE(reloaded, 0) << "no configuration_reloaded event";

    // The tone's level through the processor: steady before, far lower from the reload on.
    const auto& rec = feeder.left();
    const size_t w = 480, delay = 3552;
    size_t changed = rec.size();
    const double before = goertzel(rec, 2 * kRate - 4800, 4800, 4000.0);
    ASSERT_GT(before, 0.01);
    for (size_t k = kRate; k + w < rec.size(); k += w)
        if (goertzel(rec, k, w, 4000.0) < before * 0.25) {
            changed = k;
            break;
        }
    ASSERT_LT(changed, rec.size()) << "the output did not change";
    // The change entered the processor at most a block (and the log's millisecond) after the reload.
    const int64_t entered = feeder.nanosAt(changed - delay);
    EXPECT_GE(entered - reloaded, -20000000) << "the output changed before the reload";
    EXPECT_LE(entered - reloaded, 150000000) << "the output changed later than the next block";
}

// A lost JACK server is retried until it is back; the engine reconnects and says so.
TEST_F(LiveJack, ComesBackWhenTheServerReturns)
{
    startServer(256);
    Feeder* feeder = new Feeder({}, {}, 0);
    ASSERT_TRUE(feeder->ok());
    startPlumbra({});
    server_->kill();
    delete feeder;  // its server is gone
    ASSERT_TRUE(waitFor([&] { return !eventNames(log_, {"device_lost"}).empty(); }, 5s)) << "no device_lost event";
    std::this_thread::sleep_for(1s);
    server_->start();
    ASSERT_TRUE(server_->up());
    ASSERT_TRUE(waitFor([&] { return !eventNames(log_, {"device_regained"}).empty(); }, 10s))
        << "no device_regained event";
    jack_client_t* c = jack_client_open("probe", JackNoStartServer, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(jack_port_by_name(c, "plumbra:out_left"), nullptr);
    jack_client_close(c);
    EXPECT_EQ(eventNames(log_, {"start", "device_lost", "device_regained"}),
              (std::vector<std::string>{"start", "device_lost", "device_regained"}));
}

}  // namespace
