// The VST 3 bundle as a host sees it: module and factory, the call sequence
// hosts use, parameters, state, buses and renders against the VST 2 build.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/control_table.h"
#include "tests/support/plugin_loader.h"
#include "tests/vst3/vst3_host.h"

using namespace plumbra::test::vst3;
using plumbra::kControlSpecs;

namespace {

const std::string kBundle = PLUMBRA_VST3_BUNDLE;
constexpr int kLatency = 3552;

std::string text(const TChar* s)
{
    std::string t;
    for (; *s; ++s) t += static_cast<char>(*s);
    return t;
}

// A programme with speech-like bursts, pauses and a steady tone.
std::vector<float> programme(std::size_t frames, unsigned seed = 7)
{
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> x(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const float envelope = (i / 9000) % 3 == 2 ? 0.02f : 1.0f;
        x[i] = envelope * (noise(rng) + 0.3f * std::sin(0.0654f * static_cast<float>(i)));
    }
    return x;
}

// The VST 2 build rendering the same programme at 48 kHz in the same blocks with
// the same normalised settings; left and right interleaved.
std::vector<float> renderVst2(const std::vector<float>& in, const std::vector<int32>& blocks,
                              const std::vector<std::pair<int, float>>& settings)
{
    plumbra::test::Plugin p(plumbra::test::kPluginPath);
    EXPECT_TRUE(p);
    p.dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    p.dispatch(effSetBlockSize, 0, 4096);
    p.dispatch(effMainsChanged, 0, 1);
    for (auto [index, value] : settings) p.setParameter(index, value);
    std::vector<float> l(in.size() + 1), r(in.size() + 1), out(in.size() * 2);
    std::size_t done = 0;
    for (std::size_t b = 0; done < in.size(); ++b) {
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(blocks[b % blocks.size()]), in.size() - done);
        float* inputs[2] = {const_cast<float*>(in.data()) + done, const_cast<float*>(in.data()) + done};
        float* outputs[2] = {l.data() + done, r.data() + done};
        p.processReplacing(inputs, outputs, static_cast<VstInt32>(n));
        done += n;
    }
    for (std::size_t i = 0; i < in.size(); ++i) {
        out[2 * i] = l[i];
        out[2 * i + 1] = r[i];
    }
    return out;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

const std::vector<std::pair<int, float>> kSettings = {{0, 0.75f}, {5, 0.3f}, {9, 0.9f}, {10, 1.0f}, {17, 0.2f}};

}  // namespace

TEST(Vst3Module, FactoryAndClassInfoMatchModuleInfo)
{
    Module& m = loadModule(kBundle);
    ASSERT_NE(m.factory, nullptr) << m.error;
    EXPECT_TRUE(m.hasEntry);
    void* obj = nullptr;
    ASSERT_EQ(m.factory->queryInterface(kIPluginFactory3Iid.bytes, &obj), kResultOk);
    auto* f3 = static_cast<IPluginFactory3*>(obj);
    EXPECT_EQ(m.factory->queryInterface(kIComponentIid.bytes, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);

    PFactoryInfo fi{};
    ASSERT_EQ(f3->getFactoryInfo(&fi), kResultOk);
    EXPECT_STREQ(fi.vendor, "Halvex");
    EXPECT_EQ(fi.flags, kFactoryUnicode);
    ASSERT_EQ(f3->countClasses(), 1);
    PClassInfo c1{};
    PClassInfo2 c2{};
    PClassInfoW cw{};
    ASSERT_EQ(f3->getClassInfo(0, &c1), kResultOk);
    ASSERT_EQ(f3->getClassInfo2(0, &c2), kResultOk);
    ASSERT_EQ(f3->getClassInfoUnicode(0, &cw), kResultOk);
    EXPECT_NE(f3->getClassInfo(1, &c1), kResultOk);
    EXPECT_STREQ(c1.category, "Audio Module Class");
    EXPECT_STREQ(c1.name, "Halvex_Plumbra-Vektis");
    EXPECT_EQ(c1.cardinality, kManyInstances);
    EXPECT_EQ(std::memcmp(c1.cid, c2.cid, 16), 0);
    EXPECT_EQ(std::memcmp(c1.cid, cw.cid, 16), 0);
    EXPECT_EQ(text(cw.name), c2.name);
    EXPECT_EQ(text(cw.version), c2.version);
    EXPECT_EQ(c2.classFlags, 0u);
    EXPECT_STREQ(c2.subCategories, "Fx|Dynamics|Mastering");

    // The bundle's description lists the same class, version and categories.
    std::ifstream file(kBundle + "/Contents/Resources/moduleinfo.json");
    ASSERT_TRUE(file) << "no moduleinfo.json";
    std::stringstream json;
    json << file.rdbuf();
    const std::string info = json.str();
    const std::string cid = uidText(c1.cid);
    EXPECT_EQ(cid, "504C4D425645544B4953485633000001");
    EXPECT_NE(info.find("\"CID\": \"" + cid + "\""), std::string::npos);
    EXPECT_NE(info.find("\"Version\": \"" + std::string(c2.version) + "\""), std::string::npos);
    EXPECT_NE(info.find("\"Dynamics\""), std::string::npos);

    // Unknown class or interface: nothing created.
    char other[16] = {1};
    EXPECT_EQ(f3->createInstance(other, kIComponentIid.bytes, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(f3->createInstance(c1.cid, kIPluginFactoryIid.bytes, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
}

TEST(Vst3Module, HostCallSequencesIncludingRepeatedInitialise)
{
    Module& m = loadModule(kBundle);
    ASSERT_NE(m.factory, nullptr) << m.error;
    PClassInfo c{};
    m.factory->getClassInfo(0, &c);
    HostApplication context;
    for (int round = 0; round < 2; ++round) {
        void* obj = nullptr;
        ASSERT_EQ(m.factory->createInstance(c.cid, kIComponentIid.bytes, &obj), kResultOk);
        auto* component = static_cast<IComponent*>(obj);
        // The scanner's sequence: never activated, yet deactivated.
        TUID controllerClass{};
        EXPECT_NE(component->getControllerClassId(controllerClass), kResultOk);
        ASSERT_EQ(component->initialize(&context), kResultOk);
        ASSERT_EQ(component->queryInterface(kIEditControllerIid.bytes, &obj), kResultOk);
        auto* controller = static_cast<IEditController*>(obj);
        EXPECT_EQ(component->queryInterface(kIConnectionPointIid.bytes, &obj), kNoInterface);
        ASSERT_EQ(component->queryInterface(kIAudioProcessorIid.bytes, &obj), kResultOk);
        auto* processor = static_cast<IAudioProcessor*>(obj);
        EXPECT_EQ(processor->canProcessSampleSize(kSample32), kResultTrue);
        EXPECT_EQ(processor->canProcessSampleSize(kSample64), kResultFalse);
        EXPECT_EQ(component->getBusCount(kEvent, kInput), 0);
        EXPECT_EQ(processor->setProcessing(0), kResultOk);
        EXPECT_EQ(component->setActive(0), kResultOk);

        // A session's sequence: initialise again for the controller role, a handler
        // kept until released, the states synchronised.
        EXPECT_EQ(controller->initialize(&context), kResultOk);
        ComponentHandler handler;
        controller->setComponentHandler(&handler);
        EXPECT_EQ(handler.refs, 2);
        MemoryStream s;
        ASSERT_EQ(component->getState(&s), kResultOk);
        s.pos = 0;
        EXPECT_EQ(controller->setComponentState(&s), kResultOk);
        MemoryStream cs;
        EXPECT_EQ(controller->getControllerState(&cs), kResultOk);
        cs.pos = 0;
        EXPECT_EQ(controller->setControllerState(&cs), kResultOk);
        EXPECT_EQ(controller->getParameterCount(), 20);
        ProcessSetup setup{kRealtime, kSample32, 1024, 48000.0};
        EXPECT_EQ(processor->setupProcessing(setup), kResultOk);
        ProcessSetup wide{kRealtime, kSample64, 1024, 48000.0};
        EXPECT_NE(processor->setupProcessing(wide), kResultOk);
        EXPECT_EQ(processor->getLatencySamples(), static_cast<uint32>(kLatency));
        EXPECT_EQ(component->setActive(1), kResultOk);
        EXPECT_EQ(processor->setProcessing(1), kResultOk);
        ProcessData flush{};  // no buses, no samples: parameters only
        flush.symbolicSampleSize = kSample32;
        EXPECT_EQ(processor->process(flush), kResultOk);
        EXPECT_EQ(processor->setProcessing(0), kResultOk);
        EXPECT_EQ(component->setActive(0), kResultOk);
        controller->setComponentHandler(nullptr);
        EXPECT_EQ(handler.refs, 1);
        EXPECT_EQ(controller->terminate(), kResultOk);
        EXPECT_EQ(component->terminate(), kResultOk);
        // Initialised again after terminate, as validators do.
        EXPECT_EQ(component->initialize(&context), kResultOk);
        EXPECT_EQ(component->terminate(), kResultOk);
        controller->release();
        processor->release();
        EXPECT_EQ(component->release(), 0u);
    }
}

TEST(Vst3Buses, MonoByDefaultStereoAcceptedOthersRefused)
{
    Instance p(kBundle);
    BusInfo bus{};
    SpeakerArrangement arr = 0;
    ASSERT_EQ(p.component->getBusInfo(kAudio, kOutput, 0, bus), kResultOk);
    EXPECT_EQ(bus.channelCount, 2);
    EXPECT_EQ(p.component->getBusInfo(kAudio, kInput, 1, bus), kInvalidArgument);
    EXPECT_EQ(p.component->getBusInfo(kEvent, kInput, 0, bus), kInvalidArgument);
    p.processor->setProcessing(0);
    p.component->setActive(0);
    SpeakerArrangement surround = 0x3F, stereo = kSpeakerArrStereo, mono = kSpeakerArrMono;
    EXPECT_EQ(p.processor->setBusArrangements(&surround, 1, &stereo, 1), kResultFalse);
    EXPECT_EQ(p.processor->setBusArrangements(&mono, 1, &mono, 1), kResultFalse);
    EXPECT_EQ(p.processor->setBusArrangements(&mono, -1, &stereo, 1), kInvalidArgument);
    ASSERT_EQ(p.component->getBusInfo(kAudio, kInput, 0, bus), kResultOk);
    EXPECT_EQ(bus.channelCount, 1);
    EXPECT_EQ(p.processor->getBusArrangement(kInput, 0, arr), kResultOk);
    EXPECT_EQ(arr, kSpeakerArrMono);
    EXPECT_EQ(p.processor->setBusArrangements(&stereo, 1, &stereo, 1), kResultTrue);
    ASSERT_EQ(p.component->getBusInfo(kAudio, kInput, 0, bus), kResultOk);
    EXPECT_EQ(bus.channelCount, 2);
    EXPECT_EQ(p.processor->getBusArrangement(kInput, 0, arr), kResultOk);
    EXPECT_EQ(arr, kSpeakerArrStereo);
    p.component->setActive(1);
    p.processor->setProcessing(1);
}

TEST(Vst3Parameters, InfoFollowsTheControlTable)
{
    Instance p(kBundle);
    int bypass = 0;
    for (int32 i = 0; i < 20; ++i) {
        ParameterInfo info{};
        ASSERT_EQ(p.controller->getParameterInfo(i, info), kResultOk);
        EXPECT_EQ(info.id, static_cast<ParamID>(i));
        EXPECT_EQ(info.unitId, 0);
        if (info.flags & kIsBypass) {
            ++bypass;
            EXPECT_EQ(info.flags, kIsBypass | kCanAutomate);
            EXPECT_EQ(info.stepCount, 1);
            continue;
        }
        const auto& c = kControlSpecs[i];
        EXPECT_EQ(text(info.title), c.label);
        EXPECT_EQ(info.stepCount, c.toggle ? 1 : static_cast<int32>(std::lround((c.max - c.min) / c.step))) << c.label;
        EXPECT_EQ(p.controller->normalizedParamToPlain(info.id, info.defaultNormalizedValue), c.init) << c.label;
        EXPECT_EQ(p.controller->getParamNormalized(info.id), info.defaultNormalizedValue) << c.label;
    }
    EXPECT_EQ(bypass, 1);
    ParameterInfo info{};
    EXPECT_EQ(p.controller->getParameterInfo(20, info), kResultFalse);
    ASSERT_EQ(p.controller->getParameterInfo(5, info), kResultOk);
    EXPECT_EQ(text(info.units), "Hz");
    String128 s{};
    EXPECT_EQ(p.controller->getParamStringByValue(99, 0.5, s), kResultFalse);
}

// Every grid point of every control: the value stored, its normalised reading
// and its display equal the VST 2 build's; the reading and the display text
// lead back to the same value.
TEST(Vst3Parameters, GridAndStringsEqualTheVst2Build)
{
    Instance p(kBundle);
    plumbra::test::Plugin v2(plumbra::test::kPluginPath);
    ASSERT_TRUE(v2);
    for (int32 i = 0; i < 19; ++i) {
        const auto& c = kControlSpecs[i];
        const int steps = c.toggle ? 1 : static_cast<int>(std::lround((c.max - c.min) / c.step));
        for (int k = 0; k <= steps; ++k) {
            const float f = static_cast<float>(k) / static_cast<float>(steps);
            v2.setParameter(i, f);
            ASSERT_EQ(p.controller->setParamNormalized(static_cast<ParamID>(i), f), kResultOk);
            const double read = p.controller->getParamNormalized(static_cast<ParamID>(i));
            ASSERT_EQ(static_cast<float>(read), v2.getParameter(i)) << c.label << " " << k;
            String128 s{};
            ASSERT_EQ(p.controller->getParamStringByValue(static_cast<ParamID>(i), read, s), kResultOk);
            ASSERT_EQ(text(s), v2.paramDisplay(i)) << c.label << " " << k;
            const double plain = p.controller->normalizedParamToPlain(static_cast<ParamID>(i), read);
            ParamValue back = -1.0;
            ASSERT_EQ(p.controller->getParamValueByString(static_cast<ParamID>(i), s, back), kResultOk);
            EXPECT_EQ(p.controller->normalizedParamToPlain(static_cast<ParamID>(i), back), plain) << text(s);
            EXPECT_EQ(p.controller->plainParamToNormalized(static_cast<ParamID>(i), plain), read);
            // Written back as read: the same value, bit for bit.
            p.controller->setParamNormalized(static_cast<ParamID>(i), read);
            EXPECT_EQ(p.controller->getParamNormalized(static_cast<ParamID>(i)), read);
        }
    }
    String128 s{};
    p.controller->getParamStringByValue(19, 1.0, s);
    EXPECT_EQ(text(s), "ON");
    TChar junk[] = {'d', 'B', 0};
    ParamValue v = 0;
    EXPECT_EQ(p.controller->getParamValueByString(0, junk, v), kResultFalse);
}

TEST(Vst3State, RoundTripIntoAFreshInstance)
{
    std::vector<unsigned char> saved;
    {
        Instance a(kBundle);
        std::mt19937 rng(3);
        for (ParamID id = 0; id < 20; ++id)
            a.controller->setParamNormalized(id, std::uniform_real_distribution<double>(0.0, 1.0)(rng));
        a.controller->setParamNormalized(19, 1.0);
        saved = a.state();
        ASSERT_EQ(saved.size(), 92u);
        EXPECT_EQ(std::memcmp(saved.data(), "PVK3", 4), 0);
    }
    Instance b(kBundle);
    MemoryStream s;
    s.bytes = saved;
    s.maxRead = 5;  // a stream that hands out a few bytes per read
    ASSERT_EQ(b.component->setState(&s), kResultOk);
    EXPECT_EQ(b.state(), saved);
    EXPECT_EQ(b.controller->getParamNormalized(19), 1.0);
    // The controller's own state is empty and changes nothing.
    MemoryStream empty;
    EXPECT_EQ(b.controller->setControllerState(&empty), kResultOk);
    EXPECT_EQ(b.state(), saved);
}

TEST(Vst3State, DamagedOrUnknownChunksAreRefusedAndValuesKept)
{
    Instance p(kBundle);
    p.controller->setParamNormalized(3, 0.25);
    const std::vector<unsigned char> good = p.state();
    auto refused = [&](std::vector<unsigned char> bytes, const char* what) {
        MemoryStream s;
        s.bytes = std::move(bytes);
        EXPECT_EQ(p.component->setState(&s), kResultFalse) << what;
        s.pos = 0;
        EXPECT_EQ(p.controller->setComponentState(&s), kResultFalse) << what;
        EXPECT_EQ(p.state(), good) << what;
    };
    refused({}, "empty");
    refused(std::vector<unsigned char>(good.begin(), good.end() - 1), "one byte short");
    auto bad = good;
    bad[0] = 'X';
    refused(bad, "magic");
    bad = good;
    bad[4] = 2;
    refused(bad, "version");
    bad = good;
    bad[8] = 19;
    refused(bad, "count");
    bad = good;
    const float nan = std::nanf("");
    std::memcpy(bad.data() + 12, &nan, 4);
    refused(bad, "NaN value");
    bad = good;
    const float high = 1000.0f;
    std::memcpy(bad.data() + 12, &high, 4);
    refused(bad, "value above range");
    bad = good;
    const float half = 0.5f;
    std::memcpy(bad.data() + 12 + 4 * 19, &half, 4);
    refused(bad, "bypass neither on nor off");
}

// The same programme, settings and blocks (sizes 0, 1 and odd ones, NaN in one
// block): the VST 3 build's output equals the VST 2 build's, bit for bit.
TEST(Vst3Render, BitIdenticalToTheVst2Build)
{
    std::vector<float> in = programme(60000);
    for (std::size_t i = 20000; i < 20010; ++i) in[i] = std::nanf("");
    const std::vector<int32> blocks = {1, 0, 7, 333, 1024, 1, 4095, 64};
    Instance p(kBundle);
    for (auto [index, value] : kSettings) p.controller->setParamNormalized(static_cast<ParamID>(index), value);
    const auto v3 = p.render(in, blocks);
    const auto v2 = renderVst2(in, blocks, kSettings);
    EXPECT_TRUE(sameBits(v3, v2));
    for (std::size_t i = 2 * 50000; i < v3.size(); ++i) ASSERT_TRUE(std::isfinite(v3[i])) << i;
    float peak = 0.0f;
    for (std::size_t i = 2 * 30000; i < v3.size(); ++i) peak = std::max(peak, std::fabs(v3[i]));
    EXPECT_GT(peak, 0.01f);  // it recovered and renders signal again
}

// A stereo input is mixed (L+R)/2; the settings also arrive through the
// process call's queues, whose last value holds from the block's start.
TEST(Vst3Render, StereoInputMixedAndQueuedChangesFromBlockStart)
{
    const std::vector<float> left = programme(20000, 1), right = programme(20000, 2);
    std::vector<float> mix(left.size());
    for (std::size_t i = 0; i < mix.size(); ++i) mix[i] = (left[i] + right[i]) * 0.5f;
    const auto v2 = renderVst2(mix, {500}, kSettings);

    Instance p(kBundle, kSpeakerArrStereo);
    std::vector<float> l(left.size()), r(left.size());
    for (std::size_t done = 0; done < left.size(); done += 500) {
        ParameterChanges changes;
        if (done == 0)
            for (auto [index, value] : kSettings) {
                changes.add(static_cast<ParamID>(index), 0, 0.0);  // a ramp that ends at the setting
                changes.add(static_cast<ParamID>(index), 499, value);
            }
        ASSERT_EQ(p.process({left.data() + done, right.data() + done}, l.data() + done, r.data() + done, 500, &changes),
                  kResultOk);
    }
    for (std::size_t i = 0; i < left.size(); ++i) {
        ASSERT_EQ(l[i], v2[2 * i]) << i;
        ASSERT_EQ(r[i], v2[2 * i + 1]) << i;
    }
}

// Bypass passes the programme delayed by the latency, after a short fade in
// either direction that has no step larger than the signals' own; the
// processed output resumes exactly.
TEST(Vst3Render, BypassIsTheDelayedProgrammeSwitchedWithoutAClick)
{
    const std::size_t frames = 188 * 256;
    std::vector<float> in(frames);
    for (std::size_t i = 0; i < frames; ++i) in[i] = 0.5f * std::sin(0.13f * static_cast<float>(i));
    const auto wet = renderVst2(in, {256}, {});
    Instance p(kBundle);
    std::vector<float> l(frames), r(frames);
    const std::size_t on = 16384, off = 32768;  // block starts
    for (std::size_t done = 0; done < frames; done += 256) {
        ParameterChanges changes;
        if (done == on) changes.add(19, 10, 1.0);
        if (done == off) changes.add(19, 0, 0.0);
        // In place, as hosts may pass it.
        std::vector<float> buffer(in.begin() + static_cast<long>(done), in.begin() + static_cast<long>(done) + 256);
        std::vector<float> right(256);
        ASSERT_EQ(p.process({buffer.data()}, buffer.data(), right.data(), 256, &changes), kResultOk);
        std::copy(buffer.begin(), buffer.end(), l.begin() + static_cast<long>(done));
        std::copy(right.begin(), right.end(), r.begin() + static_cast<long>(done));
    }
    const std::size_t fade = 480;  // 10 ms at 48 kHz
    for (std::size_t i = 0; i < on; ++i) ASSERT_EQ(l[i], wet[2 * i]) << i;
    for (std::size_t i = on + fade; i < off; ++i) {
        ASSERT_EQ(l[i], in[i - kLatency]) << i;
        ASSERT_EQ(r[i], in[i - kLatency]) << i;
    }
    for (std::size_t i = off + fade; i < frames; ++i) ASSERT_EQ(r[i], wet[2 * i + 1]) << i;

    float ownStep = 0.0f, gap = 0.0f, step = 0.0f;
    for (std::size_t i = on - 2000; i < off + 2000; ++i) {
        ownStep = std::max({ownStep, std::fabs(wet[2 * i] - wet[2 * i - 2]), std::fabs(in[i - kLatency] - in[i - kLatency - 1])});
        gap = std::max(gap, std::fabs(wet[2 * i] - in[i - kLatency]));
    }
    for (std::size_t i = on - 10; i < on + fade + 10; ++i) step = std::max(step, std::fabs(l[i] - l[i - 1]));
    for (std::size_t i = off - 10; i < off + fade + 10; ++i) step = std::max(step, std::fabs(l[i] - l[i - 1]));
    EXPECT_GT(gap, 0.2f);  // switching at once would jump by this much
    EXPECT_LT(step, ownStep + 0.01f);
}

// Random host call sequences (run under the sanitizers as well): every call is
// answered without a fault, process always succeeds, and the output is finite.
TEST(Vst3Module, RandomHostCallSequences)
{
    Instance p(kBundle, kSpeakerArrMono, 2048);
    std::mt19937 rng(2024);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const std::vector<float> in = programme(4096, 9);
    std::vector<float> left(4096), right(4096), other(4096);
    int32 maxBlock = 2048;
    bool stereo = false;
    for (int step = 0; step < 4000; ++step) {
        switch (pick(9)) {
        case 0: {  // reconfigure while inactive
            p.processor->setProcessing(0);
            p.component->setActive(0);
            const double rates[] = {8000.0, 44100.0, 48000.0, 96000.0, 192000.0, 0.0, -1.0, std::nan("")};
            maxBlock = 1 + pick(4096);
            ProcessSetup setup{kRealtime, kSample32, maxBlock, rates[pick(8)]};
            p.processor->setupProcessing(setup);
            SpeakerArrangement arrangements[] = {kSpeakerArrMono, kSpeakerArrStereo, 0x3F, 0};
            SpeakerArrangement a = arrangements[pick(4)], out = pick(4) ? kSpeakerArrStereo : kSpeakerArrMono;
            if (p.processor->setBusArrangements(&a, 1, &out, 1) == kResultTrue) stereo = a == kSpeakerArrStereo;
            p.component->setActive(1);
            p.processor->setProcessing(1);
            break;
        }
        case 1: case 2: case 3: {  // a block with changes, sometimes in place, sometimes empty
            ParameterChanges changes;
            for (int k = pick(4); k > 0; --k) {
                const double values[] = {0.0, 1.0, 0.5, -3.0, 7.0, std::nan(""), 1e300};
                changes.add(static_cast<ParamID>(pick(25)), pick(64), pick(3) ? std::uniform_real_distribution<double>(0, 1)(rng) : values[pick(7)]);
            }
            const int32 n = std::min<int32>(pick(5) == 0 ? 0 : 1 + pick(maxBlock), maxBlock);
            std::copy(in.begin(), in.begin() + n, left.begin());
            if (pick(20) == 0) left[static_cast<std::size_t>(pick(std::max(n, 1)))] = std::nanf("");
            std::vector<const float*> inputs = {left.data()};
            if (stereo) inputs.push_back(other.data());
            ASSERT_EQ(p.process(inputs, left.data(), right.data(), n, pick(2) ? &changes : nullptr), kResultOk);
            for (int32 i = 0; i < n; ++i) ASSERT_TRUE(std::isfinite(left[i]) && std::isfinite(right[i])) << step;
            break;
        }
        case 4: {  // a state, whole or damaged
            MemoryStream s;
            s.bytes = p.state();
            if (pick(2)) s.bytes[static_cast<std::size_t>(pick(static_cast<int>(s.bytes.size())))] ^= static_cast<unsigned char>(1 + pick(255));
            if (pick(4) == 0) s.bytes.resize(static_cast<std::size_t>(pick(static_cast<int>(s.bytes.size()))));
            s.maxRead = 1 + pick(100);
            (pick(2) ? p.component->setState(&s) : p.controller->setComponentState(&s));
            break;
        }
        case 5: {  // texts and conversions of any value
            String128 text{};
            const ParamID id = static_cast<ParamID>(pick(22));
            const double v = std::uniform_real_distribution<double>(-0.5, 1.5)(rng);
            if (p.controller->getParamStringByValue(id, v, text) == kResultOk) {
                ParamValue back = 0;
                p.controller->getParamValueByString(id, text, back);
            }
            p.controller->normalizedParamToPlain(id, v);
            p.controller->plainParamToNormalized(id, v * 1000.0);
            p.controller->setParamNormalized(id, v);
            break;
        }
        case 6:  // activation toggles without processing
            p.processor->setProcessing(static_cast<TBool>(pick(2)));
            p.component->setActive(static_cast<TBool>(pick(2)));
            p.component->setActive(1);
            p.processor->setProcessing(1);
            break;
        case 7: {  // the roles initialised again and terminated, as hosts do
            p.controller->initialize(&p.context);
            p.controller->terminate();
            p.controller->setComponentHandler(pick(2) ? &p.handler : nullptr);
            p.controller->setComponentHandler(&p.handler);
            break;
        }
        default: {  // a flush without buses
            ProcessData flush{};
            flush.numSamples = pick(2) ? 0 : 64;
            ParameterChanges changes;
            changes.add(static_cast<ParamID>(pick(20)), 0, 0.5);
            flush.inputParameterChanges = &changes;
            ASSERT_EQ(p.processor->process(flush), kResultOk);
        }
        }
    }
}
