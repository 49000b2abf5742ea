// The terminal view: one frame of plain lines, each cut to the terminal's
// width, redrawn in place (cursor home, every line cleared to its end, the rest
// of the screen cleared below) so that nothing flickers.
#include "host/live/terminal_view.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <vector>

namespace plumbra::host::live {

namespace {

constexpr int kEventsShown = 5;
constexpr int kBandLabelWidth = 8;  // "Band 12 "
constexpr int kValueWidth = 11;     // " +12.3 dB "
constexpr int kGateMarkWidth = 5;   // "gated"

std::string format(const char* fmt, double v)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// A loudness figure, or a dash while there is none yet.
std::string figure(double v)
{
    if (!std::isfinite(v)) return "  -.-";
    return format("%5.1f", v);
}

std::string clock(double seconds)
{
    const long s = seconds > 0 ? static_cast<long>(seconds) : 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

// At most `columns` characters (UTF-8 sequences count as one), control
// characters replaced, so that a line never wraps.
std::string fit(std::string_view line, int columns)
{
    std::string out;
    int shown = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        const bool continuation = (c & 0xC0) == 0x80;
        if (!continuation) {
            if (shown == columns) break;
            ++shown;
        }
        out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    return out;
}

// Cells of a bar `width` long for a value in [lo, hi].
int cells(float v, float lo, float hi, int width)
{
    if (!(v == v)) return 0;
    const float t = std::clamp((v - lo) / (hi - lo), 0.0f, 1.0f);
    return static_cast<int>(std::lround(t * static_cast<float>(width)));
}

// A band's bar: '#' up to the block's lowest gain, '=' on to its highest; '|'
// marks 0 dB where the bar does not cover it.
std::string bandBar(float low, float high, float lo, float hi, int width)
{
    std::string bar(static_cast<std::size_t>(width), ' ');
    const int zero = std::min(cells(0.0f, lo, hi, width), width - 1);
    if (zero >= 0) bar[static_cast<std::size_t>(zero)] = '|';
    const int a = cells(std::min(low, high), lo, hi, width);
    const int b = cells(std::max(low, high), lo, hi, width);
    for (int i = 0; i < b; ++i) bar[static_cast<std::size_t>(i)] = i < a ? '#' : '=';
    return bar;
}

std::vector<std::string> lines(const Remote& remote, int columns)
{
    const remote::LiveStatus st = remote.status();
    const MeterSnapshot m = remote.meters();
    const remote::LoudnessReading loud = remote.loudness();
    const std::vector<remote::EventRecord> events = remote.eventsSince(0);

    std::vector<std::string> out;
    std::string head = "plumbra live   on air: " + st.source;
    if (!st.preset.empty()) head += "   preset: " + st.preset;
    out.push_back(head);
    out.push_back("up " + clock(st.uptimeSeconds) + "   xruns " + std::to_string(st.xruns) + "   recoveries " +
                  std::to_string(st.recoveries) + "   latency " + std::to_string(st.latency) + " frames");
    // The device, with its rate and period unless it names them itself.
    out.push_back(st.audio.find(" Hz") != std::string::npos
                      ? st.audio
                      : st.audio + "   " + std::to_string(st.rate) + " Hz, " + std::to_string(st.period) + " frames");
    out.push_back("Input " + figure(loud.inputLevel) + " dBFS   Output M " + figure(loud.momentary) + "  S " +
                  figure(loud.shortTerm) + "  I " + figure(loud.integrated) + " LUFS  peak " + figure(loud.truePeak) +
                  " dBTP");

    const int barWidth = std::max(4, columns - kBandLabelWidth - 2 - kValueWidth - kGateMarkWidth);
    const MeterDefinition& lim = kMeterDefinitions[kMeterLimiterReduction];
    const float reduction = m.values[kMeterLimiterReduction];
    out.push_back(
        "Limiter [" + std::string(static_cast<std::size_t>(cells(reduction, lim.minimum, lim.maximum, barWidth)), '#') +
        std::string(static_cast<std::size_t>(barWidth - cells(reduction, lim.minimum, lim.maximum, barWidth)), ' ') +
        "]" + format(" %5.1f dB", static_cast<double>(reduction)));
    for (int b = 1; b <= kNumBands; ++b) {
        const MeterDefinition& d = kMeterDefinitions[static_cast<std::size_t>(bandMeter(b, kBandGainLow))];
        const float low = m.values[static_cast<std::size_t>(bandMeter(b, kBandGainLow))];
        const float high = m.values[static_cast<std::size_t>(bandMeter(b, kBandGainHigh))];
        const float gate = m.values[static_cast<std::size_t>(bandMeter(b, kBandGate))];
        out.push_back(std::string(b < 10 ? "Band  " : "Band ") + std::to_string(b) + " [" +
                      bandBar(low, high, d.minimum, d.maximum, barWidth) + "]" +
                      format(" %+6.1f dB ", static_cast<double>(high)) + (gate < kGateClosedBelow ? "gated" : ""));
    }

    out.push_back("Events");
    const std::size_t first = events.size() > kEventsShown ? events.size() - kEventsShown : 0;
    for (std::size_t i = first; i < events.size(); ++i)
        out.push_back("  " + events[i].event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));

    for (std::string& l : out) l = fit(l, columns);
    return out;
}

// The terminal's size, or 0 where `out` is no terminal.
struct Size {
    int columns = 0, rows = 0;
};
Size terminalSize(std::FILE* out)
{
    winsize ws{};
    if (!out || ioctl(fileno(out), TIOCGWINSZ, &ws) != 0) return {};
    return {ws.ws_col, ws.ws_row};
}

}  // namespace

TerminalView::TerminalView(const Remote& remote, std::FILE* out, int columns)
    : remote_(remote)
    , out_(out)
    , columns_(columns > 0 ? columns : 80)
{
}

std::string TerminalView::frame() const
{
    std::string text;
    for (const std::string& l : lines(remote_, columns_)) text += l + "\n";
    return text;
}

void TerminalView::draw()
{
    std::string text;
    if (!drawn_) text += "\x1b[?25l\x1b[2J";  // hide the cursor, clear once
    text += "\x1b[H";
    // A narrower or lower terminal than asked for gets what fits: a line that
    // wrapped or a last line that scrolled would move every later frame.
    const Size size = terminalSize(out_);
    const int columns = size.columns > 0 ? std::min(columns_, size.columns) : columns_;
    std::vector<std::string> shown = lines(remote_, columns);
    if (size.rows > 1 && shown.size() >= static_cast<std::size_t>(size.rows))
        shown.resize(static_cast<std::size_t>(size.rows - 1));
    for (const std::string& l : shown) text += l + "\x1b[K\n";
    text += "\x1b[J";
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
    drawn_ = true;
}

void TerminalView::close()
{
    if (!drawn_) return;
    std::fputs("\x1b[?25h", out_);
    std::fflush(out_);
    drawn_ = false;
}

bool TerminalView::hungUp() const
{
    const int fd = fileno(out_);
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return true;
    termios t{};
    return ::tcgetattr(fd, &t) != 0 && errno == EIO;
}

}  // namespace plumbra::host::live
