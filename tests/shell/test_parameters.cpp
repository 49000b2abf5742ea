// Parameter names, labels, display texts, normalised mapping and properties,
// through the loaded library.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/mydsp.h"
#include "shell/vstui.h"
#include "tests/support/plugin_loader.h"

using namespace plumbra::test;

namespace {

struct ParamInfo {
    const char* name;
    bool toggle;
    float init, min, max, step;
    const char* display;  // display text at the default
};

const ParamInfo kParams[19] = {
    {"Band 1 Level dB", false, 9, 0, 24, 1, "9"},
    {"Band 1 Noisegate Gain Trim dB", false, -8, -90, 50, 1, "-8"},
    {"Band 2 -> 1 Gain Linking dB", false, -6, -24, 0, 1, "-6"},
    {"Bands 11 -> 12 Gain Linking dB", false, -10, -24, 0, 1, "-10"},
    {"Bands 5678 Gain Linking dB", false, -3, -24, 0, 1, "-3"},
    {"Lowpass Filter", false, 9700, 1000, 15000, 100, "9700"},
    {"MBEQ B1t", false, -35, -70, 0, 1, "-35"},
    {"MBEQ Mt", false, -35, -70, 0, 1, "-35"},
    {"Master Noisegate Gain", false, 40, 0, 90, 1, "40"},
    {"Noisegate Gain Scale dB Per Band", false, 0.7f, -6, 6, 0.1f, "0.7"},
    {"Disable WRMI EQ", true, 0, 0, 1, 0, "OFF"},
    {"OutAGC Threshold", false, -9, -12, 3, 1, "-9"},
    {"Bandwidth Expansion Input HPF", false, 4700, 2000, 8000, 1, "4700"},
    {"Bandwidth Expansion HF Detection Freq", false, 8000, 5000, 10000, 100, "8000"},
    {"Bandwidth Expansion HF Detection Gain", false, 28, 0, 50, 1, "28"},
    {"Final 2k HF Shelf", false, -2, -12, 0, 1, "-2"},
    {"Bandwidth Expansion Level", false, -33, -96, 24, 1, "-33"},
    {"DNR Sensitivity", false, 300, 10, 300, 1, "300"},
    {"DNR LPF Disable", true, 0, 0, 1, 0, "OFF"},
};

class Parameters : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(plugin); }
    Plugin plugin{kPluginPath};
};

}  // namespace

TEST_F(Parameters, NamesAreWrittenWholeWithTerminator)
{
    for (int i = 0; i < 19; ++i) {
        MarkedBuffer buffer;
        EXPECT_EQ(plugin.dispatch(effGetParamName, i, 0, buffer.data()), 0);
        EXPECT_EQ(buffer.text(), kParams[i].name) << i;
        EXPECT_EQ(buffer.written(), std::strlen(kParams[i].name) + 1) << i;
    }
}

TEST_F(Parameters, LabelsAreEmptyExceptDnrSensitivity)
{
    for (int i = 0; i < 19; ++i) {
        MarkedBuffer buffer;
        EXPECT_EQ(plugin.dispatch(effGetParamLabel, i, 0, buffer.data()), 0);
        EXPECT_EQ(buffer.text(), i == 17 ? "x" : "") << i;
        EXPECT_EQ(buffer.written(), i == 17 ? 2u : 1u) << i;
    }
}

TEST_F(Parameters, DefaultsAsNormalisedValuesAndDisplays)
{
    for (int i = 0; i < 19; ++i) {
        const ParamInfo& p = kParams[i];
        const float expected = p.toggle ? p.init : (p.init - p.min) / (p.max - p.min);
        EXPECT_NEAR(plugin.getParameter(i), expected, 1e-6f) << i;
        MarkedBuffer buffer;
        EXPECT_EQ(plugin.dispatch(effGetParamDisplay, i, 0, buffer.data()), 0);
        EXPECT_EQ(buffer.text(), p.display) << i;
        EXPECT_EQ(buffer.written(), std::strlen(p.display) + 1) << i;
    }
}

TEST_F(Parameters, OutOfRangeIndices)
{
    const float before = plugin.getParameter(0);
    for (VstInt32 index : {19, -1, 1000, -1000}) {
        MarkedBuffer name, display, label;
        plugin.dispatch(effGetParamName, index, 0, name.data());
        plugin.dispatch(effGetParamDisplay, index, 0, display.data());
        plugin.dispatch(effGetParamLabel, index, 0, label.data());
        EXPECT_EQ(name.text(), "IndexOut");
        EXPECT_EQ(name.written(), 9u);
        EXPECT_EQ(display.text(), "IndexOut");
        EXPECT_EQ(display.written(), 9u);
        EXPECT_EQ(label.text(), "");
        EXPECT_EQ(label.written(), 1u);
        EXPECT_EQ(plugin.getParameter(index), 0.0f);
        plugin.setParameter(index, 0.9f);  // ignored
    }
    EXPECT_EQ(plugin.getParameter(0), before);
}

TEST_F(Parameters, SliderMappingAndDisplay)
{
    plugin.setParameter(5, 0.0f);
    EXPECT_EQ(plugin.paramDisplay(5), "1000");
    plugin.setParameter(5, 1.0f);
    EXPECT_EQ(plugin.paramDisplay(5), "15000");
    plugin.setParameter(5, 0.5f);
    EXPECT_EQ(plugin.paramDisplay(5), "8000");

    plugin.setParameter(9, 0.5f);
    EXPECT_EQ(plugin.paramDisplay(9), "0.0");
    plugin.setParameter(9, 1.2f);  // clamped to the maximum
    EXPECT_EQ(plugin.paramDisplay(9), "6.0");
    EXPECT_FLOAT_EQ(plugin.getParameter(9), 1.0f);
    plugin.setParameter(9, 0.53f);  // 0.36 shown with one decimal
    EXPECT_EQ(plugin.paramDisplay(9), "0.4");

    plugin.setParameter(0, 0.39f);  // 9.36 shown truncated
    EXPECT_EQ(plugin.paramDisplay(0), "9");
    EXPECT_NEAR(plugin.getParameter(0), 0.39f, 1e-6f);

    plugin.setParameter(1, (-7.9f + 90.0f) / 140.0f);  // truncated toward zero, not down
    EXPECT_EQ(plugin.paramDisplay(1), "-7");
}

TEST_F(Parameters, CheckBoxesSwitchAboveOneHalf)
{
    for (int index : {10, 18}) {
        plugin.setParameter(index, 0.5f);
        EXPECT_EQ(plugin.paramDisplay(index), "OFF");
        EXPECT_EQ(plugin.getParameter(index), 0.0f);
        plugin.setParameter(index, 0.51f);
        EXPECT_EQ(plugin.paramDisplay(index), "ON");
        EXPECT_EQ(plugin.getParameter(index), 1.0f);
        plugin.setParameter(index, std::numeric_limits<float>::quiet_NaN());
        EXPECT_EQ(plugin.getParameter(index), 0.0f);
    }
}

// Any value in 0..1 reads back unchanged up to the fraction of a step (at most
// a tenth) that a written value is rounded to; values outside, infinities and NaN are held
// to the range.
TEST_F(Parameters, ReadBackAndClamping)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (int i = 0; i < 19; ++i) {
        if (kParams[i].toggle) continue;
        for (int k = 0; k <= 20; ++k) {
            const float f = 0.05f * static_cast<float>(k) + 0.0123f * static_cast<float>(k % 3);
            if (f > 1.0f) continue;
            plugin.setParameter(i, f);
            const float halfQuantum = 0.05f * kParams[i].step / (kParams[i].max - kParams[i].min);
            EXPECT_NEAR(plugin.getParameter(i), f, halfQuantum + 2e-7f) << i << " " << f;
        }
        const std::pair<float, float> clamped[] = {{-0.5f, 0.0f}, {1.5f, 1.0f}, {-inf, 0.0f}, {inf, 1.0f}, {nan, 0.0f}};
        for (auto [in, out] : clamped) {
            plugin.setParameter(i, in);
            EXPECT_EQ(plugin.getParameter(i), out) << i << " " << in;
        }
    }
}

TEST_F(Parameters, PropertiesOfSlidersAndCheckBoxes)
{
    VstParameterProperties p;
    fillMarker(&p, sizeof(p));
    EXPECT_EQ(plugin.dispatch(effGetParameterProperties, 9, 0, &p), 1);
    EXPECT_STREQ(p.label, "Noisegate Gain Scale dB Per Band");
    EXPECT_EQ(p.minInteger, -6);
    EXPECT_EQ(p.maxInteger, 6);
    EXPECT_EQ(p.stepInteger, 0);  // 0.1 truncated

    // The structure is cleared before the label and the integer range are
    // written: whatever the host passed, it reads the same bytes, flags 0.
    for (unsigned char fill : {0x00, 0x5a, 0xff}) {
        VstParameterProperties q;
        std::memset(&q, fill, sizeof(q));
        EXPECT_EQ(plugin.dispatch(effGetParameterProperties, 9, 0, &q), 1);
        EXPECT_EQ(std::memcmp(&p, &q, sizeof(p)), 0) << int(fill);
    }
    EXPECT_EQ(p.flags, 0);
    EXPECT_EQ(p.stepFloat, 0.0f);
    EXPECT_EQ(p.largeStepInteger, 0);
    const std::size_t labelBytes = std::strlen("Noisegate Gain Scale dB Per Band") + 1;
    for (std::size_t k = labelBytes; k < sizeof(p.label); ++k) EXPECT_EQ(p.label[k], 0);
    VstParameterProperties untouched;
    fillMarker(&untouched, sizeof(untouched));

    fillMarker(&p, sizeof(p));
    EXPECT_EQ(plugin.dispatch(effGetParameterProperties, 5, 0, &p), 1);
    EXPECT_EQ(p.minInteger, 1000);
    EXPECT_EQ(p.maxInteger, 15000);
    EXPECT_EQ(p.stepInteger, 100);

    fillMarker(&p, sizeof(p));
    EXPECT_EQ(plugin.dispatch(effGetParameterProperties, 10, 0, &p), 1);
    EXPECT_STREQ(p.label, "Disable WRMI EQ");
    EXPECT_EQ(p.minInteger | p.maxInteger | p.stepInteger | p.flags, 0);  // not a slider

    for (VstInt32 index : {19, -1}) {
        fillMarker(&p, sizeof(p));
        EXPECT_EQ(plugin.dispatch(effGetParameterProperties, index, 0, &p), 0);
        EXPECT_EQ(std::memcmp(&p, &untouched, sizeof(p)), 0);
    }
}

namespace {

// A normalised value through the 8-significant-digit text some hosts store.
float viaText(float f)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.8g", static_cast<double>(f));
    return std::strtof(text, nullptr);
}

}  // namespace

// Hosts keep the normalised values they read (projects, undo, snapshots), some
// as text with 8 significant digits, and write them back. For every value a
// write can leave in a control, and for every step of its range (defaults
// included), writing back what the host reads must leave the control exactly
// as it was.
TEST(ParameterRoundTrip, EveryReadableValueLandsOnItself)
{
    auto dsp = std::make_unique<mydsp>();
    vstUI ui;
    dsp->declareControls(&ui);
    dsp->initialise(44100);
    ASSERT_EQ(ui.size(), 19);
    for (int i = 0; i < ui.size(); ++i) {
        vstUIObject& o = ui.at(i);
        float* const zone = o.zone();
        int failures = 0;
        const auto expectRoundTrip = [&](float v, const char* what) {
            o.setNormalized(o.getNormalized());
            const float direct = *zone;
            o.setNormalized(viaText(o.getNormalized()));
            const bool ok = std::bit_cast<uint32_t>(direct) == std::bit_cast<uint32_t>(v) &&
                            std::bit_cast<uint32_t>(*zone) == std::bit_cast<uint32_t>(v);
            if (!ok && ++failures <= 3)
                ADD_FAILURE() << kParams[i].name << ": " << what << " " << v << " came back as " << direct << " / "
                              << *zone;
            *zone = v;
        };
        const ParamInfo& p = kParams[i];
        const float step = p.toggle ? 1.0f : p.step;
        const double decimalStep = step == 0.1f ? 0.1 : static_cast<double>(step);
        const int steps = static_cast<int>(std::lround((p.max - p.min) / decimalStep));
        for (int k = 0; k <= steps; ++k) {
            const float g = static_cast<float>(static_cast<double>(p.min) + k * decimalStep);
            *zone = g;
            expectRoundTrip(g, "step value");
        }
        *zone = p.init;
        expectRoundTrip(p.init, "default");
        if (p.toggle) continue;
        // What normalised writes leave: a value per thousandth of a step or more.
        const int writes = std::min(steps * 1000, 200000) + 7;
        for (int j = 0; j < writes; ++j) {
            o.setNormalized((j + 0.37) / writes);
            expectRoundTrip(*zone, "written value");
        }
        EXPECT_EQ(failures, 0) << p.name;
    }
}

// The same seen from the host: an instance that is given another's normalised
// values (directly or as 8-digit text), or its own back, renders the same bits.
TEST(ParameterRoundTrip, RestoredInstancesRenderTheSame)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<float> in(12000);
    for (float& x : in) x = u(rng);
    const auto render = [&](Plugin& plugin) {
        std::vector<float> a(in.size()), b(in.size());
        float* ins[2] = {in.data(), in.data()};
        float* outs[2] = {a.data(), b.data()};
        plugin.processReplacing(ins, outs, static_cast<VstInt32>(in.size()));
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    for (bool defaults : {true, false}) {
        Plugin original{kPluginPath}, direct{kPluginPath}, text{kPluginPath}, own{kPluginPath};
        std::vector<float> written(19), read(19);
        for (int i = 0; i < 19; ++i) {
            written[i] = std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
            if (!defaults) original.setParameter(i, written[i]);
            read[i] = original.getParameter(i);
        }
        for (int i = 0; i < 19; ++i) {
            direct.setParameter(i, read[i]);
            text.setParameter(i, viaText(read[i]));
            if (!defaults) own.setParameter(i, written[i]);
            own.setParameter(i, own.getParameter(i));
        }
        const std::vector<float> expected = render(original);
        EXPECT_TRUE(render(direct) == expected) << (defaults ? "defaults" : "random values");
        EXPECT_TRUE(render(text) == expected) << (defaults ? "defaults" : "random values");
        EXPECT_TRUE(render(own) == expected) << (defaults ? "defaults" : "random values");
    }
}
