// The terminal view over a fake remote: bars that follow the gains, the gate
// marks, the source, the last events, and no line wider than the terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "host/live/terminal_view.h"

// After the processor's headers: the terminal's B0.. baud macros would clash with them.
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using namespace plumbra;
using namespace plumbra::host::live;
using plumbra::host::remote::EventRecord;
using plumbra::host::remote::LiveStatus;
using plumbra::host::remote::LoudnessReading;

class FakeRemote final : public Remote {
public:
    LiveStatus st;
    MeterSnapshot m{};
    LoudnessReading loud{-23.0, -22.5, -23.1, -1.2, -18.0};
    std::vector<EventRecord> events;

    LiveStatus status() const override { return st; }
    MeterSnapshot meters() const override { return m; }
    LoudnessReading loudness() const override { return loud; }
    std::vector<float> controls() const override { return {}; }
    bool applyControls(const std::vector<std::pair<int, float>>&, const std::string&) override { return false; }
    std::vector<EventRecord> eventsSince(uint64_t since) const override
    {
        std::vector<EventRecord> out;
        for (const EventRecord& e : events)
            if (e.seq > since) out.push_back(e);
        return out;
    }
    void logEvent(const std::string&, const nlohmann::ordered_json&) override {}
};

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// Characters on screen: UTF-8 sequences count once.
int width(const std::string& line)
{
    return static_cast<int>(
        std::count_if(line.begin(), line.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

FakeRemote busyRemote()
{
    FakeRemote r;
    r.st.source = "backup";
    r.st.preset = "speech";
    r.st.audio = "alsa hw:0 -> hw:1";
    r.st.rate = 48000;
    r.st.period = 256;
    r.st.uptimeSeconds = 3661.5;
    r.st.xruns = 3;
    for (int b = 1; b <= kNumBands; ++b) {
        const float g = -30.0f + 6.0f * static_cast<float>(b);  // -24 .. +42 dB
        r.m.values[static_cast<std::size_t>(bandMeter(b, kBandGainLow))] = g;
        r.m.values[static_cast<std::size_t>(bandMeter(b, kBandGainHigh))] = b == 5 ? g + 20.0f : g;
        r.m.values[static_cast<std::size_t>(bandMeter(b, kBandGate))] = b == 3 ? 0.2f : 1.0f;
    }
    r.m.values[kMeterLimiterReduction] = 5.0f;
    for (uint64_t s = 1; s <= 7; ++s)
        r.events.push_back(
            {s, {{"event", "e" + std::to_string(s)}, {"detail", "caf\xc3\xa9 " + std::string(200, 'x')}}});
    return r;
}

TEST(TerminalView, BarsFollowTheGainsWithSourceGatesAndLastEvents)
{
    const FakeRemote remote = busyRemote();
    TerminalView view(remote, nullptr, 80);
    const std::vector<std::string> lines = split(view.frame());

    std::vector<std::string> bands;
    for (const std::string& l : lines)
        if (l.rfind("Band ", 0) == 0) bands.push_back(l);
    ASSERT_EQ(bands.size(), 12u);

    // Bar lengths grow with the gain, in proportion to the meter's range.
    int previous = -1;
    for (int b = 1; b <= kNumBands; ++b) {
        const std::string& l = bands[static_cast<std::size_t>(b - 1)];
        const std::size_t open = l.find('['), close = l.find(']');
        ASSERT_NE(close, std::string::npos) << l;
        const std::string bar = l.substr(open + 1, close - open - 1);
        const int full = static_cast<int>(std::count(bar.begin(), bar.end(), '#'));
        const int spread = static_cast<int>(std::count(bar.begin(), bar.end(), '='));
        const float expected = (6.0f * static_cast<float>(b)) / 80.0f * static_cast<float>(bar.size());
        EXPECT_NEAR(full, expected, 1.0) << l;
        EXPECT_GT(full, previous) << l;
        previous = full;
        // Band 5's gain moved by 20 dB within the block: a quarter of the bar.
        if (b == 5)
            EXPECT_NEAR(spread, static_cast<double>(bar.size()) / 4.0, 1.0) << l;
        else
            EXPECT_EQ(spread, 0) << l;
        EXPECT_EQ(l.find("gated") != std::string::npos, b == 3) << l;
        char value[16];
        std::snprintf(value, sizeof value, "%+6.1f dB",
                      static_cast<double>(-30.0f + 6.0f * static_cast<float>(b) + (b == 5 ? 20.0f : 0.0f)));
        EXPECT_NE(l.find(value), std::string::npos) << l;
    }

    const std::string text = view.frame();
    EXPECT_NE(text.find("on air: backup"), std::string::npos);
    EXPECT_NE(text.find("preset: speech"), std::string::npos);
    EXPECT_NE(text.find("up 1:01:01   xruns 3"), std::string::npos);
    EXPECT_NE(text.find("alsa hw:0 -> hw:1   48000 Hz, 256 frames"), std::string::npos);
    EXPECT_NE(text.find("-23.1 LUFS"), std::string::npos);
    EXPECT_NE(text.find(" 5.0 dB"), std::string::npos);  // limiter
    // The last five events, oldest first.
    EXPECT_EQ(text.find("\"e2\""), std::string::npos);
    std::size_t at = 0;
    for (int s = 3; s <= 7; ++s) {
        const std::size_t found = text.find("\"e" + std::to_string(s) + "\"");
        ASSERT_NE(found, std::string::npos) << s;
        EXPECT_GT(found, at);
        at = found;
    }
}

TEST(TerminalView, LinesNeverExceedTheColumnsAndRedrawsInPlace)
{
    FakeRemote remote = busyRemote();
    remote.st.preset = std::string(300, 'p');
    remote.st.audio = std::string(300, 'a');
    remote.loud = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN(), -1e300, 1e300,
                   -1e9};
    remote.m.values[kMeterLimiterReduction] = 1e30f;
    remote.m.values[static_cast<std::size_t>(bandMeter(1, kBandGainHigh))] = std::numeric_limits<float>::quiet_NaN();
    remote.m.values[static_cast<std::size_t>(bandMeter(2, kBandGainHigh))] = -1e30f;
    remote.events.push_back({8, {{"event", "bell\x07\ttab"}, {"bytes", "\xff\xfe not UTF-8"}}});
    for (int columns : {20, 40, 80, 132}) {
        TerminalView view(remote, nullptr, columns);
        const std::vector<std::string> lines = split(view.frame());
        EXPECT_GE(lines.size(), 12u + 6u);
        for (const std::string& l : lines) {
            EXPECT_LE(width(l), columns) << l;
            for (char c : l) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << l;
        }
    }

    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    TerminalView view(remote, out, 80);
    view.draw();
    const long first = std::ftell(out);
    view.draw();
    view.close();
    const long total = std::ftell(out);
    std::rewind(out);
    std::string written(static_cast<std::size_t>(total), '\0');
    written.resize(std::fread(written.data(), 1, written.size(), out));
    std::fclose(out);
    // The screen is cleared once; afterwards each frame starts at home and
    // clears what it does not overwrite, line by line.
    const std::string second = written.substr(static_cast<std::size_t>(first));
    EXPECT_EQ(written.rfind("\x1b[?25l\x1b[2J\x1b[H", 0), 0u);
    EXPECT_EQ(second.rfind("\x1b[H", 0), 0u);
    EXPECT_EQ(second.find("\x1b[2J"), std::string::npos);
    const std::size_t lines = split(view.frame()).size();
    std::size_t cleared = 0;
    for (std::size_t p = second.find("\x1b[K\n"); p != std::string::npos; p = second.find("\x1b[K\n", p + 1)) ++cleared;
    EXPECT_EQ(cleared, lines);
    EXPECT_NE(second.find("\x1b[J\x1b[?25h"), std::string::npos);  // cleared below, cursor back
}

TEST(TerminalView, ATerminalSmallerThanAskedGetsWhatFits)
{
    int master = -1, slave = -1;
    winsize ws{};
    ws.ws_col = 50;
    ws.ws_row = 10;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
    std::FILE* out = fdopen(slave, "w");
    ASSERT_NE(out, nullptr);
    const FakeRemote remote = busyRemote();
    TerminalView view(remote, out, 120);
    view.draw();
    std::fclose(out);
    std::string seen;
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) seen.append(buf, static_cast<std::size_t>(n));
    ::close(master);
    // Without the control sequences (and the terminal's CR before each LF):
    // nine lines, none wider than 50.
    std::string text;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (seen[i] == '\x1b') {
            while (i < seen.size() && !std::isalpha(static_cast<unsigned char>(seen[i]))) ++i;
            continue;
        }
        if (seen[i] != '\r') text += seen[i];
    }
    const std::vector<std::string> lines = split(text);
    EXPECT_EQ(lines.size(), 9u);
    for (const std::string& l : lines) EXPECT_LE(width(l), 50) << l;
    EXPECT_EQ(split(view.frame()).size(), 5u + 12u + 1u + 5u);  // the text itself stays whole: heads, bands, events
}

// The session stops when the view's terminal goes (its window closed): the view tells.
TEST(TerminalView, TellsWhenItsTerminalHangsUp)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::FILE* out = fdopen(slave, "w");
    ASSERT_NE(out, nullptr);
    const FakeRemote remote = busyRemote();
    TerminalView view(remote, out, 80);
    view.draw();
    EXPECT_FALSE(view.hungUp());
    ::close(master);
    EXPECT_TRUE(view.hungUp());
    view.draw();  // writing to it does no harm
    std::fclose(out);

    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    TerminalView onFile(remote, file, 80);
    EXPECT_FALSE(onFile.hungUp());
    std::fclose(file);
}

}  // namespace
