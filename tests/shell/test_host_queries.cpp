// Identification texts, programs, MIDI programs, pins and capabilities,
// through the loaded library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/plugin_loader.h"

using namespace plumbra::test;

namespace {

class HostQueries : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(plugin); }
    Plugin plugin{kPluginPath};
};

// Checks that a buffer holds text, then zero bytes up to `total` bytes, then the marker.
void expectPadded(const MarkedBuffer& buffer, const char* text, std::size_t total)
{
    EXPECT_EQ(buffer.text(), text);
    EXPECT_EQ(buffer.written(), total);
    for (std::size_t i = std::strlen(text); i < total; ++i) EXPECT_EQ(buffer.at(i), 0u) << "byte " << i;
}

void expectMarked(const void* p, std::size_t n)
{
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(bytes[i], MarkedBuffer::kMarker) << "byte " << i;
}

}  // namespace

TEST_F(HostQueries, IdentificationTexts)
{
    MarkedBuffer name, vendor, product;
    EXPECT_EQ(plugin.dispatch(effGetEffectName, 0, 0, name.data()), 1);
    expectPadded(name, "Halvex_Plumbra-Vektis", 33);  // 21 characters and 12 zero bytes
    EXPECT_EQ(plugin.dispatch(effGetVendorString, 0, 0, vendor.data()), 1);
    expectPadded(vendor, "Halvex", 65);
    EXPECT_EQ(plugin.dispatch(effGetProductString, 0, 0, product.data()), 1);
    expectPadded(product, "Halvex_Plumbra-Vektis", 65);
    EXPECT_EQ(plugin.dispatch(effGetVendorVersion), 0);  // "w3m58t" has no numeric prefix
}

TEST_F(HostQueries, ProgramName)
{
    MarkedBuffer name;
    EXPECT_EQ(plugin.dispatch(effGetProgramName, 0, 0, name.data()), 0);
    expectPadded(name, "Default", 25);

    char rename[] = "Another name";
    EXPECT_EQ(plugin.dispatch(effSetProgramName, 0, 0, rename), 0);
    MarkedBuffer after;
    plugin.dispatch(effGetProgramName, 0, 0, after.data());
    EXPECT_EQ(after.text(), "Default");

    for (VstInt32 index : {0, -1, -100}) {
        MarkedBuffer indexed;
        EXPECT_EQ(plugin.dispatch(effGetProgramNameIndexed, index, 7, indexed.data()), 1) << index;
        expectPadded(indexed, "Default", 25);
    }
    for (VstInt32 index : {1, 2, 1000}) {
        MarkedBuffer indexed;
        EXPECT_EQ(plugin.dispatch(effGetProgramNameIndexed, index, 0, indexed.data()), 0) << index;
        EXPECT_EQ(indexed.written(), 0u);
    }
}

TEST_F(HostQueries, SettingPrograms)
{
    {
        StderrCapture capture;
        ASSERT_TRUE(capture.capturing());
        EXPECT_EQ(plugin.dispatch(effSetProgram, 0, 0), 0);
        EXPECT_EQ(plugin.dispatch(effSetProgram, 0, 1), 0);   // not below the program count: ignored
        EXPECT_EQ(plugin.dispatch(effSetProgram, 0, 50), 0);
        EXPECT_EQ(capture.text(), "");
    }
    EXPECT_EQ(plugin.dispatch(effGetProgram), 0);
    {
        StderrCapture capture;
        ASSERT_TRUE(capture.capturing());
        EXPECT_EQ(plugin.dispatch(effSetProgram, 0, -1), 0);
        EXPECT_EQ(capture.text(), "*** Faust vsti: setting program to -1 is OUT OF RANGE\n");
    }
    EXPECT_EQ(plugin.dispatch(effGetProgram), 0);
    if (sizeof(VstIntPtr) == 8) {
        // A 64-bit value far below zero never wraps into program 0.
        StderrCapture capture;
        ASSERT_TRUE(capture.capturing());
        plugin.dispatch(effSetProgram, 0, static_cast<VstIntPtr>(-(static_cast<long long>(1) << 32)));
        EXPECT_EQ(capture.text(), "*** Faust vsti: setting program to -2147483648 is OUT OF RANGE\n");
    }
}

TEST_F(HostQueries, MidiProgramName)
{
    MidiProgramName p;
    fillMarker(&p, sizeof(p));
    p.thisProgramIndex = 0;
    EXPECT_EQ(plugin.dispatch(effGetMidiProgramName, 3, 0, &p), 1);
    EXPECT_EQ(p.thisProgramIndex, 0);
    EXPECT_STREQ(p.name, "Default");
    for (int i = 7; i < 25; ++i) EXPECT_EQ(p.name[i], 0) << i;
    expectMarked(p.name + 25, sizeof(p.name) - 25);
    EXPECT_EQ(p.midiProgram, 0);
    EXPECT_EQ(p.midiBankMsb, -1);
    EXPECT_EQ(p.midiBankLsb, -1);
    EXPECT_EQ(p.reserved, 0);
    EXPECT_EQ(p.parentCategoryIndex, -1);
    EXPECT_EQ(p.flags, 0);

    fillMarker(&p, sizeof(p));
    p.thisProgramIndex = 1;
    EXPECT_EQ(plugin.dispatch(effGetMidiProgramName, 0, 0, &p), 0);
    EXPECT_EQ(p.thisProgramIndex, 1);
    expectMarked(reinterpret_cast<const char*>(&p) + sizeof(p.thisProgramIndex), sizeof(p) - sizeof(p.thisProgramIndex));
}

TEST_F(HostQueries, CurrentMidiProgram)
{
    for (VstInt32 channel : {0, 15}) {
        MidiProgramName p;
        fillMarker(&p, sizeof(p));
        EXPECT_EQ(plugin.dispatch(effGetCurrentMidiProgram, channel, 0, &p), 0);
        EXPECT_EQ(p.thisProgramIndex, 0);
        EXPECT_STREQ(p.name, "Default");
        EXPECT_EQ(p.midiBankMsb, -1);
        EXPECT_EQ(p.parentCategoryIndex, -1);
        EXPECT_EQ(p.flags, 0);
    }
    for (VstInt32 channel : {16, -1}) {
        MidiProgramName p;
        fillMarker(&p, sizeof(p));
        EXPECT_EQ(plugin.dispatch(effGetCurrentMidiProgram, channel, 0, &p), -1);
        expectMarked(&p, sizeof(p));
    }
}

TEST_F(HostQueries, MidiProgramCategory)
{
    for (VstInt32 index : {0, 5, -1}) {
        MidiProgramCategory c;
        fillMarker(&c, sizeof(c));
        c.thisCategoryIndex = 42;
        EXPECT_EQ(plugin.dispatch(effGetMidiProgramCategory, index, 0, &c), 1);
        EXPECT_EQ(c.thisCategoryIndex, 42);
        EXPECT_STREQ(c.name, "Faust Patch");
        for (int i = 11; i < 25; ++i) EXPECT_EQ(c.name[i], 0) << i;
        expectMarked(c.name + 25, sizeof(c.name) - 25);
        EXPECT_EQ(c.parentCategoryIndex, -1);
        EXPECT_EQ(c.flags, 0);
    }
}

TEST_F(HostQueries, Pins)
{
    struct Case {
        VstInt32 opcode, index;
        const char* label;
        const char* shortLabel;
    };
    const Case cases[] = {
        {effGetInputProperties, 0, "Grame Faust DSP input: 0", "In 0"},
        {effGetInputProperties, 1, "Grame Faust DSP input: 1", "In 1"},
        {effGetOutputProperties, 0, "Grame Faust DSP output: 0", "Out 0"},
        {effGetOutputProperties, 1, "Grame Faust DSP output: 1", "Out 1"},
    };
    for (const Case& c : cases) {
        VstPinProperties p;
        fillMarker(&p, sizeof(p));
        EXPECT_EQ(plugin.dispatch(c.opcode, c.index, 0, &p), 1);
        EXPECT_STREQ(p.label, c.label);
        EXPECT_STREQ(p.shortLabel, c.shortLabel);
        EXPECT_EQ(p.flags, kVstPinIsActive | kVstPinIsStereo);
        expectMarked(&p.arrangementType, sizeof(p.arrangementType));
        expectMarked(p.future, sizeof(p.future));
    }
    for (VstInt32 opcode : {effGetInputProperties, effGetOutputProperties}) {
        for (VstInt32 index : {2, -1, 100}) {
            VstPinProperties p;
            fillMarker(&p, sizeof(p));
            EXPECT_EQ(plugin.dispatch(opcode, index, 0, &p), 0);
            expectMarked(&p, sizeof(p));
        }
    }
}

TEST_F(HostQueries, CanDoAnswersNeitherYesNorNo)
{
    for (const char* capability : {"receiveVstEvents", "receiveVstMidiEvent", "midiProgramNames", "sendVstEvents",
                                   "bypass", "offline", ""}) {
        EXPECT_EQ(plugin.dispatch(effCanDo, 0, 0, const_cast<char*>(capability)), 0) << capability;
    }
}
