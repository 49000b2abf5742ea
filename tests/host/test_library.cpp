// Folders and lists of files: render -o and analyze over a library, in
// parallel, with layout, tags, per-file outcomes and the batch reports.
#include <gtest/gtest.h>

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include "host/plumbra_run.h"

namespace {

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


}  // namespace

#else

TEST(Plumbra, NotBuiltHere)
{
    GTEST_SKIP() << "the plumbra host is not built for this toolchain";
}

#endif
