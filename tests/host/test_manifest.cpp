// Libraries beyond one run: manifests, shards, per-file reports merged back,
// restarting a killed shard, and one gain for an album.
#include <gtest/gtest.h>

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include <set>

#include "host/plumbra_run.h"

namespace {

using Json = nlohmann::json;

// Files of the library, each its own seeded programme, `seconds` long at 44.1 kHz.
std::vector<std::string> makeLibrary(const std::string& folder, int count, double seconds, float level = 1.0f)
{
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        const std::string name = (i % 2 ? "sub/" : "") + std::string("f") + std::to_string(i) + ".wav";
        runShell("mkdir -p '" + folder + "/sub'");
        std::vector<float> x = testSignal(44100, seconds, 100 + static_cast<unsigned>(i));
        for (float& v : x) v *= level;
        writeAudio(folder + "/" + name, x, 1, 44100);
        names.push_back(name);
    }
    return names;
}

std::string writeManifest(const std::string& path, const std::vector<std::string>& lines)
{
    std::ofstream m(path);
    for (const auto& l : lines) m << l << "\n";
    return path;
}

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// plumbra run by the shell with extra environment, standard error to `err`.
int runWithEnv(const std::string& env, const std::string& args, const TempDir& dir, std::string& err)
{
    const int code = runShell("cd '" + dir.path() + "' && env -u SLURM_ARRAY_TASK_ID -u JOB_COMPLETION_INDEX " + env +
                              " '" + kHost + "' " + args + " >/dev/null 2>'" + dir / "env.err" + "'");
    err = slurp(dir / "env.err");
    return code;
}

}  // namespace

TEST(Manifest, RelativeAbsoluteAndJsonLinesKeepTheirPlacesBelowTheManifestsFolder)
{
    TempDir dir;
    const std::string lib = dir / "lib";
    makeLibrary(lib, 3, 0.6);
    makeLibrary(dir / "elsewhere", 1, 0.6);
    const std::string preset = lib + "/low.preset";
    writeManifest(preset, {"Lowpass Filter=9000"});
    writeManifest(lib + "/m.txt", {"# the library", "f0.wav", "", "  " + lib + "/sub/f1.wav", dir / "elsewhere/f0.wav",
                                   R"({"in": "f2.wav", "out": "named/two.flac", "preset": "low.preset", "set": {"16": -40}})"});
    // The manifest named relative to the working folder, which is not its own.
    HostRun r = runHost({"render", "--manifest", "lib/m.txt", "-o", "out", "--quiet", "--report-json", "r.json"}, dir,
                        {"", "", 0, "", dir.path()});
    // A file outside the manifest's folder goes to the top, where its name is taken already: it fails alone.
    EXPECT_EQ(r.code, 8);
    EXPECT_NE(r.err.find(dir / "elsewhere/f0.wav: its output out/f0.wav is also the output of lib/f0.wav"), std::string::npos)
        << r.err;
    for (const char* out : {"out/f0.wav", "out/sub/f1.wav", "out/named/two.flac"}) EXPECT_TRUE(exists(dir / out)) << out;
    const Json report = Json::parse(slurp(dir / "r.json"));
    EXPECT_EQ(report["summary"]["rendered"], 3);
    EXPECT_EQ(report["files"][2]["status"], "failed");
    // Each output is the render of its line: the plain ones as alone, the JSON line with its settings.
    ASSERT_EQ(runHost({"render", lib + "/sub/f1.wav", dir / "one.wav", "--quiet"}, dir).code, 0);
    EXPECT_TRUE(bitEqual(readAudio(dir / "out/sub/f1.wav").data, readAudio(dir / "one.wav").data));
    ASSERT_EQ(runHost({"render", lib + "/f2.wav", dir / "two.flac", "--quiet", "--preset", preset, "--set", "16=-40"}, dir).code, 0);
    EXPECT_TRUE(slurp(dir / "out/named/two.flac") == slurp(dir / "two.flac"));
    EXPECT_FALSE(bitEqual(readAudio(dir / "two.flac").data, readAudio(dir / "out/f0.wav").data));

    // A line that is not one fails the manifest before anything is rendered, with its number.
    writeManifest(dir / "bad.txt", {"lib/f0.wav", R"({"in": "lib/f1.wav", "out": "../escape.wav"})"});
    HostRun bad = runHost({"render", "--manifest", dir / "bad.txt", "-o", dir / "badout"}, dir);
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("bad.txt:2: \"out\" ../escape.wav leads out of the output folder"), std::string::npos) << bad.err;
    EXPECT_FALSE(exists(dir / "badout"));
}

TEST(Shards, EveryEntryOnceAcrossShardsAndAutoFromTheScheduler)
{
    TempDir dir;
    const auto names = makeLibrary(dir / "lib", 7, 0.5);
    const std::string m = writeManifest(dir / "lib/m.txt", names);
    // Shards K/3 take positions K, K+3, ...: together every entry, once.
    std::set<std::string> all;
    for (int k = 0; k < 3; ++k) {
        const std::string out = dir / ("out" + std::to_string(k));
        HostRun r = runHost({"render", "--manifest", m, "-o", out, "--shard", std::to_string(k) + "/3", "--quiet",
                             "--report-json", "-"}, dir);
        ASSERT_EQ(r.code, 0) << r.err;
        const Json j = Json::parse(r.out);
        ASSERT_EQ(j["files"].size(), static_cast<size_t>((7 - k + 2) / 3)) << k;
        for (size_t at = 0; at < j["files"].size(); ++at) {
            const std::string name = names[static_cast<size_t>(k) + 3 * at];
            EXPECT_EQ(j["files"][at]["output"]["file"], out + "/" + name);
            EXPECT_TRUE(all.insert(name).second) << name << " in two shards";
        }
    }
    EXPECT_EQ(all.size(), names.size());
    // Without a manifest the sorted discovery order is shared out the same way.
    HostRun walked = runHost({"render", dir / "lib", "-o", dir / "walked", "--shard", "1/3", "--quiet", "--report-json", "-"}, dir);
    ASSERT_EQ(walked.code, 0) << walked.err;
    EXPECT_EQ(Json::parse(walked.out)["files"].size(), 2u);  // f0 f2 f4 | sub/f1 sub/f3 sub/f5 in walk order

    // auto: a Slurm array numbered from 4 (task 5 is shard 1 of 3), a Kubernetes index with --shards.
    std::string err;
    const std::string args = "render --manifest lib/m.txt --quiet --shard auto -o ";
    ASSERT_EQ(runWithEnv("SLURM_ARRAY_TASK_ID=5 SLURM_ARRAY_TASK_MIN=4 SLURM_ARRAY_TASK_COUNT=3", args + "slurm", dir, err), 0) << err;
    ASSERT_EQ(runWithEnv("JOB_COMPLETION_INDEX=1", args + "k8s --shards 3", dir, err), 0) << err;
    for (const std::string& name : names) {
        const bool mine = exists(dir / "out1/" + name);
        EXPECT_EQ(exists(dir / "slurm/" + name), mine) << name;
        EXPECT_EQ(exists(dir / "k8s/" + name), mine) << name;
    }
    // Refused, with the reason.
    const std::tuple<std::string, std::string, std::string> refusals[] = {
        {"", "", "finds neither a Slurm job array (SLURM_ARRAY_TASK_ID) nor a Kubernetes Indexed Job"},
        {"JOB_COMPLETION_INDEX=1", "", "wants --shards N"},
        {"JOB_COMPLETION_INDEX=3", " --shards 3", "JOB_COMPLETION_INDEX 3 is not below --shards 3"},
        {"SLURM_ARRAY_TASK_ID=2 SLURM_ARRAY_TASK_MIN=0", "", "SLURM_ARRAY_TASK_COUNT is \"\""},
        {"SLURM_ARRAY_TASK_ID=4", " --shards 4", "Slurm array task 4 is not one of 4 shards"},
    };
    for (const auto& [env, shards, why] : refusals) {
        EXPECT_EQ(runWithEnv(env, args + "never" + shards, dir, err), 2) << env;
        EXPECT_NE(err.find(why), std::string::npos) << env << ": " << err;
    }
    EXPECT_EQ(runWithEnv("", "render --manifest lib/m.txt -o never --shard 3/3", dir, err), 2);
    EXPECT_NE(err.find("K must be below N"), std::string::npos) << err;
    EXPECT_FALSE(exists(dir / "never"));
}

TEST(Reports, PerFileReportsMergeIntoTheBatchSummaryAndMissingOnesAreNamed)
{
    TempDir dir;
    const auto names = makeLibrary(dir / "lib", 4, 0.6);
    const std::string m = writeManifest(dir / "lib/m.txt", names);
    for (const char* shard : {"0/2", "1/2"})
        ASSERT_EQ(runHost({"render", "--manifest", m, "-o", dir / "out", "--shard", shard, "--report-dir", dir / "rep",
                           "--quiet"}, dir).code, 0);
    // One report per file, named after its output, with the render's report and where and how long.
    const Json one = Json::parse(slurp(dir / "rep/sub/f1.wav.json"));
    EXPECT_EQ(one["status"], "ok");
    EXPECT_EQ(one["output"]["file"], dir / "out/sub/f1.wav");
    EXPECT_EQ(one["manifest_entry"], "sub/f1.wav");
    EXPECT_GT(one["seconds"].get<double>(), 0.0);
    EXPECT_FALSE(one["host"].get<std::string>().empty());
    EXPECT_NEAR(one["output"]["loudness"]["integrated_lufs"].get<double>(), measure(readAudio(dir / "out/sub/f1.wav")).integrated, 0.01);

    HostRun all = runHost({"merge-reports", dir / "rep", "--manifest", m}, dir);
    EXPECT_EQ(all.code, 0) << all.err;
    EXPECT_NE(all.out.find("4 files: 4 rendered, 0 skipped, 0 failed;"), std::string::npos) << all.out;
    HostRun csv = runHost({"merge-reports", dir / "rep", "--csv"}, dir);
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 5) << csv.out;

    ASSERT_EQ(unlink((dir / "rep/f2.wav.json").c_str()), 0);
    HostRun missing = runHost({"merge-reports", dir / "rep", "--manifest", m, "--json"}, dir);
    EXPECT_EQ(missing.code, 8);
    EXPECT_NE(missing.err.find("1 of 4 files failed or have no report: " + dir / "lib/f2.wav" + " (no report)"),
              std::string::npos) << missing.err;
    const Json merged = Json::parse(missing.out);
    EXPECT_EQ(merged["summary"]["rendered"], 3);
    EXPECT_EQ(merged["summary"]["missing"], 1);
    EXPECT_EQ(merged["files"][2]["status"], "missing");
}

TEST(Reports, AKilledShardRunAgainDoesOnlyWhatIsMissing)
{
    TempDir dir;
    const auto names = makeLibrary(dir / "lib", 6, 20.0);
    const std::string m = writeManifest(dir / "lib/m.txt", names);
    const std::vector<std::string> args = {"render", "--manifest", m, "-o", dir / "out", "--report-dir", dir / "rep",
                                           "--skip-existing", "-j", "1", "--quiet"};
    // Killed once its first file is reported.
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv = {const_cast<char*>(kHost)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kHost, argv.data());
        _exit(127);
    }
    for (int i = 0; i < 6000 && !exists(dir / "rep/f0.wav.json"); ++i) usleep(5000);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) != 0) << "the run finished before it was killed";
    // What it left: whole outputs only, and no temporary files.
    size_t done = 0;
    for (const auto& name : names) {
        if (exists(dir / "rep/" + name + ".json")) ++done;
        if (exists(dir / "out/" + name)) {
            EXPECT_GT(readAudio(dir / "out/" + name).frames, 0) << name;
        }
    }
    ASSERT_GE(done, 1u);
    ASSERT_LT(done, names.size());
    EXPECT_EQ(runShell("find '" + dir.path() + "/out' '" + dir.path() + "/rep' -name '.*' | grep -q ."), 1);

    std::vector<std::string> again = args;
    again.insert(again.end(), {"--report-json", "-"});
    HostRun rest = runHost(again, dir);
    ASSERT_EQ(rest.code, 0) << rest.err;
    const Json j = Json::parse(rest.out);
    EXPECT_EQ(j["summary"]["skipped"], done);
    EXPECT_EQ(j["summary"]["rendered"], names.size() - done);
    // The whole equals one uninterrupted run.
    ASSERT_EQ(runHost({"render", "--manifest", m, "-o", dir / "whole", "--quiet"}, dir).code, 0);
    for (const auto& name : names) EXPECT_TRUE(slurp(dir / "out/" + name) == slurp(dir / "whole/" + name)) << name;
    EXPECT_EQ(runHost({"merge-reports", dir / "rep", "--manifest", m}, dir).code, 0);
}

TEST(Album, OneGainForEveryFileAlbumOnTargetAndEachTruePeakUnderTheCeiling)
{
    TempDir dir;
    // A quiet track, a middle one and a hot one; the target takes the peaks into the limiter.
    const float levels[] = {0.05f, 0.3f, 3.0f};
    std::vector<std::string> names;
    runShell("mkdir -p '" + dir / "lib'");
    for (int i = 0; i < 3; ++i) {
        std::vector<float> x = testSignal(44100, 4.0, 300 + static_cast<unsigned>(i));
        for (float& v : x) v = std::clamp(v * levels[i], -1.0f, 1.0f);
        names.push_back("t" + std::to_string(i) + ".wav");
        writeAudio(dir / ("lib/" + names.back()), x, 1, 44100);
    }
    HostRun r = runHost({"render", dir / "lib", "-o", dir / "album", "--target", "-13", "--album", "--format", "float",
                         "--quiet", "--report-json", dir / "album.json"}, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(runHost({"render", dir / "lib", "-o", dir / "plain", "--format", "float", "--quiet"}, dir).code, 0);
    const Json report = Json::parse(slurp(dir / "album.json"));
    const double gainDb = report["album"]["gain_db"].get<double>();

    std::vector<ebur128_state*> states;
    std::vector<double> gains;
    for (const auto& name : names) {
        const Audio out = readAudio(dir / "album/" + name), plain = readAudio(dir / "plain/" + name);
        ASSERT_EQ(out.data.size(), plain.data.size());
        // The same gain on every file: the output over the plain render where the limiter rests,
        // which is the largest ratio, as the limiter only takes gain away.
        double ratio = 0;
        for (size_t i = 0; i < out.data.size(); ++i)
            if (std::fabs(plain.data[i]) > 1e-3f) ratio = std::max(ratio, static_cast<double>(out.data[i] / plain.data[i]));
        gains.push_back(20 * std::log10(ratio));
        EXPECT_NEAR(gains.back(), gains.front(), 1e-4) << name;
        EXPECT_NEAR(gains.back(), gainDb, 0.006) << name;  // the report gives hundredths
        EXPECT_LE(measure(out).truePeak, -1.0) << name;
        ebur128_state* st = ebur128_init(2, 44100, EBUR128_MODE_I);
        ebur128_add_frames_float(st, out.data.data(), static_cast<size_t>(out.frames));
        states.push_back(st);
    }
    for (const auto& f : report["files"]) EXPECT_EQ(f["delivery"]["gain_db"].get<double>(), gainDb);
    double album = 0;
    ebur128_loudness_global_multiple(states.data(), states.size(), &album);
    for (auto* st : states) ebur128_destroy(&st);
    EXPECT_NEAR(album, -13.0, 0.1);
    EXPECT_NEAR(report["album"]["result"]["integrated_lufs"].get<double>(), album, 0.01);
    double limited = 0;
    for (const auto& f : report["files"]) limited = std::max(limited, f["delivery"]["limiter_max_reduction_db"].get<double>());
    EXPECT_GT(limited, 0.5) << "the limiter never acted: the ceiling was not tested";

    // One gain needs the whole album: not per shard, and only onto a target.
    HostRun sharded = runHost({"render", dir / "lib", "-o", dir / "x", "--target", "-16", "--album", "--shard", "0/2"}, dir);
    EXPECT_EQ(sharded.code, 2);
    EXPECT_NE(sharded.err.find("one gain needs the whole album: it does not go with --shard"), std::string::npos) << sharded.err;
    EXPECT_EQ(runHost({"render", dir / "lib", "-o", dir / "x", "--album"}, dir).code, 2);
    EXPECT_FALSE(exists(dir / "x"));
}

#endif
