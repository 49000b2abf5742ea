// The tables that describe the processor (controls, bands, meters) stand on
// their own: they compile without any processing or SIMD header, so that the
// web server, the live engine and the plug-in glue that only read them compile
// none. And the control table's identifiers are the ones hosts already know.
#include "dsp/bands.h"
#include "dsp/control_table.h"
#include "dsp/meters.h"

// GCC's and Clang's guards of the SSE2 header.
#if defined(_EMMINTRIN_H_INCLUDED) || defined(__EMMINTRIN_H)
#error "a data header pulls in SIMD code"
#endif

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

namespace {

using plumbra::kControlSpecs;
using plumbra::kNumControls;

// The identifiers as LV2 hosts, saved sessions and remote clients know them: the
// label's letters and digits in lower case, each run of other characters one '_'.
std::string symbolOfLabel(const std::string& label)
{
    std::string s;
    bool gap = false;
    for (unsigned char c : label) {
        if (std::isalnum(c)) {
            if (gap && !s.empty()) s += '_';
            s += static_cast<char>(std::tolower(c));
            gap = false;
        } else {
            gap = true;
        }
    }
    return s;
}

std::string lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(ControlTable, SymbolsAreTheLabelsIdentifiersAndEveryNameIsUnique)
{
    std::set<std::string> names;
    for (int i = 0; i < kNumControls; ++i) {
        const auto& c = kControlSpecs[i];
        EXPECT_EQ(std::string(c.symbol), symbolOfLabel(c.label)) << c.label;
        // No name stands for two controls, in any case, nor looks like an index.
        EXPECT_TRUE(names.insert(lower(c.label)).second) << c.label;
        EXPECT_TRUE(names.insert(c.symbol).second) << c.symbol;
        EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(c.label[0]))) << c.label;
        EXPECT_GE(static_cast<int>(c.group), 0);
        EXPECT_LT(static_cast<int>(c.group), plumbra::kNumControlGroups);
        EXPECT_TRUE(c.min <= c.init && c.init <= c.max) << c.label;
        EXPECT_EQ(c.toggle, c.min == 0.0f && c.max == 1.0f && c.step == 0.0f) << c.label;
    }
    // Every group holds a control.
    for (int g = 0; g < plumbra::kNumControlGroups; ++g) {
        int n = 0;
        for (const auto& c : kControlSpecs) n += static_cast<int>(c.group) == g ? 1 : 0;
        EXPECT_GT(n, 0) << plumbra::kControlGroupNames[static_cast<std::size_t>(g)];
    }
}

}  // namespace
