// Control text: the one parser of control names, values and presets, on its own
// and as users meet it through plumbra render, params and live. Every lookup
// (label, any case, symbol, index) finds the same control; switches take the
// same words everywhere; errors name the range with its unit and the preset's line.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "dsp/control_table.h"
#include "host/common/control_text.h"

namespace {

using namespace plumbra::host;
using plumbra::kControlSpecs;
using plumbra::kNumControls;

std::string upper(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string reasonOf(const std::string& assignment)
{
    auto s = parseSetting(assignment);
    return s.ok() ? "accepted" : s.status().reason;
}

TEST(ControlText, EveryWayOfNamingAControlFindsTheSameOne)
{
    for (int i = 0; i < kNumControls; ++i) {
        const std::string label = kControlSpecs[i].label, symbol = kControlSpecs[i].symbol;
        for (const std::string& name : {label, upper(label), " " + label + "\t", symbol, upper(symbol),
                                        std::to_string(i), std::to_string(i) + ".0"})
            EXPECT_EQ(findControl(name), i) << '"' << name << '"';
    }
    for (const char* none : {"", "Lowpass", "lowpass filter x", "19", "-1", "1.5", "band 1", "lowpass-filter"})
        EXPECT_EQ(findControl(none), -1) << '"' << none << '"';
    // The same value whichever way the control is named.
    for (const char* a : {"Lowpass Filter=6000", "LOWPASS FILTER = 6000", "lowpass_filter=6e3", "5= 6000.0"}) {
        auto s = parseSetting(a);
        ASSERT_TRUE(s.ok()) << a << ": " << s.status().reason;
        EXPECT_EQ(s->index, 5);
        EXPECT_EQ(s->value, 6000.0f);
    }
}

TEST(ControlText, SwitchesTakeOnOffWordsAndNothingBetween)
{
    const int dnrLpf = findControl("dnr_lpf_disable");
    for (const char* on : {"on", "ON", "yes", "True", "1", "1.0"}) {
        auto s = parseSetting("DNR LPF Disable", on);
        ASSERT_TRUE(s.ok()) << on;
        EXPECT_EQ(s->value, 1.0f) << on;
        EXPECT_EQ(controlValueText(dnrLpf, s->value), "on");
    }
    for (const char* off : {"off", "Off", "no", "false", "0", " 0 "}) {
        auto s = parseSetting("DNR LPF Disable", off);
        ASSERT_TRUE(s.ok()) << off;
        EXPECT_EQ(s->value, 0.0f) << off;
        EXPECT_EQ(controlValueText(dnrLpf, s->value), "off");
    }
    for (const char* bad : {"maybe", "0.5", "2", "-1", "", "onn"}) {
        auto s = parseSetting("DNR LPF Disable", bad);
        ASSERT_FALSE(s.ok()) << bad;
        EXPECT_EQ(s.status().code, kExitParameter);
        EXPECT_NE(s.status().reason.find("is a switch"), std::string::npos) << s.status().reason;
    }
    EXPECT_FALSE(checkSetting(dnrLpf, 0.5).ok());
    EXPECT_EQ(checkSetting(dnrLpf, 1.0).value(), 1.0f);
}

TEST(ControlText, ErrorsNameTheControlAndItsRangeWithTheUnit)
{
    EXPECT_EQ(reasonOf("Lowpass Filter=20000"),
              "parameter \"Lowpass Filter\" value 20000 is out of range 1000 to 15000 Hz");
    EXPECT_EQ(reasonOf("noisegate_gain_scale_db_per_band=6.05"),
              "parameter \"Noisegate Gain Scale dB Per Band\" value 6.05 is out of range -6.0 to 6.0 dB");
    EXPECT_EQ(reasonOf("DNR Sensitivity=5"), "parameter \"DNR Sensitivity\" value 5 is out of range 10 to 300 x");
    EXPECT_EQ(reasonOf("Lowpass Filter=high"), "parameter \"Lowpass Filter\": \"high\" is not a number");
    EXPECT_EQ(reasonOf("Lowpass Filter=nan"), "parameter \"Lowpass Filter\": \"nan\" is not a number");
    EXPECT_EQ(reasonOf("Wobble=3"), "unknown parameter \"Wobble\" (plumbra params lists them)");
    EXPECT_EQ(reasonOf("19=1"), "parameter index 19 is out of range 0 to 18");
    EXPECT_EQ(reasonOf("Lowpass Filter"), "expected NAME=VALUE, got \"Lowpass Filter\"");
    // The ends of every range are in it; just beyond them is not.
    for (int i = 0; i < kNumControls; ++i) {
        const auto& c = kControlSpecs[i];
        EXPECT_EQ(checkSetting(i, c.min).value(), c.min) << c.label;
        EXPECT_EQ(checkSetting(i, c.max).value(), c.max) << c.label;
        EXPECT_FALSE(checkSetting(i, std::nextafter(static_cast<double>(c.max), 1e9)).ok()) << c.label;
        EXPECT_FALSE(checkSetting(i, std::nextafter(static_cast<double>(c.min), -1e9)).ok()) << c.label;
    }
}

TEST(ControlText, ValuesWrittenAsTextReadBackToTheSameBits)
{
    std::mt19937 rng(3);
    for (int i = 0; i < kNumControls; ++i) {
        const auto& c = kControlSpecs[i];
        std::uniform_real_distribution<float> u(c.min, c.max);
        for (int k = 0; k < 50; ++k) {
            const float v = c.toggle ? static_cast<float>(k % 2) : u(rng);
            auto back = parseSetting(std::string(c.label) + "=" + controlValueText(i, v));
            ASSERT_TRUE(back.ok()) << back.status().reason;
            EXPECT_EQ(back->value, v) << c.label << " " << controlValueText(i, v);
            auto shown = parseSetting(c.symbol, controlDisplayText(i, v));
            ASSERT_TRUE(shown.ok()) << shown.status().reason;
            EXPECT_EQ(shown->value, v) << c.label << " " << controlDisplayText(i, v);
        }
    }
    EXPECT_EQ(controlValueText(findControl("Noisegate Gain Scale dB Per Band"), 0.7f), "0.7");
    EXPECT_EQ(controlDisplayText(findControl("Noisegate Gain Scale dB Per Band"), -6.0f), "-6.0");
}

TEST(ControlText, PresetsSkipCommentsAndBlankLinesAndGiveTheLineOfAnError)
{
    const std::string text = "# a preset\r\n\r\nLowpass Filter = 6000  # Hz\r\n  dnr_lpf_disable=on\n10=yes";
    auto p = parsePresetText(text);
    ASSERT_TRUE(p.ok()) << p.status().reason;
    ASSERT_EQ(p->size(), 3u);
    EXPECT_EQ((*p)[0].index, 5);
    EXPECT_EQ((*p)[0].value, 6000.0f);
    EXPECT_EQ((*p)[1].index, 18);
    EXPECT_EQ((*p)[2].index, 10);
    EXPECT_EQ(parsePresetText("").value().size(), 0u);

    const std::string bad = "Lowpass Filter=6000\n\nMBEQ Mt=40\nWobble=1\n";
    EXPECT_EQ(parsePresetText(bad).status().reason,
              "line 3: parameter \"MBEQ Mt\" value 40 is out of range -70 to 0 dB");
    EXPECT_EQ(parsePresetText(bad, "my.preset").status().reason,
              "my.preset:3: parameter \"MBEQ Mt\" value 40 is out of range -70 to 0 dB");
    EXPECT_EQ(parsePresetText("# x\nLowpass Filter 6000\n").status().reason,
              "line 2: expected NAME=VALUE, got \"Lowpass Filter 6000\"");
    EXPECT_EQ(parsePresetText(bad).status().code, kExitParameter);

    // A file that cannot be read is an error, not an empty preset.
    for (const char* unreadable : {"/nonexistent/x.preset", "/"}) {
        auto r = readPresetFile(unreadable);
        ASSERT_FALSE(r.ok()) << unreadable;
        EXPECT_EQ(r.status().code, kExitParameter);
        EXPECT_EQ(r.status().reason, std::string("cannot read preset ") + unreadable);
    }
}

}  // namespace

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include "host/plumbra_run.h"

namespace {

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

TEST(ControlTextInPlumbra, ParamsAndRenderTakeLabelsSymbolsAndIndices)
{
    TempDir dir;
    HostRun p = runHost({"params", "--preset", "--set", "lowpass_filter=6000", "--set", "10=yes", "--set",
                         "mbeq mt=-20", "--set", "DNR LPF DISABLE=on"},
                        dir);
    ASSERT_EQ(p.code, 0) << p.err;
    for (const char* line :
         {"\nLowpass Filter=6000\n", "\nDisable WRMI EQ=on\n", "\nMBEQ Mt=-20\n", "\nDNR LPF Disable=on\n"})
        EXPECT_NE(p.out.find(line), std::string::npos) << line << p.out;

    // The plug-in path and the linked-in engine (--meters) read presets alike.
    const auto x = testSignal(44100, 0.5);
    writeAudio(dir / "in.wav", x, 1, 44100);
    writeText(dir / "by symbol.preset", "lowpass_filter=6000\ndisable_wrmi_eq=on\n");
    writeText(dir / "by label.preset", "Lowpass Filter=6000\nDisable WRMI EQ=on\n");
    for (const char* preset : {"by symbol.preset", "by label.preset"}) {
        ASSERT_EQ(runHost({"render", dir / "in.wav", dir / (std::string(preset) + ".wav"), "--quiet", "--preset",
                           dir / preset},
                          dir)
                      .code,
                  0)
            << preset;
        ASSERT_EQ(runHost({"render", dir / "in.wav", dir / (std::string(preset) + ".m.wav"), "--quiet", "--preset",
                           dir / preset, "--meters", dir / "m.jsonl"},
                          dir)
                      .code,
                  0)
            << preset;
    }
    const Audio a = readAudio(dir / "by symbol.preset.wav"), b = readAudio(dir / "by label.preset.wav");
    EXPECT_TRUE(bitEqual(a.data, b.data));
    EXPECT_TRUE(bitEqual(a.data, readAudio(dir / "by symbol.preset.m.wav").data));
    EXPECT_TRUE(bitEqual(a.data, readAudio(dir / "by label.preset.m.wav").data));
}

TEST(ControlTextInPlumbra, EveryCommandGivesTheSameErrorWithLineAndUnit)
{
    TempDir dir;
    writeAudio(dir / "in.wav", testSignal(44100, 0.5), 1, 44100);
    writeText(dir / "bad.preset", "# tuned\nLowpass Filter=6000\nMBEQ Mt=40\n");
    mkdir((dir / "folder.preset").c_str(), 0755);
    const std::string badLine = "bad.preset:3: parameter \"MBEQ Mt\" value 40 is out of range -70 to 0 dB";
    const std::string unreadable = "cannot read preset " + dir / "folder.preset";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"render", dir / "in.wav", dir / "o.wav", "--preset", dir / "bad.preset"}, badLine},
        {{"render", dir / "in.wav", dir / "o.wav", "--preset", dir / "bad.preset", "--meters", dir / "m"}, badLine},
        {{"render", dir / "in.wav", "-o", dir / "out", "--preset", dir / "bad.preset"}, badLine},
        {{"params", "--preset", dir / "bad.preset"}, badLine},
        {{"render", dir / "in.wav", dir / "o.wav", "--preset", dir / "folder.preset"}, unreadable},
        {{"render", dir / "in.wav", dir / "o.wav", "--preset", dir / "folder.preset", "--meters", dir / "m"},
         unreadable},
        {{"render", dir / "in.wav", dir / "o.wav", "--set", "dnr_sensitivity=5"},
         "--set dnr_sensitivity=5: parameter \"DNR Sensitivity\" value 5 is out of range 10 to 300 x"},
        {{"params", "--set", "Lowpass Filter=20000"},
         "parameter \"Lowpass Filter\" value 20000 is out of range 1000 to 15000 Hz"},
    };
    for (const Case& c : cases) {
        const HostRun r = runHost(c.args, dir);
        EXPECT_EQ(r.code, 3) << c.args[0] << " " << c.message << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.errLines(), 1) << r.err;
    }
    // plumbra live reads its preset through the same parser, before it opens any device.
    const std::vector<std::pair<std::string, std::string>> livePresets = {{dir / "bad.preset", badLine},
                                                                          {dir / "folder.preset", unreadable}};
    for (const auto& [preset, message] : livePresets) {
        const HostRun r = runHost({"live", "--preset", preset}, dir);
        if (r.err.find("not built") != std::string::npos) GTEST_SKIP() << "plumbra live is not built here";
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

}  // namespace

#endif
