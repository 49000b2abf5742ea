// The backup file player on a folder the test writes: a mono file at 44.1 kHz
// (resampled), a stereo file at 48 kHz (passed as it is), a file that is no
// audio at all (skipped with its reason), played in name order in a loop.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "host/live/backup_files.h"
#include "support/counting_new.h"

namespace {

namespace fs = std::filesystem;
using plumbra::host::live::BackupFiles;

constexpr int kMonoFrames = 22050;    // 0.5 s at 44.1 kHz
constexpr int kStereoFrames = 12000;  // 0.25 s at 48 kHz
constexpr double kPi = 3.14159265358979323846;

using plumbra::test::allocationsSoFar;

void writeWav(const fs::path& path, int rate, int channels, const std::vector<float>& interleaved)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size()) / channels);
    sf_close(f);
}

float stereoSample(int i, int channel)
{
    // Every frame different, and no value the resampled sine could produce by chance.
    return channel == 0 ? 0.9f - static_cast<float>(i) / 16384.0f : static_cast<float>(i % 1000) / 1024.0f - 0.75f;
}

struct Folder {
    fs::path dir = fs::temp_directory_path() / ("plumbra_backup_test_" + std::to_string(::getpid()));
    Folder()
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Folder() { fs::remove_all(dir); }
};

// Reads everything the player has, waiting for more, until `frames` are there.
void collect(BackupFiles& player, std::vector<float>& left, std::vector<float>& right, std::size_t frames)
{
    std::vector<float> l(512), r(512);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (left.size() < frames && std::chrono::steady_clock::now() < deadline) {
        const int n = player.read(l.data(), r.data(), 512);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 512);
        for (int i = n; i < 512; ++i)
            ASSERT_TRUE(l[static_cast<std::size_t>(i)] == 0.0f && r[static_cast<std::size_t>(i)] == 0.0f);
        left.insert(left.end(), l.begin(), l.begin() + n);
        right.insert(right.end(), r.begin(), r.begin() + n);
        if (n < 512) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(left.size(), frames);
}

TEST(BackupFiles, AFolderPlaysInNameOrderLoopingResampledWhereNeeded)
{
    Folder folder;
    std::vector<float> mono(kMonoFrames);
    for (int i = 0; i < kMonoFrames; ++i)
        mono[static_cast<std::size_t>(i)] = static_cast<float>(0.5 * std::sin(2 * kPi * 1000.0 * i / 44100.0));
    std::vector<float> stereo(2 * kStereoFrames);
    for (int i = 0; i < kStereoFrames; ++i) {
        stereo[static_cast<std::size_t>(2 * i)] = stereoSample(i, 0);
        stereo[static_cast<std::size_t>(2 * i + 1)] = stereoSample(i, 1);
    }
    writeWav(folder.dir / "01 sine.wav", 44100, 1, mono);
    writeWav(folder.dir / "02 pattern.wav", 48000, 2, stereo);
    std::ofstream(folder.dir / "03 notes.wav") << "not audio";
    std::ofstream(folder.dir / ".hidden.wav") << "not audio either";

    auto opened = BackupFiles::open(folder.dir.string(), 48000);
    ASSERT_TRUE(opened.ok()) << opened.status().reason;
    BackupFiles& player = *opened.value();
    const std::vector<std::string> problems = player.takeProblems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("03 notes.wav: ", 0), 0u) << problems[0];
    EXPECT_EQ(player.lastProblem(), problems[0]);
    EXPECT_TRUE(player.takeProblems().empty());

    // Nothing decoded yet: silence, at once.
    std::vector<float> l(256, 1.0f), r(256, 1.0f);
    EXPECT_EQ(player.read(l.data(), r.data(), 256), 0);
    EXPECT_EQ(l, std::vector<float>(256, 0.0f));
    EXPECT_EQ(r, std::vector<float>(256, 0.0f));

    player.start();
    std::vector<float> left, right;
    const std::size_t resampledFrames = 24000;  // 0.5 s at 48 kHz
    collect(player, left, right, 2 * (resampledFrames + kStereoFrames) + 1000);
    player.stop();

    // The stereo file comes through exactly; find it.
    auto stereoAt = [&](std::size_t from) {
        for (std::size_t p = from; p + kStereoFrames <= left.size(); ++p) {
            bool same = true;
            for (int i = 0; i < kStereoFrames && same; ++i)
                same = left[p + static_cast<std::size_t>(i)] == stereoSample(i, 0) &&
                       right[p + static_cast<std::size_t>(i)] == stereoSample(i, 1);
            if (same) return p;
        }
        return left.size();
    };
    const std::size_t first = stereoAt(0);
    ASSERT_LT(first, left.size()) << "the stereo file is not in the output";
    // Before it, the mono file at 48 kHz: its length and its sine, on both channels.
    EXPECT_NEAR(static_cast<double>(first), static_cast<double>(resampledFrames), 2.0);
    double worst = 0.0;
    for (std::size_t i = 0; i < first; ++i) {
        ASSERT_EQ(left[i], right[i]) << i;
        if (i < 100 || i + 100 > first) continue;  // the resampler's edges
        worst =
            std::max(worst, std::abs(left[i] - 0.5 * std::sin(2 * kPi * 1000.0 * static_cast<double>(i) / 48000.0)));
    }
    EXPECT_LT(worst, 1e-3);
    // Then the loop again: the same mono file, the same stereo file.
    const std::size_t second = stereoAt(first + kStereoFrames);
    ASSERT_EQ(second, first + kStereoFrames + first);
    for (std::size_t i = 0; i < first; ++i) ASSERT_EQ(left[first + kStereoFrames + i], left[i]) << i;
}

TEST(BackupFiles, ReadNeverWaitsAndReturnsWhatThereIsWhenStarved)
{
    Folder folder;
    std::vector<float> mono(4800, 0.25f);
    writeWav(folder.dir / "short.wav", 48000, 1, mono);
    auto opened = BackupFiles::open((folder.dir / "short.wav").string(), 48000);
    ASSERT_TRUE(opened.ok()) << opened.status().reason;
    BackupFiles& player = *opened.value();
    player.start();
    // Let the decoder fill the ring, then stop it: what is left drains and then runs out.
    std::vector<float> l(48000), r(48000);
    std::size_t got = 0;
    for (int tries = 0; tries < 3000 && got == 0; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        got = static_cast<std::size_t>(player.read(l.data(), r.data(), 1));
    }
    ASSERT_EQ(got, 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    player.stop();
    std::size_t total = 0;
    const long allocated = allocationsSoFar();
    for (;;) {
        const int n = player.read(l.data(), r.data(), 48000);  // with the decoder stopped: returns at once or never
        for (int i = 0; i < n; ++i) ASSERT_EQ(l[static_cast<std::size_t>(i)], 0.25f);
        for (int i = n; i < 48000; ++i) ASSERT_EQ(l[static_cast<std::size_t>(i)], 0.0f);
        if (n < 48000) break;
        total += 48000;
    }
    EXPECT_GE(total, 48000u);  // a ring of seconds was full ahead
    EXPECT_EQ(player.read(l.data(), r.data(), 256), 0);
    EXPECT_EQ(allocationsSoFar(), allocated);  // reading allocates nothing
}

TEST(BackupFiles, NothingPlayableFailsToOpenWithAReason)
{
    Folder folder;
    const auto missing = BackupFiles::open((folder.dir / "absent").string(), 48000);
    EXPECT_FALSE(missing.ok());
    EXPECT_NE(missing.status().reason.find("absent"), std::string::npos) << missing.status().reason;

    std::ofstream(folder.dir / "broken.flac") << "not audio";
    const auto broken = BackupFiles::open(folder.dir.string(), 48000);
    EXPECT_FALSE(broken.ok());
    EXPECT_NE(broken.status().reason.find("broken.flac"), std::string::npos) << broken.status().reason;
}

}  // namespace
