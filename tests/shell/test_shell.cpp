// The plug-in object and the parameter bridge, driven directly (without the
// library loader) where the host cannot see the effect: the processor's rate,
// its cleared state, the unique-ID rule and the table check.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "shell/checks.h"
#include "shell/faust.h"

using namespace plumbra;

namespace {

VstIntPtr VSTCALLBACK nullHost(AEffect*, VstInt32, VstInt32, VstIntPtr, void*, float)
{
    return 0;
}

std::unique_ptr<Faust> makeFaust()
{
    return std::unique_ptr<Faust>(static_cast<Faust*>(createEffectInstance(&nullHost)));
}

// A processor that names itself with an "id" metadata text.
class NamedProcessor : public mydsp {
public:
    explicit NamedProcessor(const char* id) : fId(id) {}
    void declareMetadata(Meta* m) override
    {
        mydsp::declareMetadata(m);
        m->declare("id", fId);
    }

private:
    const char* fId;
};

VstInt32 uniqueIdFor(const char* id)
{
    auto processor = std::make_unique<NamedProcessor>(id);
    auto ui = std::make_unique<vstUI>();
    processor->declareControls(ui.get());
    Faust effect(&nullHost, std::move(processor), std::move(ui));
    return effect.getAeffect()->uniqueID;
}

}  // namespace

TEST(Shell, SampleRateIsTruncatedForTheProcessorOnly)
{
    auto effect = makeFaust();
    EXPECT_EQ(effect->getSampleRate(), 44100.0f);
    EXPECT_EQ(effect->processor().currentSampleRate(), 44100);
    EXPECT_EQ(effect->getBlockSize(), 1024);

    effect->dispatcher(effSetSampleRate, 0, 0, nullptr, 48000.9f);
    EXPECT_EQ(effect->getSampleRate(), 48000.9f);
    EXPECT_EQ(effect->processor().currentSampleRate(), 48000);

    effect->dispatcher(effSetBlockSize, 0, 333, nullptr, 0.0f);
    EXPECT_EQ(effect->getBlockSize(), 333);
    effect->dispatcher(effSetBlockSizeAndSampleRate, 0, 64, nullptr, 96000.0f);  // neither is stored
    EXPECT_EQ(effect->getBlockSize(), 333);
    EXPECT_EQ(effect->getSampleRate(), 48000.9f);
}

TEST(Shell, ExtremeSampleRates)
{
    auto effect = makeFaust();
    effect->setSampleRate(1e30f);  // held at the top of the integer range, not converted out of range
    EXPECT_EQ(effect->processor().currentSampleRate(), INT32_MAX);
    effect->setSampleRate(-1e30f);
    EXPECT_EQ(effect->processor().currentSampleRate(), INT32_MIN);
    effect->setSampleRate(22050.0f);
    for (float rate : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                       std::numeric_limits<float>::quiet_NaN()}) {
        effect->setSampleRate(rate);  // ignored
        EXPECT_EQ(effect->getSampleRate(), 22050.0f);
        EXPECT_EQ(effect->processor().currentSampleRate(), 22050);
    }
}

TEST(Shell, SampleRateChangeClearsStateAndKeepsControls)
{
    auto effect = makeFaust();
    effect->setParameter(5, 0.25f);
    effect->setParameter(10, 1.0f);
    std::vector<float> in(100, 0.1f), out0(100), out1(100);
    float* inputs[] = {in.data(), in.data()};
    float* outputs[] = {out0.data(), out1.data()};
    effect->processReplacing(inputs, outputs, 100);
    EXPECT_EQ(effect->processor().ringCounter(), 100u);
    const Controls before = effect->processor().controls();

    effect->setSampleRate(32000.0f);
    EXPECT_EQ(effect->processor().ringCounter(), 0u);
    EXPECT_EQ(std::memcmp(&before, &effect->processor().controls(), sizeof(Controls)), 0);
    EXPECT_EQ(effect->processor().controls().lowpassFreq, 1000.0f + 14000.0f * 0.25f);
    EXPECT_EQ(effect->processor().controls().disableWrmiEq, 1.0f);
}

TEST(Shell, UniqueIdRule)
{
    EXPECT_EQ(makeFaust()->getAeffect()->uniqueID, 0x46415553);  // no "id": the default text "FAUST"
    EXPECT_EQ(uniqueIdFor("ABCD"), 0x41424344);
    EXPECT_EQ(uniqueIdFor("ABCDEF"), 0x41424344);  // only the first four characters
    // The second to fourth characters count as signed 8-bit values.
    const uint32_t expected = (0x41u << 24) + (static_cast<uint32_t>(-1) << 16) + (static_cast<uint32_t>(-128) << 8) + 0x42u;
    EXPECT_EQ(static_cast<uint32_t>(uniqueIdFor("A\xff\x80" "B")), expected);
    EXPECT_EQ(uniqueIdFor("AB"), 0x41420000);  // characters past the end count as zero

    // An empty id: "FAUS" plus the sum of all label characters modulo 128.
    auto effect = makeFaust();
    VstInt32 sum = 0;
    char name[kMaxParamNameBytes];
    for (VstInt32 i = 0; i < effect->parameters().size(); ++i) {
        effect->getParameterName(i, name);
        for (const char* c = name; *c; ++c) sum += static_cast<signed char>(*c);
    }
    EXPECT_EQ(uniqueIdFor(""), 0x46415553 + sum % 128);
}

TEST(Shell, SliderPrecisionFromStep)
{
    EXPECT_EQ(vstSlider::precisionOfStep(1.0f), 0);
    EXPECT_EQ(vstSlider::precisionOfStep(100.0f), 0);
    EXPECT_EQ(vstSlider::precisionOfStep(0.0f), 0);
    EXPECT_EQ(vstSlider::precisionOfStep(0.1f), 1);
    EXPECT_EQ(vstSlider::precisionOfStep(0.5f), 1);
    EXPECT_EQ(vstSlider::precisionOfStep(0.25f), 2);
    EXPECT_EQ(vstSlider::precisionOfStep(1e-7f), 6);  // at most six decimals
    EXPECT_EQ(vstSlider::precisionOfStep(std::numeric_limits<float>::quiet_NaN()), 6);
}

TEST(Shell, CollectorBuildsOneObjectPerControl)
{
    float values[5] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    vstUI ui;
    ui.openTabGroup("tabs");
    ui.annotate(&values[0], "unit", "first");
    ui.annotate(&values[0], "unit", "Hz");  // a repeated key replaces the text
    ui.addVerticalFader("a", &values[0], 1.0f, 0.0f, 10.0f, 0.5f);
    ui.addNumberBox("b", &values[1], 1.0f, 0.0f, 10.0f, 1.0f);
    ui.addPushButton("c", &values[2]);
    ui.addToggle("d", &values[3]);
    ui.addHorizontalMeter("meter", &values[4], 0.0f, 1.0f);
    ui.addVerticalMeter("meter", &values[4], 0.0f, 1.0f);
    ui.closeGroup();
    ASSERT_EQ(ui.size(), 4);
    EXPECT_STREQ(ui.metadata(&values[0], "unit"), "Hz");
    EXPECT_EQ(ui.metadata(&values[1], "unit"), nullptr);

    char text[kMaxParamNameBytes];
    ui.at(0).setNormalized(0.25);
    ui.at(0).getDisplay(text);
    EXPECT_STREQ(text, "2.5");
    EXPECT_EQ(values[0], 2.5f);
    ui.at(1).setPlain(-3.0);
    EXPECT_EQ(values[1], 0.0f);
    ui.at(1).setPlain(7.0);
    EXPECT_EQ(ui.at(1).getPlain(), 7.0f);

    ui.at(2).setNormalized(0.75);  // the push button switches like a check box
    EXPECT_EQ(values[2], 1.0f);
    ui.at(2).getDisplay(text);
    EXPECT_STREQ(text, "ON");
    ui.at(3).setPlain(2.0);  // clamped to 0..1
    EXPECT_EQ(values[3], 1.0f);
}

TEST(Shell, BaseObjectAndLongNames)
{
    float value = 0.0f;
    const std::string longLabel(100, 'n');
    vstUIObject object(longLabel.c_str(), &value);
    object.setNormalized(0.3);
    EXPECT_EQ(object.getNormalized(), 0.3f);
    object.setNormalized(4.0);
    EXPECT_EQ(object.getPlain(), 1.0f);
    char text[2 * kMaxParamNameBytes];
    std::memset(text, 0x5A, sizeof(text));
    object.getDisplay(text);
    EXPECT_STREQ(text, "1.000000");
    std::memset(text, 0x5A, sizeof(text));
    object.getName(text);  // cut to the bound, terminated
    EXPECT_EQ(std::strlen(text), static_cast<std::size_t>(kMaxParamNameBytes - 1));
    EXPECT_EQ(text[kMaxParamNameBytes], 0x5A);

    vstUIObject signedLabel("\xff\x01", &value);
    EXPECT_EQ(signedLabel.labelSum(), 0);
}

TEST(Shell, IntegerConversionsAreBounded)
{
    EXPECT_EQ(truncateToInt32(2.9), 2);
    EXPECT_EQ(truncateToInt32(-2.9), -2);
    EXPECT_EQ(truncateToInt32(1e300), INT32_MAX);
    EXPECT_EQ(truncateToInt32(-1e300), INT32_MIN);
    EXPECT_EQ(truncateToInt32(std::nan("")), 0);
}

#if GTEST_HAS_DEATH_TEST
TEST(ShellDeathTest, TableIndexCheckStopsTheProgram)
{
    auto effect = makeFaust();
    EXPECT_DEATH(effect->parameters().at(19), "index < \\(VstInt32\\)fUITable.size\\(\\).*Halvex_Plumbra-Vektis");
    EXPECT_DEATH(effect->parameters().at(-1), "index >= 0");
}
#endif
