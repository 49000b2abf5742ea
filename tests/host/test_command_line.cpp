// plumbra's command line: mistakes refused with one line, and --help.
#include <gtest/gtest.h>

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include "host/plumbra_run.h"

namespace {

TEST(PlumbraCommandLine, MistakesAreRefusedWithTheOptionAsWrittenAndTheCommandItMisses)
{
    TempDir dir;
    const std::string help = " (plumbra --help shows the usage)\n";
    const std::string one = " does not apply to plumbra render IN OUT (-j, --ext, --overwrite and --skip-existing go with -o DIR)";
    const std::string batch = " does not apply to plumbra render -o (a batch; --plot and --demo take one file)";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"render", "a", "b", "--louder"}, "unknown option --louder"},
        {{"render", "a", "b", "--quiet=1"}, "--quiet takes no value"},
        {{"render", "a", "b", "--set"}, "--set needs a value"},
        {{"render", "a", "-o"}, "-o needs a value"},
        {{"render", "a", "-o", "out", "-j", "0"}, "-j wants a number from 1 to 64, not \"0\""},
        {{"render", "a", "-oout", "--jobs=2x"}, "-j wants a number from 1 to 64, not \"2x\""},
        {{"render", "a", "-oout", "-j65"}, "-j wants a number from 1 to 64, not \"65\""},
        {{"render", "a", "b", "-j", "2"}, "-j" + one},
        {{"render", "a", "b", "--jobs", "2"}, "--jobs" + one},
        {{"render", "a", "-o", "out", "--plot", "p.svg"}, "--plot" + batch},
        {{"render", "a", "b", "--preset"}, "--preset needs a file"},
        {{"render", "a", "b", "--demo-length", "3"}, "--demo-length applies to --demo only"},
        {{"analyze", "x", "--plugin", "y"}, "--plugin does not apply to plumbra analyze"},
        {{"analyze", "x", "--json", "--csv"}, "--json and --csv exclude each other"},
        {{"demo", "x.wav", "--set", "a=1"}, "--set does not apply to plumbra demo"},
        {{"params", "--json"}, "--json does not apply to plumbra params"},
        {{"info", "--version"}, "--version does not apply to plumbra info"},
        {{"mix"}, "unknown command \"mix\""},
    };
    for (const auto& [args, message] : cases) {
        HostRun r = runHost(args, dir);
        EXPECT_EQ(r.code, 2) << message;
        EXPECT_EQ(r.err, "plumbra: " + message + help);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(dir.entries().empty());
}

TEST(PlumbraCommandLine, HelpDescribesEveryOptionInColumnsAndEachOneParses)
{
    TempDir dir;
    HostRun help = runHost({"--help"}, dir);
    ASSERT_EQ(help.code, 0);
    for (const auto& same : std::vector<std::vector<std::string>>{{"-h"}, {"help", "--bogus"}, {"analyze", "x", "-h"}})
        EXPECT_EQ(runHost(same, dir).out, help.out) << same[0];
    const size_t from = help.out.find("\nrender options:\n"), to = help.out.find("\nOutput is");
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    std::istringstream sections(help.out.substr(from + 1, to - from - 1));
    std::vector<std::string> names;
    for (std::string line; std::getline(sections, line);) {
        if (line.empty() || line.back() == ':' || line.rfind("  A single", 0) == 0) continue;
        ASSERT_GE(line.size(), 24u) << line;
        EXPECT_EQ(line.substr(0, 2), "  ") << line;
        EXPECT_NE(line[23], ' ') << "descriptions start in column 23: " << line;
        EXPECT_EQ(line[22], ' ') << line;
        std::istringstream label(line.substr(2, 20));
        for (std::string word; label >> word;)
            if (word[0] == '-') names.push_back(word.back() == ',' ? word.substr(0, word.size() - 1) : word);
    }
    EXPECT_EQ(names.size(), 32u);  // --target and --true-peak for render and for analyze; --max-gain, --manifest,
                                   // --shard, --shards, --report-dir and --album for render
    for (const auto& name : names) {
        HostRun r = runHost({"params", name, "1"}, dir);
        EXPECT_EQ(r.err.find("unknown option"), std::string::npos) << name << ": " << r.err;
    }
}


}  // namespace

#else

TEST(Plumbra, NotBuiltHere)
{
    GTEST_SKIP() << "the plumbra host is not built for this toolchain";
}

#endif
