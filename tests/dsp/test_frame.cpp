// The processor frame: lifecycle, controls, working rate and metadata.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dsp/mydsp.h"

namespace {

using plumbra::mydsp;

std::unique_ptr<mydsp> makeProcessor(int rate = 44100)
{
    auto p = std::make_unique<mydsp>();
    p->initialise(rate);
    return p;
}

TEST(Frame, ChannelCountsAndRate)
{
    auto p = makeProcessor();
    EXPECT_EQ(p->inputCount(), 2);
    EXPECT_EQ(p->outputCount(), 2);
    EXPECT_EQ(p->currentSampleRate(), 44100);
    EXPECT_FLOAT_EQ(p->rate().fs, 44100.0f);
}

TEST(Frame, WorkingRateIsClampedButReportedRateIsNot)
{
    auto p = makeProcessor(0);
    EXPECT_EQ(p->currentSampleRate(), 0);
    EXPECT_EQ(p->rate().fs, 1.0f);
    p->initialise(384000);
    EXPECT_EQ(p->currentSampleRate(), 384000);
    EXPECT_EQ(p->rate().fs, 192000.0f);
    p->initialise(-5);
    EXPECT_EQ(p->rate().fs, 1.0f);
}

TEST(Frame, DefaultsAfterInitialise)
{
    auto p = makeProcessor();
    p->controls().lowpassFreq = 1234.0f;
    p->controls().disableWrmiEq = 1.0f;
    p->initialise(48000);
    const plumbra::Controls& c = p->controls();
    EXPECT_EQ(c.lowpassFreq, 9700.0f);
    EXPECT_EQ(c.masterGateGain, 40.0f);
    EXPECT_EQ(c.gateScalePerBand, 0.7f);
    EXPECT_EQ(c.dnrSensitivity, 300.0f);
    EXPECT_EQ(c.disableWrmiEq, 0.0f);
    EXPECT_EQ(c.dnrLpfDisable, 0.0f);
    EXPECT_EQ(c.band1Level, 9.0f);
    EXPECT_EQ(c.outAgcThreshold, -9.0f);
}

TEST(Frame, MetadataLookups)
{
    mydsp p;
    MetaMap m;
    p.declareMetadata(&m);
    EXPECT_EQ(m.size(), 25);
    EXPECT_STREQ(m.find("name"), "Halvex_Plumbra-Vektis");
    EXPECT_STREQ(m.find("author"), "Halvex");
    EXPECT_STREQ(m.find("version"), "w3m58t");
    EXPECT_EQ(m.find("id"), nullptr);
    EXPECT_STREQ(m.find("misceffects_lib_name"), m.find("maths_lib_name"));
    EXPECT_EQ(std::string(m.find("compilation_options")).size(), 13u);
    EXPECT_EQ(std::string(m.find("compile_options")).size(), 52u);
}

TEST(Frame, EmptyBlockTouchesNothing)
{
    auto p = makeProcessor();
    std::vector<float> in(8, 0.5f), o0(8, 7.0f), o1(8, 7.0f);
    float* ins[2] = {in.data(), in.data()};
    float* outs[2] = {o0.data(), o1.data()};
    p->processBlock(0, ins, outs);
    p->processBlock(-3, ins, outs);
    EXPECT_EQ(p->ringCounter(), 0u);
    for (float v : o0) EXPECT_EQ(v, 7.0f);
    p->processBlock(8, ins, outs);
    EXPECT_EQ(p->ringCounter(), 8u);
}

TEST(Frame, BlockValuesFollowControls)
{
    auto p = makeProcessor();
    const plumbra::BlockValues b = p->blockValues();
    EXPECT_NEAR(b.gateGain[0], 39.810717f, 1e-4f);  // 40 - 8 = 32 dB
    EXPECT_NEAR(b.gateGain[1], 92.257143f, 1e-3f);  // 40 - 0.7 = 39.3 dB
    EXPECT_NEAR(b.band1Out, 0.14125375f, 1e-6f);    // 9 - 26 dB
    EXPECT_FALSE(b.eqBypass);
    EXPECT_EQ(b.dnrMinHz, 0.0f);
    p->controls().disableWrmiEq = 0.5f;
    p->controls().dnrLpfDisable = 0.51f;
    EXPECT_TRUE(p->blockValues().eqBypass);
    EXPECT_EQ(p->blockValues().dnrMinHz, 22000.0f);  // the noise reduction's highest cutoff
    EXPECT_EQ(p->blockValues().dnrMinHz, plumbra::NoiseReduction::kCutoffMax);
}

// Band 1 at "Band 1 Level dB" 0 leaves at the level of the other bands: the
// processor's band output level and the bank's band scale are one fact.
TEST(Frame, Band1AtZeroDecibelsHasTheOtherBandsScale)
{
    auto p = makeProcessor();
    p->controls().band1Level = 0.0f;
    EXPECT_FLOAT_EQ(p->blockValues().band1Out, plumbra::kScaleMinus26dB);
    EXPECT_FLOAT_EQ(chainmath::dbToLinear(plumbra::kBandOutputLevelDb), plumbra::kScaleMinus26dB);
}

// Records every call of the control collector, in order.
class RecordingUI : public UIReal<float> {
public:
    std::vector<std::string> calls;
    std::vector<float*> registered;

    void openTabGroup(const char* l) override { calls.push_back(std::string("tab ") + l); }
    void openRowGroup(const char* l) override { calls.push_back(std::string("row ") + l); }
    void openColumnGroup(const char* l) override { calls.push_back(std::string("column ") + l); }
    void closeGroup() override { calls.push_back("close"); }
    void addPushButton(const char* l, float* v) override { add("button", l, v); }
    void addToggle(const char* l, float* v) override { add("toggle", l, v); }
    void addVerticalFader(const char* l, float* v, float, float, float, float) override { add("vfader", l, v); }
    void addHorizontalFader(const char* l, float* v, float, float, float, float) override { add("hfader", l, v); }
    void addNumberBox(const char* l, float* v, float, float, float, float) override { add("number", l, v); }
    void addHorizontalMeter(const char* l, float* v, float, float) override { add("hmeter", l, v); }
    void addVerticalMeter(const char* l, float* v, float, float) override { add("vmeter", l, v); }
    void addResource(const char*, const char*, void**) override { calls.push_back("resource"); }
    void annotate(float* v, const char* key, const char* text) override
    {
        pendingAnnotations.push_back(v);
        calls.push_back(std::string("annotate ") + key + "=" + text);
    }
    std::vector<float*> pendingAnnotations;
    bool annotationsPrecedeTheirControl = true;

private:
    void add(const char* kind, const char* label, float* v)
    {
        for (float* a : pendingAnnotations)
            if (a != v) annotationsPrecedeTheirControl = false;
        pendingAnnotations.clear();
        registered.push_back(v);
        calls.push_back(std::string(kind) + " " + label);
    }
};

TEST(Frame, DeclarationSequenceWritesNothing)
{
    auto p = std::make_unique<mydsp>();  // zeroed, not initialised
    RecordingUI ui;
    p->declareControls(&ui);
    ASSERT_EQ(ui.registered.size(), 19u);
    EXPECT_EQ(ui.calls.front(), "column Halvex_Plumbra-Vektis");
    EXPECT_EQ(ui.calls.back(), "close");
    EXPECT_TRUE(ui.annotationsPrecedeTheirControl);
    int toggles = 0, faders = 0, annotations = 0;
    for (const std::string& c : ui.calls) {
        toggles += c.rfind("toggle ", 0) == 0;
        faders += c.rfind("hfader ", 0) == 0;
        annotations += c.rfind("annotate ", 0) == 0;
    }
    EXPECT_EQ(toggles, 2);
    EXPECT_EQ(faders, 17);
    EXPECT_EQ(annotations, 10);
    EXPECT_NE(std::find(ui.calls.begin(), ui.calls.end(), "annotate unit=x"), ui.calls.end());
    EXPECT_NE(std::find(ui.calls.begin(), ui.calls.end(), "toggle DNR LPF Disable"), ui.calls.end());
    // The registered addresses are the control values, in parameter order.
    for (std::size_t i = 0; i < ui.registered.size(); ++i)
        EXPECT_EQ(ui.registered[i], reinterpret_cast<float*>(&p->controls()) + i) << i;
    const plumbra::Controls zero{};
    EXPECT_EQ(std::memcmp(&p->controls(), &zero, sizeof(zero)), 0);
}

TEST(Frame, CloneIsZeroed)
{
    auto p = makeProcessor(48000);
    std::unique_ptr<dsp> copy(p->clone());
    auto* c = dynamic_cast<mydsp*>(copy.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->currentSampleRate(), 0);
    EXPECT_EQ(c->ringCounter(), 0u);
    const plumbra::Controls zero{};
    EXPECT_EQ(std::memcmp(&c->controls(), &zero, sizeof(zero)), 0);
}

}  // namespace
