// Delivery never raises near-silence silently: --max-gain caps the gain of a
// --target render, alone and in a batch. Room tone at about -70 dBFS would need
// some +50 dB to reach a streaming target; it is rendered at the cap, exactly,
// reported with the reason in text and JSON, and misses its target (exit 9).
#include <gtest/gtest.h>

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include "host/plumbra_run.h"

namespace {

using Json = nlohmann::json;

// Seeded white noise of -70 dBFS RMS, mono.
std::vector<float> roomTone(int rate, double seconds)
{
    std::mt19937 rng(11);
    const float a = static_cast<float>(std::pow(10.0, -70.0 / 20.0) * std::sqrt(3.0));  // uniform: RMS = a/sqrt(3)
    std::uniform_real_distribution<float> u(-a, a);
    std::vector<float> x(static_cast<size_t>(seconds * rate));
    for (float& v : x) v = u(rng);
    return x;
}

float linear(double db)
{
    return static_cast<float>(std::pow(10.0, db / 20.0));
}

// Samples of `out` that are not exactly `plain` times `gain`.
size_t notScaled(const Audio& out, const Audio& plain, float gain)
{
    if (out.data.size() != plain.data.size()) return std::max(out.data.size(), plain.data.size());
    size_t n = 0;
    for (size_t i = 0; i < out.data.size(); ++i) n += out.data[i] == plain.data[i] * gain ? 0 : 1;
    return n;
}

TEST(PlumbraMaxGain, NearSilenceIsRenderedAtTheCapAndMissesTheTarget)
{
    TempDir dir;
    const int rate = 44100;
    writeAudio(dir / "tone.wav", roomTone(rate, 6.0), 1, rate);
    const HostRun plain = runHost({"render", dir / "tone.wav", dir / "plain.wav", "--quiet"}, dir);
    ASSERT_EQ(plain.code, 0) << plain.err;
    const Audio processed = readAudio(dir / "plain.wav");

    // Without the option the cap is 20 dB; with it, the cap given.
    struct Case {
        std::vector<std::string> option;
        double cap;
    } cases[] = {{{}, 20.0}, {{"--max-gain", "12.5"}, 12.5}};
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render",    dir / "tone.wav", dir / "out.wav",    "--target",
                                         "streaming", "--report-json",  dir / "report.json"};
        args.insert(args.end(), c.option.begin(), c.option.end());
        const HostRun r = runHost(args, dir);
        SCOPED_TRACE("cap " + std::to_string(c.cap));
        EXPECT_EQ(r.code, 9) << r.err;
        const Json d = Json::parse(slurp(dir / "report.json"))["delivery"];
        EXPECT_EQ(d["gain_db"].get<double>(), c.cap);
        EXPECT_EQ(d["max_gain_db"].get<double>(), c.cap);
        EXPECT_TRUE(d["gain_capped"].get<bool>());
        EXPECT_GT(d["gain_needed_db"].get<double>(), 40.0) << "room tone at -70 dBFS needs far more than the cap";
        EXPECT_EQ(d["compliance"]["status"], "fail");
        const std::string reason = d["compliance"]["reason"];
        EXPECT_NE(reason.find("more than --max-gain"), std::string::npos) << reason;
        // The text report and the final message.
        EXPECT_NE(r.out.find("--max-gain holds the gain at"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("misses streaming: the programme needs"), std::string::npos) << r.err;
        // The gain applied is the cap exactly: the limiter never acts this far below the ceiling.
        EXPECT_EQ(notScaled(readAudio(dir / "out.wav"), processed, linear(c.cap)), 0u);
    }

    // A cap above what the programme needs leaves the delivery as it was: on target, exit 0.
    const HostRun free = runHost({"render", dir / "tone.wav", dir / "free.wav", "--target", "streaming", "--max-gain",
                                  "60", "--report-json", dir / "free.json"},
                                 dir);
    EXPECT_EQ(free.code, 0) << free.err;
    const Json d = Json::parse(slurp(dir / "free.json"))["delivery"];
    EXPECT_FALSE(d["gain_capped"].get<bool>());
    EXPECT_EQ(d["gain_db"], d["gain_needed_db"]);
    EXPECT_NEAR(d["result"]["integrated_lufs"].get<double>(), -14.0, 1.0);

    // The option belongs to a target, and has a range.
    EXPECT_EQ(runHost({"render", dir / "tone.wav", dir / "x.wav", "--max-gain", "10"}, dir).code, 2);
    EXPECT_EQ(runHost({"render", dir / "tone.wav", dir / "x.wav", "--target", "podcast", "--max-gain", "-1"}, dir).code,
              2);
    EXPECT_EQ(
        runHost({"render", dir / "tone.wav", dir / "x.wav", "--target", "podcast", "--max-gain", "loud"}, dir).code, 2);
}

TEST(PlumbraMaxGain, InABatchTheQuietFileMissesAndTheOthersLand)
{
    TempDir dir;
    const int rate = 44100;
    mkdir((dir / "in").c_str(), 0755);
    writeAudio(dir / "in/quiet.wav", roomTone(rate, 4.0), 1, rate);
    writeAudio(dir / "in/speech.wav", testSignal(rate, 4.0), 1, rate);
    const HostRun r = runHost({"render", dir / "in", "-o", dir / "out", "--target", "streaming", "--max-gain", "15",
                               "-j", "1", "--report-json", dir / "batch.json"},
                              dir);
    EXPECT_EQ(r.code, 9) << r.err;
    EXPECT_NE(r.err.find("1 of 2 files miss streaming"), std::string::npos) << r.err;
    const Json j = Json::parse(slurp(dir / "batch.json"));
    EXPECT_EQ(j["summary"]["missed_target"], 1);
    for (const Json& f : j["files"]) {
        const std::string input = f["input"]["file"];
        const Json& d = f["delivery"];
        if (input.find("quiet") != std::string::npos) {
            EXPECT_TRUE(d["gain_capped"].get<bool>());
            EXPECT_EQ(d["gain_db"].get<double>(), 15.0);
            EXPECT_NE(d["compliance"]["reason"].get<std::string>().find("--max-gain 15 dB"), std::string::npos);
        } else {
            EXPECT_FALSE(d["gain_capped"].get<bool>()) << input;
            EXPECT_EQ(d["compliance"]["status"], "pass") << input;
        }
    }
}

}  // namespace

#else

TEST(PlumbraMaxGain, NotBuiltHere)
{
    GTEST_SKIP() << "the plumbra host is not built for this toolchain";
}

#endif
