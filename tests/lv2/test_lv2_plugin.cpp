// The LV2 plug-in as a host sees it through lilv: its ports describe the VST 2
// parameters, its output does not depend on how the host cuts the audio into
// run calls, it leaves the host's floating-point settings alone, bad host
// input gives finite output under the ceiling, and its meter ports show what
// the processor meters.
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/core/lv2.h>
#include <xmmintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "dsp/mydsp.h"
#include "shell/vstui.h"

// The plug-in's allocations are counted: this program replaces the global
// operator new, which the loaded plug-in library binds to as well.
#include "tests/support/counting_new.h"

using plumbra::test::gAllocations;

namespace {

constexpr uint32_t kControls = 4, kLatency = 4 + plumbra::kNumControls, kMeters = kLatency + 1;
constexpr uint32_t kPorts = kMeters + plumbra::kNumMeters;
constexpr float kCeiling = 0.8912509f;  // -1 dBFS

struct World {
    LilvWorld* world = lilv_world_new();
    const LilvPlugin* plugin = nullptr;
    World()
    {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, PLUMBRA_LV2_BUNDLE "/");
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world, PLUMBRA_LV2_URI);
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
    }
    ~World() { lilv_world_free(world); }
};

World& world()
{
    static World w;
    return w;
}

// One instance with its control values; audio ports are connected per call.
struct Instance {
    LilvInstance* instance;
    float controls[kPorts] = {};
    float latency = -1.0f;
    float meters[plumbra::kNumMeters];  // NaN until the plug-in writes them
    explicit Instance(double rate) : instance(lilv_plugin_instantiate(world().plugin, rate, nullptr))
    {
        const LilvPlugin* p = world().plugin;
        std::vector<float> defaults(kPorts);
        lilv_plugin_get_port_ranges_float(p, nullptr, nullptr, defaults.data());
        for (uint32_t i = kControls; i < kLatency; ++i) {
            controls[i] = defaults[i];
            lilv_instance_connect_port(instance, i, &controls[i]);
        }
        lilv_instance_connect_port(instance, kLatency, &latency);
        for (uint32_t i = 0; i < static_cast<uint32_t>(plumbra::kNumMeters); ++i) {
            meters[i] = std::nanf("");
            lilv_instance_connect_port(instance, kMeters + i, &meters[i]);
        }
        lilv_instance_activate(instance);
    }
    ~Instance()
    {
        lilv_instance_deactivate(instance);
        lilv_instance_free(instance);
    }
    void audio(const float* in, float* outL, float* outR)
    {
        lilv_instance_connect_port(instance, 0, const_cast<float*>(in));
        lilv_instance_connect_port(instance, 1, const_cast<float*>(in));
        lilv_instance_connect_port(instance, 2, outL);
        lilv_instance_connect_port(instance, 3, outR);
    }
};

std::vector<float> programme(std::size_t n)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = 0.4f * u(rng) * static_cast<float>(0.5 + 0.5 * std::sin(static_cast<double>(i) * 3e-4)) +
               0.3f * static_cast<float>(std::sin(static_cast<double>(i) * 0.05));
    return x;
}

// Renders in through a fresh instance in run calls of the given sizes (cycled),
// with the host's MXCSR set to mxcsr around each call; checks that its settings
// (rounding, flush-to-zero, denormals-are-zero, exception masks) are restored.
// The sticky exception flags are not settings: any float arithmetic raises them.
std::vector<float> render(const std::vector<float>& in, const std::vector<uint32_t>& blocks, unsigned mxcsr,
                          int control = -1, float value = 0.0f)
{
    Instance p(48000.0);
    if (control >= 0) p.controls[kControls + static_cast<uint32_t>(control)] = value;
    std::vector<float> out(2 * in.size());
    for (std::size_t pos = 0, b = 0; pos < in.size();) {
        const uint32_t n = std::min<uint32_t>(blocks[b++ % blocks.size()], static_cast<uint32_t>(in.size() - pos));
        p.audio(in.data() + pos, out.data() + pos, out.data() + in.size() + pos);
        const unsigned saved = _mm_getcsr();
        _mm_setcsr(mxcsr);
        lilv_instance_run(p.instance, n);
        const unsigned after = _mm_getcsr();
        _mm_setcsr(saved);
        constexpr unsigned kFlags = 0x3f;
        EXPECT_EQ(after & ~kFlags, mxcsr & ~kFlags);
        pos += n;
    }
    EXPECT_EQ(p.latency, static_cast<float>(plumbra::kLatencySamples));
    return out;
}

std::vector<float> render(const std::vector<float>& in, int control = -1, float value = 0.0f)
{
    return render(in, {4096}, _mm_getcsr(), control, value);
}

TEST(Lv2Plugin, PortsDescribeTheVst2Parameters)
{
    const LilvPlugin* p = world().plugin;
    ASSERT_NE(p, nullptr) << "plug-in not found in " PLUMBRA_LV2_BUNDLE;
    ASSERT_EQ(lilv_plugin_get_num_ports(p), kPorts);
    LilvNodes* required = lilv_plugin_get_required_features(p);
    EXPECT_EQ(lilv_nodes_size(required), 0u);
    lilv_nodes_free(required);
    LilvNodes* extensions = lilv_plugin_get_extension_data(p);
    EXPECT_EQ(lilv_nodes_size(extensions), 0u);
    lilv_nodes_free(extensions);

    auto dsp = std::make_unique<plumbra::mydsp>();
    plumbra::vstUI table;
    dsp->declareControls(&table);
    ASSERT_EQ(table.size(), plumbra::kNumControls);
    std::vector<float> mins(kPorts), maxs(kPorts), defaults(kPorts);
    lilv_plugin_get_port_ranges_float(p, mins.data(), maxs.data(), defaults.data());
    LilvNode* toggled = lilv_new_uri(world().world, LV2_CORE__toggled);
    for (uint32_t i = 0; i < static_cast<uint32_t>(table.size()); ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(p, kControls + i);
        char name[plumbra::kMaxParamNameBytes];
        table.at(static_cast<int32_t>(i)).getName(name);
        LilvNode* lv2Name = lilv_port_get_name(p, port);
        EXPECT_STREQ(lilv_node_as_string(lv2Name), name);
        lilv_node_free(lv2Name);
        const auto* slider = dynamic_cast<const plumbra::vstSlider*>(&table.at(static_cast<int32_t>(i)));
        EXPECT_EQ(lilv_port_has_property(p, port, toggled), slider == nullptr) << name;
        if (slider) {
            EXPECT_EQ(mins[kControls + i], slider->min()) << name;
            EXPECT_EQ(maxs[kControls + i], slider->max()) << name;
            EXPECT_EQ(defaults[kControls + i], slider->init()) << name;
        }
    }
    lilv_node_free(toggled);
    EXPECT_EQ(lilv_plugin_get_latency_port_index(p), kLatency);
}

TEST(Lv2Plugin, AnyRunSizeAndHostFloatSettingsGiveTheSameOutput)
{
    const std::vector<float> in = programme(48000);
    const std::vector<float> whole = render(in);
    constexpr unsigned kFlushBoth = 0x9fc0;  // FTZ and DAZ on, as some hosts leave them
    const std::vector<float> cut = render(in, {0, 1, 7, 64, 0, 511, 1, 4096}, kFlushBoth);
    EXPECT_EQ(std::memcmp(whole.data(), cut.data(), whole.size() * sizeof(float)), 0);

    // In place: the host may hand the input's buffer to an output as well.
    Instance p(48000.0);
    std::vector<float> left = in, right(in.size());
    p.audio(left.data(), left.data(), right.data());
    lilv_instance_run(p.instance, static_cast<uint32_t>(in.size()));
    EXPECT_EQ(std::memcmp(whole.data(), left.data(), in.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(whole.data() + in.size(), right.data(), in.size() * sizeof(float)), 0);
}

TEST(Lv2Plugin, ControlValuesAreHeldToTheirRange)
{
    const std::vector<float> in = programme(9600);
    const float inf = std::numeric_limits<float>::infinity();
    const int lowpass = 5, dnrLpf = 18;
    // NaN reads as the default, beyond the range as its end, a switch as on above one half.
    EXPECT_EQ(render(in, lowpass, std::nanf("")), render(in, lowpass, 9700.0f));
    EXPECT_EQ(render(in, lowpass, inf), render(in, lowpass, 15000.0f));
    EXPECT_EQ(render(in, lowpass, -inf), render(in, lowpass, 1000.0f));
    EXPECT_EQ(render(in, dnrLpf, 0.7f), render(in, dnrLpf, 1.0f));
    EXPECT_NE(render(in, dnrLpf, 0.5f), render(in, dnrLpf, 1.0f));
}

TEST(Lv2Plugin, BadHostInputGivesFiniteOutputUnderTheCeiling)
{
    std::vector<float> in = programme(4096);
    in[100] = std::nanf("");
    in[200] = std::numeric_limits<float>::infinity();
    in[300] = -std::numeric_limits<float>::infinity();
    for (const double rate : {0.0, -1.0, std::nan(""), 1e12, 8000.0}) {
        Instance p(rate);
        ASSERT_NE(p.instance, nullptr) << rate;
        for (uint32_t i = kControls; i < kLatency; ++i) p.controls[i] = (i % 2) ? std::nanf("") : -1e30f;
        std::vector<float> outL(in.size(), 9.0f), outR(in.size(), 9.0f);
        lilv_instance_run(p.instance, 64);  // no audio port connected
        p.audio(nullptr, outL.data(), outR.data());
        lilv_instance_run(p.instance, 300);  // no input buffer
        p.audio(in.data(), nullptr, outR.data());
        lilv_instance_run(p.instance, 300);  // no first output buffer
        p.audio(in.data(), outL.data(), outR.data());
        lilv_instance_run(p.instance, static_cast<uint32_t>(in.size()));
        for (std::size_t i = 0; i < in.size(); ++i) {
            ASSERT_TRUE(std::isfinite(outL[i]) && std::isfinite(outR[i])) << "rate " << rate << " frame " << i;
            ASSERT_LE(std::fabs(outL[i]), kCeiling) << "rate " << rate << " frame " << i;
            ASSERT_LE(std::fabs(outR[i]), kCeiling) << "rate " << rate << " frame " << i;
        }
    }
}

// ---- meters ----

constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kLowpass = 5, kThreshold = 11;  // control numbers of "Lowpass Filter", "OutAGC Threshold"

float meter(const Instance& p, int m) { return p.meters[m]; }
float bandMeter(const Instance& p, int band, int which) { return p.meters[plumbra::bandMeter(band, which)]; }

// Feeds n samples of f(first + i) to p in run calls of `block` frames.
void feed(Instance& p, int n, const std::function<float(int)>& f, uint32_t block = 4096, int first = 0)
{
    std::vector<float> in(block), left(block), right(block);
    p.audio(in.data(), left.data(), right.data());
    for (int pos = 0; pos < n;) {
        const uint32_t len = std::min<uint32_t>(block, static_cast<uint32_t>(n - pos));
        for (uint32_t i = 0; i < len; ++i) in[i] = f(first + pos + static_cast<int>(i));
        lilv_instance_run(p.instance, len);
        pos += static_cast<int>(len);
    }
}

float silence(int) { return 0.0f; }

// Each meter is an output control port after the latency port, with the meter
// table's symbol, name and range (its default the bottom of the range) and a
// unit hosts can show: dB for dB and dBFS, Hz for Hz, none for ratios.
TEST(Lv2Meters, PortsDescribeTheMeterTable)
{
    const LilvPlugin* p = world().plugin;
    ASSERT_NE(p, nullptr);
    LilvWorld* w = world().world;
    LilvNode* output = lilv_new_uri(w, LV2_CORE__OutputPort);
    LilvNode* control = lilv_new_uri(w, LV2_CORE__ControlPort);
    LilvNode* unit = lilv_new_uri(w, "http://lv2plug.in/ns/extensions/units#unit");
    std::vector<float> mins(kPorts), maxs(kPorts), defaults(kPorts);
    lilv_plugin_get_port_ranges_float(p, mins.data(), maxs.data(), defaults.data());
    for (int i = 0; i < plumbra::kNumMeters; ++i) {
        const plumbra::MeterDefinition& m = plumbra::kMeterDefinitions[static_cast<std::size_t>(i)];
        const std::string symbol(m.symbolText());
        const uint32_t index = kMeters + static_cast<uint32_t>(i);
        const LilvPort* port = lilv_plugin_get_port_by_index(p, index);
        ASSERT_NE(port, nullptr) << symbol;
        EXPECT_TRUE(lilv_port_is_a(p, port, output) && lilv_port_is_a(p, port, control)) << symbol;
        EXPECT_EQ(lilv_node_as_string(lilv_port_get_symbol(p, port)), symbol);
        LilvNode* name = lilv_port_get_name(p, port);
        EXPECT_EQ(lilv_node_as_string(name), std::string(m.nameText()));
        lilv_node_free(name);
        EXPECT_EQ(mins[index], m.minimum) << symbol;
        EXPECT_EQ(maxs[index], m.maximum) << symbol;
        EXPECT_EQ(defaults[index], m.minimum) << symbol;
        LilvNodes* units = lilv_port_get_value(p, port, unit);
        const std::string given = units && lilv_nodes_size(units) == 1 ? lilv_node_as_uri(lilv_nodes_get_first(units)) : "";
        lilv_nodes_free(units);
        const char* expected = m.unit == plumbra::MeterUnit::kHertz ? "http://lv2plug.in/ns/extensions/units#hz"
                               : m.unit == plumbra::MeterUnit::kRatio ? ""
                                                                      : "http://lv2plug.in/ns/extensions/units#db";
        EXPECT_EQ(given, expected) << symbol;
    }
    lilv_node_free(unit);
    lilv_node_free(control);
    lilv_node_free(output);
}

// A tone at the centre of band k's range (the input lowpass above band 12)
// makes band k's level the highest, its gate open and its gain other than
// with silence; the bands next to it, whose filters overlap band k's by their
// slopes, read a few dB lower, every other band far below.
TEST(Lv2Meters, AToneInEachBandRaisesThatBandsLevel)
{
    constexpr int kRate = 48000, kLength = kRate * 3 / 2;
    Instance quiet(kRate);
    quiet.controls[kControls + kLowpass] = 15000.0f;
    feed(quiet, kLength, silence);
    std::printf("band  tone Hz  level dBFS  next highest  by dB  others by dB  gain dB (silence)\n");
    for (int band = 1; band <= plumbra::kNumBands; ++band) {
        const plumbra::BandDefinition& d = plumbra::bandDefinition(band);
        const double f = std::sqrt(static_cast<double>(d.lowHz) * d.highHz);
        Instance p(kRate);
        p.controls[kControls + kLowpass] = 15000.0f;
        feed(p, kLength, [&](int i) { return static_cast<float>(0.25 * std::sin(2.0 * kPi * f * i / kRate)); });
        const float own = bandMeter(p, band, plumbra::kBandLevel);
        float next = plumbra::kMeterFloorDb, far = plumbra::kMeterFloorDb;
        int nextBand = 0;
        for (int b = 1; b <= plumbra::kNumBands; ++b) {
            const float level = bandMeter(p, b, plumbra::kBandLevel);
            if (b != band && level > next) {
                next = level;
                nextBand = b;
            }
            if (std::abs(b - band) > 1) far = std::max(far, level);
        }
        const float gain = bandMeter(p, band, plumbra::kBandGainHigh);
        const float quietGain = bandMeter(quiet, band, plumbra::kBandGainHigh);
        std::printf("%4d %8.0f %11.1f %13d %6.1f %13.1f %8.1f (%.1f)\n", band, f, own, nextBand, own - next, own - far,
                    gain, quietGain);
        EXPECT_GT(own - next, 2.5f) << "band " << band;
        EXPECT_GT(own - far, 12.0f) << "band " << band;
        EXPECT_GT(own, -20.0f) << "band " << band;
        EXPECT_GT(bandMeter(p, band, plumbra::kBandGate), plumbra::kGateClosedBelow) << "band " << band;
        EXPECT_GT(std::fabs(gain - quietGain), 1.0f) << "band " << band;
        EXPECT_LE(bandMeter(p, band, plumbra::kBandGainLow), gain) << "band " << band;
    }
}

// Programme opens the gates and silence closes them; the input meters read the
// run's peak; a loud square wave at the lowest threshold makes the output gain
// control reduce its gain, which at the default threshold a moderate tone does not.
TEST(Lv2Meters, SilenceClosesTheGatesAndALoudBurstShowsLimiting)
{
    constexpr int kRate = 48000;
    Instance p(kRate);
    feed(p, kRate, [](int i) { return static_cast<float>(0.5 * std::sin(2.0 * kPi * 997.0 * i / kRate)); }, 480);
    EXPECT_GT(bandMeter(p, 5, plumbra::kBandGate), 0.95f);  // 997 Hz: band 5
    EXPECT_NEAR(meter(p, plumbra::kMeterInputPeak), -6.02f, 0.05f);
    EXPECT_EQ(meter(p, plumbra::kMeterLimiterReduction), 0.0f);

    feed(p, 2 * kRate, silence, 480);
    for (int b = 1; b <= plumbra::kNumBands; ++b)
        EXPECT_LT(bandMeter(p, b, plumbra::kBandGate), plumbra::kGateClosedBelow) << "band " << b;
    EXPECT_EQ(meter(p, plumbra::kMeterInputPeak), plumbra::kMeterFloorDb);
    EXPECT_EQ(meter(p, plumbra::kMeterInputRms), plumbra::kMeterFloorDb);

    p.controls[kControls + kThreshold] = -12.0f;
    auto square = [](int i) { return std::sin(2.0 * kPi * 100.0 * i / kRate) > 0.0 ? 1.0f : -1.0f; };
    float largest = 0.0f, loudest = plumbra::kMeterFloorDb;
    for (int k = 0; k < 200; ++k) {
        feed(p, 512, square, 512, 512 * k);
        largest = std::max(largest, meter(p, plumbra::kMeterLimiterReduction));
        loudest = std::max(loudest, meter(p, plumbra::kMeterOutputPeak));
    }
    std::printf("limiter gain reduction on a full-scale square wave: %.2f dB, output peak %.2f dBFS\n", largest,
                loudest);
    EXPECT_GT(largest, 1.0f);
    EXPECT_LE(largest, 25.0f);
    EXPECT_LE(loudest, -0.99f);  // the ceiling, -1 dBFS
    EXPECT_GT(loudest, -1.5f);
    EXPECT_EQ(meter(p, plumbra::kMeterInputPeak), 0.0f);
}

// The processor fed as the host feeds the plug-in, with its meters read after each block.
struct Reference {
    std::unique_ptr<plumbra::mydsp> dsp = std::make_unique<plumbra::mydsp>();
    explicit Reference(int rate) { dsp->initialise(rate); }
    plumbra::MeterSnapshot block(const float* in, uint32_t n)
    {
        std::vector<float> a(n), b(n);
        float* ins[2] = {const_cast<float*>(in), const_cast<float*>(in)};
        float* outs[2] = {a.data(), b.data()};
        dsp->processBlock(static_cast<int32_t>(n), ins, outs);
        return dsp->meters().read();
    }
};

// After every run call each connected meter port holds the processor's meter
// of that run's audio, bit for bit; a port the host left unconnected is not
// written, and a run of no frames leaves the ports as they were.
TEST(Lv2Meters, PortsShowTheProcessorsOwnMetersForEachRun)
{
    constexpr int kRate = 48000;
    const std::vector<float> in = programme(3 * kRate);
    Instance p(kRate);
    Reference r(kRate);
    const std::vector<uint32_t> blocks = {1, 7, 64, 0, 511, 256, 4096, 1000, 3};
    std::vector<float> left(in.size()), right(in.size());
    constexpr int kUnconnected = plumbra::bandMeter(4, plumbra::kBandGate);
    constexpr float kUntouched = 777.0f;
    std::size_t calls = 0;
    for (std::size_t pos = 0; pos < in.size(); ++calls) {
        const uint32_t n = std::min<uint32_t>(blocks[calls % blocks.size()], static_cast<uint32_t>(in.size() - pos));
        if (calls == 20) {
            lilv_instance_connect_port(p.instance, kMeters + kUnconnected, nullptr);
            p.meters[kUnconnected] = kUntouched;
        }
        p.audio(in.data() + pos, left.data() + pos, right.data() + pos);
        if (n == 0) {
            float before[plumbra::kNumMeters];
            std::copy(std::begin(p.meters), std::end(p.meters), before);
            std::fill(std::begin(p.meters), std::end(p.meters), 12345.0f);
            lilv_instance_run(p.instance, 0);
            for (int m = 0; m < plumbra::kNumMeters; ++m) ASSERT_EQ(p.meters[m], 12345.0f) << "meter " << m;
            std::copy(std::begin(before), std::end(before), p.meters);
            continue;
        }
        lilv_instance_run(p.instance, n);
        const plumbra::MeterSnapshot s = r.block(in.data() + pos, n);
        for (int m = 0; m < plumbra::kNumMeters; ++m) {
            const float expected = calls >= 20 && m == kUnconnected ? kUntouched : s.values[static_cast<std::size_t>(m)];
            ASSERT_EQ(std::memcmp(&p.meters[m], &expected, sizeof expected), 0)
                << "run " << calls << " (" << n << " frames), meter "
                << plumbra::kMeterDefinitions[static_cast<std::size_t>(m)].symbolText() << ": " << p.meters[m]
                << " against " << expected;
        }
        pos += n;
    }
    EXPECT_GT(calls, 20u);
}

// Writing the meters allocates nothing, in one piece or in stand-in pieces;
// the count does see the plug-in's own allocations (its instance).
TEST(Lv2Meters, RunsWithMetersAllocateNothing)
{
    const long before = gAllocations.load();
    Instance p(48000.0);
    EXPECT_GT(gAllocations.load(), before) << "the plug-in's allocations are not counted";
    const std::vector<float> in = programme(8192);
    std::vector<float> left(in.size()), right(in.size());
    const long start = gAllocations.load();
    p.audio(in.data(), left.data(), right.data());
    lilv_instance_run(p.instance, 4096);
    p.audio(in.data() + 4096, nullptr, right.data());
    lilv_instance_run(p.instance, 4096);
    EXPECT_EQ(gAllocations.load(), start);
    EXPECT_FALSE(std::isnan(meter(p, plumbra::kMeterOutputPeak)));
}

// With an audio port unconnected the plug-in processes a run in pieces; its
// meters still cover the whole run, as the processor meters it in one block:
// the lowest and highest gains and the peaks over the run, the RMS of the
// whole run, the rest at its end.
TEST(Lv2Meters, ARunInPiecesIsMeteredAsAWhole)
{
    constexpr int kRate = 48000;
    constexpr uint32_t kRun = 1000;  // several stand-in pieces
    std::vector<float> in = programme(2 * kRate);
    for (std::size_t i = 0; i < in.size(); ++i)
        if ((i / kRun) % 3 == 1 && i % kRun < 100) in[i] *= 3.0f;  // a burst at the start of some runs
    for (const bool noInput : {false, true}) {
        Instance p(kRate);
        Reference r(kRate);
        const std::vector<float> zeros(kRun);
        std::vector<float> left(kRun);
        for (std::size_t pos = 0; pos + kRun <= in.size(); pos += kRun) {
            const float* run = noInput ? zeros.data() : in.data() + pos;
            p.audio(noInput ? nullptr : run, left.data(), nullptr);
            lilv_instance_run(p.instance, kRun);
            const plumbra::MeterSnapshot s = r.block(run, kRun);
            for (int m = 0; m < plumbra::kNumMeters; ++m) {
                const float expected = s.values[static_cast<std::size_t>(m)];
                const float tolerance = m == plumbra::kMeterInputRms ? 1e-4f : 0.0f;
                ASSERT_NEAR(p.meters[m], expected, tolerance)
                    << (noInput ? "no input, " : "") << "frame " << pos << ", meter "
                    << plumbra::kMeterDefinitions[static_cast<std::size_t>(m)].symbolText();
            }
        }
    }
}

}  // namespace
