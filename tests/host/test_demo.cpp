// plumbra demo: the demo programme and its renders.
#include <gtest/gtest.h>

#if defined(PLUMBRA_HOST_PATH) && !defined(_WIN32)

#include "host/plumbra_run.h"

namespace {

TEST(PlumbraDemo, RendersAreBitIdenticalAndTheProgrammeHasItsPassages)
{
    TempDir dir;
    ASSERT_EQ(runHost({"render", "--demo", dir / "a.wav", "--demo-length", "1", "--format", "float", "--quiet"}, dir).code, 0);
    ASSERT_EQ(runHost({"render", "--demo", dir / "b.wav", "--demo-length", "1", "--format", "float", "--quiet"}, dir).code, 0);
    const Audio a = readAudio(dir / "a.wav"), b = readAudio(dir / "b.wav");
    ASSERT_EQ(a.frames, 44100);
    EXPECT_TRUE(bitEqual(a.data, b.data));

    // The unprocessed programme: 30 s, with a loud passage, a quiet one and a near-silent pause.
    ASSERT_EQ(runHost({"demo", dir / "dry.wav", "--format", "float"}, dir).code, 0);
    const Audio dry = readAudio(dir / "dry.wav");
    ASSERT_EQ(dry.frames, 30 * 44100);
    auto peakDb = [&](double from, double to) {
        float p = 0;
        for (auto i = static_cast<size_t>(from * 44100); i < static_cast<size_t>(to * 44100); ++i)
            p = std::max(p, std::fabs(dry.data[i]));
        return 20 * std::log10(std::max(p, 1e-10f));
    };
    EXPECT_NEAR(peakDb(0.0, 6.0), -16.0, 0.1);   // quiet speech
    EXPECT_NEAR(peakDb(6.0, 12.0), -3.0, 0.1);   // loud speech
    EXPECT_LT(peakDb(12.1, 13.9), -55.0);        // pause
    EXPECT_NEAR(peakDb(14.0, 20.0), -2.0, 0.1);  // loud bright music
    EXPECT_NEAR(peakDb(20.0, 26.0), -22.0, 0.1); // quiet dull music
}

}  // namespace

#else

TEST(Plumbra, NotBuiltHere)
{
    GTEST_SKIP() << "the plumbra host is not built for this toolchain";
}

#endif
