// Answers of the dispatcher to every opcode, through the loaded library.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/plugin_loader.h"

using namespace plumbra::test;

namespace {

constexpr int kParams = 19;

std::vector<float> allParameters(Plugin& plugin)
{
    std::vector<float> values;
    for (int i = 0; i < kParams; ++i) values.push_back(plugin.getParameter(i));
    return values;
}

// Moves every parameter away from its default to a distinct value.
void setDistinctParameters(Plugin& plugin)
{
    for (int i = 0; i < kParams; ++i) plugin.setParameter(i, 0.05f * static_cast<float>(i + 1) - 0.01f);
}

// Room for any structure the dispatcher may write, zeroed and suitably aligned.
struct alignas(16) ZeroedArgument {
    unsigned char bytes[512] = {};
};

}  // namespace

// Each opcode with index 0, value 0 and a zeroed structure as the pointer.
TEST(Dispatcher, AnswerToEveryOpcode)
{
    std::vector<VstIntPtr> expected(80, 0);
    expected[effIdentify] = 0x4E764566;  // "NvEf"
    expected[effProcessEvents] = 1;
    expected[effCanBeAutomated] = 1;
    expected[effGetProgramNameIndexed] = 1;
    expected[effGetInputProperties] = 1;
    expected[effGetOutputProperties] = 1;
    expected[effGetEffectName] = 1;
    expected[effGetVendorString] = 1;
    expected[effGetProductString] = 1;
    expected[effGetParameterProperties] = 1;
    expected[effGetVstVersion] = 2400;
    expected[effGetMidiProgramName] = 1;
    expected[effGetCurrentMidiProgram] = 0;
    expected[effGetMidiProgramCategory] = 1;
    expected[effGetNumMidiInputChannels] = 1;

    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    for (VstInt32 opcode = 0; opcode < 80; ++opcode) {
        if (opcode == effClose) continue;
        ZeroedArgument argument;
        EXPECT_EQ(plugin.dispatch(opcode, 0, 0, argument.bytes, 44100.0f), expected[opcode]) << "opcode " << opcode;
    }
    EXPECT_EQ(plugin.close(), 1);
}

TEST(Dispatcher, UnknownOpcodesAnswerZeroAndWriteNothing)
{
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    for (VstInt32 opcode : {80, 81, 1000, INT_MAX, -1, -2, INT_MIN}) {
        MarkedBuffer buffer;
        EXPECT_EQ(plugin.dispatch(opcode, 0, 1, buffer.data(), 1.0f), 0) << "opcode " << opcode;
        EXPECT_EQ(buffer.written(), 0u) << "opcode " << opcode;
    }
}

// The opcodes that do nothing: no answer, no byte written, no parameter moved.
TEST(Dispatcher, SilentOpcodesChangeNothing)
{
    const VstInt32 silent[] = {
        effOpen, effSetProgramName, effGetVu, effEditGetRect, effEditOpen, effEditClose, effEditDraw, effEditMouse,
        effEditKey, effEditIdle, effEditTop, effEditSleep, effGetChunk, effSetChunk, effString2Parameter,
        effGetNumProgramCategories, effCopyProgram, effConnectInput, effConnectOutput, effGetCurrentPosition,
        effGetDestinationBuffer, effOfflineNotify, effOfflinePrepare, effOfflineRun, effProcessVarIo,
        effSetSpeakerArrangement, effSetBlockSizeAndSampleRate, effSetBypass, effGetErrorText, effVendorSpecific,
        effGetTailSize, effIdle, effGetIcon, effSetViewPosition, effKeysRequired, effEditKeyDown, effEditKeyUp,
        effSetEditKnobMode, effHasMidiProgramsChanged, effGetMidiKeyName, effBeginSetProgram, effEndSetProgram,
        effShellGetNextPlugin, effStartProcess, effStopProcess, effSetPanLaw, effBeginLoadBank,
        effBeginLoadProgram, effSetProcessPrecision, effGetNumMidiOutputChannels};
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    setDistinctParameters(plugin);
    const std::vector<float> before = allParameters(plugin);
    for (VstInt32 opcode : silent) {
        MarkedBuffer buffer;
        EXPECT_EQ(plugin.dispatch(opcode, 1, 1, buffer.data(), 0.5f), 0) << "opcode " << opcode;
        EXPECT_EQ(buffer.written(), 0u) << "opcode " << opcode;
    }
    EXPECT_EQ(allParameters(plugin), before);
    EXPECT_EQ(plugin.dispatch(effGetProgram), 0);
}

TEST(Dispatcher, FixedAnswers)
{
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    EXPECT_EQ(plugin.dispatch(effGetVstVersion), 2400);
    EXPECT_EQ(plugin.dispatch(effIdentify), 0x4E764566);
    for (VstInt32 index : {0, 18, 19, 99, -1}) EXPECT_EQ(plugin.dispatch(effCanBeAutomated, index), 1);
    EXPECT_EQ(plugin.dispatch(effGetPlugCategory), kPlugCategUnknown);
    EXPECT_EQ(plugin.dispatch(effGetNumMidiInputChannels), 1);
    EXPECT_EQ(plugin.dispatch(effGetNumMidiOutputChannels), 0);
    EXPECT_EQ(plugin.dispatch(effSetProcessPrecision, 0, kVstProcessPrecision64), 0);
    for (VstIntPtr value : {VstIntPtr{0}, VstIntPtr{12345}, VstIntPtr{-7}, VstIntPtr{INT_MAX}})
        EXPECT_EQ(plugin.dispatch(effSetTotalSampleToProcess, 0, value), value);
}

TEST(Dispatcher, SpeakerArrangementIsNone)
{
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    int dummyIn = 0, dummyOut = 0;
    void* input = &dummyIn;
    void* output = &dummyOut;
    EXPECT_EQ(plugin.dispatch(effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(&input), &output), 0);
    EXPECT_EQ(input, nullptr);
    EXPECT_EQ(output, nullptr);
    EXPECT_EQ(plugin.dispatch(effGetSpeakerArrangement, 0, 0, nullptr), 0);  // no pointers: nothing written
}

// Requests whose pointer is missing answer like a refusal and write nothing.
TEST(Dispatcher, NullPointersAreRefused)
{
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    const VstInt32 zeroAnswer[] = {effGetProgramName,       effGetParamLabel,     effGetParamDisplay,
                                   effGetParamName,         effGetProgramNameIndexed, effGetInputProperties,
                                   effGetOutputProperties,  effGetEffectName,     effGetVendorString,
                                   effGetProductString,     effCanDo,             effGetParameterProperties,
                                   effGetMidiProgramName,   effGetMidiProgramCategory, effSetProgramName,
                                   effGetChunk,             effEditGetRect};
    for (VstInt32 opcode : zeroAnswer) EXPECT_EQ(plugin.dispatch(opcode, 0, 0, nullptr), 0) << "opcode " << opcode;
    EXPECT_EQ(plugin.dispatch(effGetCurrentMidiProgram, 0, 0, nullptr), -1);
    EXPECT_EQ(plugin.dispatch(effProcessEvents, 0, 0, nullptr), 1);  // as an empty list
    EXPECT_EQ(plugin.close(), 1);
}

TEST(Dispatcher, MainsChangedKeepsParameters)
{
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    setDistinctParameters(plugin);
    const std::vector<float> before = allParameters(plugin);
    EXPECT_EQ(plugin.dispatch(effMainsChanged, 0, 0), 0);
    EXPECT_EQ(allParameters(plugin), before);
    EXPECT_EQ(plugin.dispatch(effMainsChanged, 0, 1), 0);
    EXPECT_EQ(allParameters(plugin), before);
    EXPECT_EQ(plugin.dispatch(effSetBlockSize, 0, 4096), 0);
    EXPECT_EQ(allParameters(plugin), before);
}

// A sample-rate change re-initialises the processor but the host's parameter
// values survive it, whatever the rate.
TEST(Dispatcher, SampleRateChangeKeepsParameters)
{
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    plugin.setParameter(5, 0.5f);
    EXPECT_EQ(plugin.dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f), 0);
    EXPECT_FLOAT_EQ(plugin.getParameter(5), 0.5f);
    EXPECT_EQ(plugin.paramDisplay(5), "8000");

    setDistinctParameters(plugin);
    const std::vector<float> before = allParameters(plugin);
    const float inf = std::numeric_limits<float>::infinity();
    for (float rate : {96000.0f, 48000.9f, 22050.0f, 0.0f, -44100.0f, 1e30f, -1e30f, inf, -inf,
                       std::numeric_limits<float>::quiet_NaN(), 44100.0f}) {
        EXPECT_EQ(plugin.dispatch(effSetSampleRate, 0, 0, nullptr, rate), 0) << rate;
        EXPECT_EQ(allParameters(plugin), before) << rate;
    }
}
