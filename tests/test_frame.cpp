// The processor frame: lifecycle, controls, working rate and metadata.
#include <gtest/gtest.h>

#include <memory>
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
    EXPECT_EQ(p->blockValues().dnrMinHz, 22000.0f);
}

}  // namespace
