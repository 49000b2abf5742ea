// Parameter names, labels, display texts, normalised mapping and properties,
// through the loaded library.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "tests/support/plugin_loader.h"

using namespace plumbra::test;

namespace {

struct ParamInfo {
    const char* name;
    bool toggle;
    float init, min, max;
    const char* display;  // display text at the default
};

const ParamInfo kParams[19] = {
    {"Band 1 Level dB", false, 9, 0, 24, "9"},
    {"Band 1 Noisegate Gain Trim dB", false, -8, -90, 50, "-8"},
    {"Band 2 -> 1 Gain Linking dB", false, -6, -24, 0, "-6"},
    {"Bands 11 -> 12 Gain Linking dB", false, -10, -24, 0, "-10"},
    {"Bands 5678 Gain Linking dB", false, -3, -24, 0, "-3"},
    {"Lowpass Filter", false, 9700, 1000, 15000, "9700"},
    {"MBEQ B1t", false, -35, -70, 0, "-35"},
    {"MBEQ Mt", false, -35, -70, 0, "-35"},
    {"Master Noisegate Gain", false, 40, 0, 90, "40"},
    {"Noisegate Gain Scale dB Per Band", false, 0.7f, -6, 6, "0.7"},
    {"Disable WRMI EQ", true, 0, 0, 1, "OFF"},
    {"OutAGC Threshold", false, -9, -12, 3, "-9"},
    {"Bandwidth Expansion Input HPF", false, 4700, 2000, 8000, "4700"},
    {"Bandwidth Expansion HF Detection Freq", false, 8000, 5000, 10000, "8000"},
    {"Bandwidth Expansion HF Detection Gain", false, 28, 0, 50, "28"},
    {"Final 2k HF Shelf", false, -2, -12, 0, "-2"},
    {"Bandwidth Expansion Level", false, -33, -96, 24, "-33"},
    {"DNR Sensitivity", false, 300, 10, 300, "300"},
    {"DNR LPF Disable", true, 0, 0, 1, "OFF"},
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

// Any value in 0..1 reads back unchanged up to float rounding, no step
// quantisation; values outside, infinities and NaN are held to the range.
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
            EXPECT_NEAR(plugin.getParameter(i), f, 2e-6f) << i << " " << f;
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

    // Only the label and the integer range are written: the rest keeps the marker.
    VstParameterProperties untouched;
    fillMarker(&untouched, sizeof(untouched));
    EXPECT_EQ(std::memcmp(&p.flags, &untouched.flags, sizeof(p.flags)), 0);
    EXPECT_EQ(std::memcmp(&p.stepFloat, &untouched.stepFloat, 3 * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(&p.largeStepInteger, &untouched.largeStepInteger,
                          sizeof(p) - offsetof(VstParameterProperties, largeStepInteger)),
              0);
    const std::size_t labelBytes = std::strlen("Noisegate Gain Scale dB Per Band") + 1;
    for (std::size_t k = labelBytes; k < sizeof(p.label); ++k)
        EXPECT_EQ(static_cast<unsigned char>(p.label[k]), MarkedBuffer::kMarker);

    fillMarker(&p, sizeof(p));
    EXPECT_EQ(plugin.dispatch(effGetParameterProperties, 5, 0, &p), 1);
    EXPECT_EQ(p.minInteger, 1000);
    EXPECT_EQ(p.maxInteger, 15000);
    EXPECT_EQ(p.stepInteger, 100);

    fillMarker(&p, sizeof(p));
    EXPECT_EQ(plugin.dispatch(effGetParameterProperties, 10, 0, &p), 1);
    EXPECT_STREQ(p.label, "Disable WRMI EQ");
    EXPECT_EQ(std::memcmp(&p.minInteger, &untouched.minInteger, 3 * sizeof(VstInt32)), 0);  // not a slider

    for (VstInt32 index : {19, -1}) {
        fillMarker(&p, sizeof(p));
        EXPECT_EQ(plugin.dispatch(effGetParameterProperties, index, 0, &p), 0);
        EXPECT_EQ(std::memcmp(&p, &untouched, sizeof(p)), 0);
    }
}
