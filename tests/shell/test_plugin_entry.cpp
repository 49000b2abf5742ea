// The entry point and the descriptor, seen from a host that loads the library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/plugin_loader.h"

using namespace plumbra::test;

namespace {

bool allZero(const void* p, std::size_t n)
{
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

}  // namespace

TEST(Entry, LibraryExportsTheEntryPoint)
{
    std::string error;
    EXPECT_NE(loadEntryPoint(kPluginPath, &error), nullptr) << error;
}

TEST(Entry, DescriptorFields)
{
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    const AEffect& e = *plugin.effect();
    EXPECT_EQ(e.magic, 0x56737450);
    EXPECT_EQ(e.numPrograms, 1);
    EXPECT_EQ(e.numParams, 19);
    EXPECT_EQ(e.numInputs, 2);
    EXPECT_EQ(e.numOutputs, 2);
    EXPECT_EQ(e.flags, 0x10);  // replacing processing only
    EXPECT_EQ(e.uniqueID, 0x46415553);  // "FAUS"
    EXPECT_EQ(e.version, 1);
    EXPECT_EQ(e.ioRatio, 1.0f);
    EXPECT_EQ(e.initialDelay, 3552);
    EXPECT_EQ(e.realQualities, 0);
    EXPECT_EQ(e.offQualities, 0);
    EXPECT_EQ(e.resvd1, 0);
    EXPECT_EQ(e.resvd2, 0);
    EXPECT_EQ(e.user, nullptr);
    EXPECT_NE(e.object, nullptr);
    EXPECT_TRUE(allZero(e.future, sizeof(e.future)));
    EXPECT_NE(e.dispatcher, nullptr);
    EXPECT_NE(e.process, nullptr);
    EXPECT_NE(e.setParameter, nullptr);
    EXPECT_NE(e.getParameter, nullptr);
    EXPECT_NE(e.processReplacing, nullptr);
    EXPECT_NE(e.processDoubleReplacing, nullptr);
}

TEST(Entry, DescriptorIsFixedAfterRequests)
{
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    const AEffect before = *plugin.effect();
    plugin.dispatch(effSetSampleRate, 0, 0, nullptr, 96000.0f);
    plugin.dispatch(effSetBlockSize, 0, 64);
    plugin.dispatch(effMainsChanged, 0, 1);
    plugin.setParameter(3, 0.25f);
    plugin.dispatch(effSetProgram, 0, 0);
    EXPECT_EQ(std::memcmp(&before, plugin.effect(), sizeof(AEffect)), 0);
}

TEST(Entry, AsksTheHostForItsVersionOnce)
{
    hostCallLog() = HostCallLog{};
    Plugin plugin(kPluginPath);
    ASSERT_TRUE(plugin);
    EXPECT_EQ(hostCallLog().versionQueries, 1);
    EXPECT_EQ(hostCallLog().calls, 1);  // nothing else is asked of the host
    EXPECT_TRUE(hostCallLog().argumentsWereNeutral);
}

TEST(Entry, HostWithoutVersionGetsNothing)
{
    VstPluginMainProc entry = loadEntryPoint(kPluginPath);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry(&silentHost), nullptr);
    EXPECT_EQ(entry(nullptr), nullptr);  // no callback at all
}

TEST(Entry, InstancesAreIndependent)
{
    Plugin a(kPluginPath);
    Plugin b(kPluginPath);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.effect(), b.effect());
    a.setParameter(5, 0.0f);
    EXPECT_FLOAT_EQ(a.getParameter(5), 0.0f);
    EXPECT_NEAR(b.getParameter(5), (9700.0f - 1000.0f) / 14000.0f, 1e-6f);
    EXPECT_EQ(a.close(), 1);
    EXPECT_NEAR(b.getParameter(5), (9700.0f - 1000.0f) / 14000.0f, 1e-6f);
}

TEST(Entry, CloseAnswersOneAndReleasesEverything)
{
    // Repeated creation and closing; the sanitiser build reports any leak or
    // use after free, the plain build at least checks the answers.
    for (int i = 0; i < 3; ++i) {
        Plugin plugin(kPluginPath);
        ASSERT_TRUE(plugin);
        plugin.setParameter(0, 0.5f);
        EXPECT_EQ(plugin.close(), 1);
        EXPECT_FALSE(plugin);
    }
}

#ifndef _WIN32
// The library's dynamic symbol table holds one defined symbol: the entry point.
TEST(Entry, ExportsOnlyTheEntryPoint)
{
    const std::string command = std::string("nm -D --defined-only '") + kPluginPath + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[256];
    while (std::fgets(chunk, sizeof(chunk), pipe)) output += chunk;
    ASSERT_EQ(pclose(pipe), 0) << output;

    std::set<std::string> names;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto space = line.find_last_of(' ');
        names.insert(space == std::string::npos ? line : line.substr(space + 1));
    }
    EXPECT_EQ(names, std::set<std::string>{"VSTPluginMain"}) << output;
}
#endif
