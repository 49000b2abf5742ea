// The LV2 plug-in as a host sees it through lilv: its ports describe the VST 2
// parameters, its output does not depend on how the host cuts the audio into
// run calls, it leaves the host's floating-point settings alone, and bad host
// input gives finite output under the ceiling.
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/core/lv2.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/mydsp.h"
#include "shell/vstui.h"

namespace {

constexpr uint32_t kControls = 4, kLatency = 4 + plumbra::kNumControls, kPorts = kLatency + 1;
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

}  // namespace
