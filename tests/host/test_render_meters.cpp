// plumbra render --meters: the processor linked in through the engine, its
// audio against the plug-in's, the meter lines, the band summary and the plot.
#include <gtest/gtest.h>

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include "host/plumbra_run.h"

namespace {

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
