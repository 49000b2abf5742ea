// MIDI events and the audio entry functions, through the loaded library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/plugin_loader.h"

using namespace plumbra::test;

namespace {

const char* const kControlChangeLine = "=== Faust vsti: CONTROL CHANGE (status 0xB0)!\n";
const char* const kAllNotesOffLine = "=== Faust vsti: ALL NOTES OFF!\n";

VstMidiEvent midiEvent(unsigned char status, unsigned char data1, unsigned char data2)
{
    VstMidiEvent e{};
    e.type = kVstMidiType;
    e.byteSize = sizeof(VstMidiEvent);
    e.midiData[0] = static_cast<char>(status);
    e.midiData[1] = static_cast<char>(data1);
    e.midiData[2] = static_cast<char>(data2);
    return e;
}

// A host-built event list with room for any number of events.
struct EventList {
    explicit EventList(std::vector<VstEvent*> events)
        : storage(sizeof(VstEvents) + events.size() * sizeof(VstEvent*))
    {
        auto* list = reinterpret_cast<VstEvents*>(storage.data());
        list->numEvents = static_cast<VstInt32>(events.size());
        // Written as bytes: the structure declares room for two pointers only.
        auto* pointers = reinterpret_cast<unsigned char*>(list) + offsetof(VstEvents, events);
        if (!events.empty()) std::memcpy(pointers, events.data(), events.size() * sizeof(VstEvent*));
    }
    VstEvents* get() { return reinterpret_cast<VstEvents*>(storage.data()); }
    std::vector<VstIntPtr> storage;  // pointer-aligned
};

VstEvent* asEvent(VstMidiEvent& e)
{
    return reinterpret_cast<VstEvent*>(&e);
}

class EventsAndAudio : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(plugin); }

    // Sends the list and returns what went to standard error.
    std::string send(VstEvents* list)
    {
        StderrCapture capture;
        EXPECT_TRUE(capture.capturing());
        EXPECT_EQ(plugin.dispatch(effProcessEvents, 0, 0, list), 1);
        return capture.text();
    }
    std::string send(std::vector<VstEvent*> events)
    {
        EventList list(std::move(events));
        return send(list.get());
    }

    Plugin plugin{kPluginPath};
};

}  // namespace

TEST_F(EventsAndAudio, ControlChangeLines)
{
    VstMidiEvent allOff = midiEvent(0xB0, 123, 0);
    VstMidiEvent monoOn = midiEvent(0xB3, 126, 0);  // channel 4: the channel is not looked at
    VstMidiEvent volume = midiEvent(0xBF, 7, 100);
    VstMidiEvent noteOn = midiEvent(0x90, 60, 100);
    VstMidiEvent noteOff = midiEvent(0x80, 60, 0);
    VstMidiEvent bend = midiEvent(0xE0, 0, 64);
    VstMidiEvent noteWith123 = midiEvent(0x91, 123, 1);

    EXPECT_EQ(send({asEvent(allOff)}), std::string(kControlChangeLine) + kAllNotesOffLine);
    EXPECT_EQ(send({asEvent(monoOn)}), std::string(kControlChangeLine) + kAllNotesOffLine);
    EXPECT_EQ(send({asEvent(volume)}), kControlChangeLine);
    EXPECT_EQ(send({asEvent(noteOn), asEvent(noteOff), asEvent(bend), asEvent(noteWith123)}), "");
    EXPECT_EQ(send({asEvent(volume), asEvent(noteOn), asEvent(allOff)}),
              std::string(kControlChangeLine) + kControlChangeLine + kAllNotesOffLine);

    // Lists longer than the two pointers the structure declares are read whole.
    std::vector<VstMidiEvent> eight(8, volume);
    std::vector<VstEvent*> pointers;
    std::string expected;
    for (VstMidiEvent& e : eight) {
        pointers.push_back(asEvent(e));
        expected += kControlChangeLine;
    }
    EXPECT_EQ(send(pointers), expected);
}

TEST_F(EventsAndAudio, NonMidiAndUnreadableEventsAreSkipped)
{
    VstMidiEvent sysex = midiEvent(0xB0, 123, 0);
    sysex.type = 6;  // not a MIDI event, although its bytes look like a control change
    VstMidiEvent volume = midiEvent(0xB0, 7, 0);
    EXPECT_EQ(send({asEvent(sysex), asEvent(volume)}), kControlChangeLine);

    // Events too short to hold the status and controller bytes are not read.
    VstMidiEvent tiny = midiEvent(0xB0, 123, 0);
    tiny.byteSize = 0;
    VstMidiEvent negative = midiEvent(0xB0, 123, 0);
    negative.byteSize = -100;
    EXPECT_EQ(send({asEvent(tiny), asEvent(negative), nullptr}), "");
    // Hosts that count the header and those that do not are both read.
    VstMidiEvent withoutHeader = midiEvent(0xB0, 7, 0);
    withoutHeader.byteSize = sizeof(VstMidiEvent) - 8;
    EXPECT_EQ(send({asEvent(withoutHeader)}), kControlChangeLine);
}

TEST_F(EventsAndAudio, EmptyMissingAndNegativeListsAnswerOne)
{
    EXPECT_EQ(send(std::vector<VstEvent*>{}), "");
    EXPECT_EQ(send(nullptr), "");
    VstMidiEvent allOff = midiEvent(0xB0, 123, 0);
    EventList list({asEvent(allOff)});
    list.get()->numEvents = -5;
    EXPECT_EQ(send(list.get()), "");
}

TEST_F(EventsAndAudio, EventsLeaveParametersAlone)
{
    std::vector<float> before;
    for (int i = 0; i < 19; ++i) before.push_back(plugin.getParameter(i));
    std::vector<VstMidiEvent> events;
    for (int status = 0x80; status <= 0xF0; status += 0x10)
        for (int data = 0; data < 128; data += 9)
            events.push_back(midiEvent(static_cast<unsigned char>(status), static_cast<unsigned char>(data), 127));
    std::vector<VstEvent*> pointers;
    for (auto& e : events) pointers.push_back(asEvent(e));
    send(pointers);
    for (int i = 0; i < 19; ++i) EXPECT_EQ(plugin.getParameter(i), before[i]) << i;
}

TEST_F(EventsAndAudio, EmptyBlockWritesNothing)
{
    const float marker = 1234.5f;
    std::vector<float> in0(16, 0.25f), in1(16, 0.5f), out0(16, marker), out1(16, marker);
    float* inputs[] = {in0.data(), in1.data()};
    float* outputs[] = {out0.data(), out1.data()};
    plugin.processReplacing(inputs, outputs, 0);
    plugin.processReplacing(inputs, outputs, -3);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(out0[i], marker);
        EXPECT_EQ(out1[i], marker);
    }
}

// Outputs are overwritten (the marker is far above the output ceiling) and
// depend on the first input only.
TEST_F(EventsAndAudio, OutputsIgnoreTheSecondInput)
{
    Plugin other(kPluginPath);
    ASSERT_TRUE(other);
    const int n = 4096;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    std::vector<float> in0(n), in1a(n), in1b(n, std::nanf("")), outA0(n, 1234.5f), outA1(n, 1234.5f),
        outB0(n, 1234.5f), outB1(n, 1234.5f);
    for (int i = 0; i < n; ++i) {
        in0[i] = noise(random);
        in1a[i] = noise(random);
    }
    float* inputsA[] = {in0.data(), in1a.data()};
    float* inputsB[] = {in0.data(), in1b.data()};
    float* outputsA[] = {outA0.data(), outA1.data()};
    float* outputsB[] = {outB0.data(), outB1.data()};
    plugin.processReplacing(inputsA, outputsA, n);
    other.processReplacing(inputsB, outputsB, n);
    EXPECT_EQ(std::memcmp(outA0.data(), outB0.data(), n * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(outA1.data(), outB1.data(), n * sizeof(float)), 0);
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(std::isfinite(outA0[i]) && std::fabs(outA0[i]) < 1000.0f) << i;
        ASSERT_TRUE(std::isfinite(outA1[i]) && std::fabs(outA1[i]) < 1000.0f) << i;
    }
}

TEST_F(EventsAndAudio, AccumulatingAndDoubleProcessDoNothing)
{
    std::vector<float> in0(64, 0.5f), in1(64, 0.5f), out0(64, 0.125f), out1(64, -0.125f);
    float* inputs[] = {in0.data(), in1.data()};
    float* outputs[] = {out0.data(), out1.data()};
    plugin.effect()->process(plugin.effect(), inputs, outputs, 64);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(out0[i], 0.125f);
        EXPECT_EQ(out1[i], -0.125f);
    }
    std::vector<double> din(64, 0.5), dout0(64, 0.25), dout1(64, -0.25);
    double* dinputs[] = {din.data(), din.data()};
    double* doutputs[] = {dout0.data(), dout1.data()};
    plugin.effect()->processDoubleReplacing(plugin.effect(), dinputs, doutputs, 64);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(dout0[i], 0.25);
        EXPECT_EQ(dout1[i], -0.25);
    }
}

TEST_F(EventsAndAudio, MissingChannelArraysAreIgnored)
{
    std::vector<float> in0(32, 0.5f), out0(32, 3.0f);
    float* inputs[] = {in0.data(), nullptr};
    float* outputs[] = {out0.data(), nullptr};
    plugin.processReplacing(nullptr, nullptr, 32);
    plugin.processReplacing(inputs, outputs, 32);  // second output missing
    for (float v : out0) EXPECT_EQ(v, 3.0f);
}

namespace {

// Runs n frames of input(i) through the plug-in in blocks of 4096 and returns
// the number of non-finite output samples and the peak of the last second.
struct Health {
    long nonFinite = 0;
    float lastSecondPeak = 0.0f;
};

template <class Input>
Health runThrough(Plugin& plugin, int rate, long n, Input input)
{
    plugin.dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
    Health h;
    const int block = 4096;
    std::vector<float> in(block), a(block), b(block);
    float* ins[2] = {in.data(), in.data()};
    float* outs[2] = {a.data(), b.data()};
    for (long pos = 0; pos < n; pos += block) {
        const int len = static_cast<int>(std::min<long>(block, n - pos));
        for (int i = 0; i < len; ++i) in[i] = input(pos + i);
        plugin.processReplacing(ins, outs, len);
        for (int i = 0; i < len; ++i) {
            for (float y : {a[i], b[i]}) {
                if (!std::isfinite(y)) ++h.nonFinite;
                else if (pos + i >= n - rate) h.lastSecondPeak = std::max(h.lastSecondPeak, std::fabs(y));
            }
        }
    }
    return h;
}

// The sanitizer build checks memory and undefined behaviour, the native build
// the numerics: there the long runs are cut short and their levels not checked.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kShortRuns = true;
#else
constexpr bool kShortRuns = false;
#endif

float noiseSample(long i)
{
    uint32_t x = static_cast<uint32_t>(i) * 2654435761u;
    x ^= x >> 15;
    x *= 2246822519u;
    x ^= x >> 13;
    return (static_cast<float>(x >> 8) / 16777216.0f - 0.5f) * 0.5f;
}

}  // namespace

// The noise reduction's 10 Hz smoothing lost its DC stability margin in single
// precision at many rates above 128 kHz (silence turned NaN after 6.9 s at
// 192 kHz), and its 1 kHz highpass turned unstable below 2 kHz. Silence, then
// noise, must stay finite at every rate.
TEST_F(EventsAndAudio, FiniteAtHighAndLowRates)
{
    for (int rate : {128683, 176400, 190000, 192000}) {
        const long silence = (kShortRuns ? 1L : 8L) * rate;
        const Health h = runThrough(plugin, rate, silence + 2L * rate,
                                    [&](long i) { return i < silence ? 0.0f : noiseSample(i); });
        EXPECT_EQ(h.nonFinite, 0) << rate;
        EXPECT_GT(h.lastSecondPeak, 0.1f) << rate;
    }
    for (int rate : {6, 1000, 1977}) {
        const Health h = runThrough(plugin, rate, 40000, noiseSample);
        EXPECT_EQ(h.nonFinite, 0) << rate;
    }
}

// One absurd but finite sample (a host glitch, a corrupt float file) is held to
// a bound far above any programme: the stream stays finite, and once the gains
// have recovered from the peak the programme is back at the ceiling.
TEST_F(EventsAndAudio, HugeSamplesDoNotPoisonTheStream)
{
    const float ceiling = 0.8912509f;
    for (float huge : {3e38f, -std::numeric_limits<float>::max()}) {
        const int rate = 44100;
        const Health h = runThrough(plugin, rate, (kShortRuns ? 3L : 20L) * rate,
                                    [&](long i) { return i == rate ? huge : noiseSample(i); });
        EXPECT_EQ(h.nonFinite, 0) << huge;
        if (!kShortRuns) {
            EXPECT_GT(h.lastSecondPeak, 0.1f) << huge;
        }
        EXPECT_LE(h.lastSecondPeak, ceiling) << huge;
    }
}
