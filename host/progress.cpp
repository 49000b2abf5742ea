// Drawing the progress line.
#include "host/progress.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#define plumbra_isatty _isatty
#else
#include <unistd.h>
#define plumbra_isatty isatty
#endif

namespace plumbra::host {

std::string clockText(double seconds)
{
    if (!(seconds >= 0)) seconds = 0;
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

bool stderrIsTerminal() { return plumbra_isatty(2) != 0; }

Progress::Progress(bool enabled, int64_t totalFrames, int rate)
    : enabled_(enabled), total_(totalFrames), rate_(rate > 0 ? rate : 1),
      start_(std::chrono::steady_clock::now()), lastDraw_(start_)
{
}

double Progress::elapsedSeconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Progress::update(int64_t done)
{
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    drawn_ = true;
    const double elapsed = elapsedSeconds();
    const double audio = static_cast<double>(done) / rate_;
    const double speed = elapsed > 0 ? audio / elapsed : 0.0;
    std::string line;
    if (total_ > 0) {
        const double frac = static_cast<double>(done) / static_cast<double>(total_);
        constexpr int width = 30;
        const int filled = static_cast<int>(frac * width);
        line = "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '-') + "]";
        char buf[160];
        const double left = speed > 0 ? (static_cast<double>(total_ - done) / rate_) / speed : 0.0;
        std::snprintf(buf, sizeof buf, " %3d%%  %s elapsed, %s left, %.1fx real time", static_cast<int>(frac * 100),
                      clockText(elapsed).c_str(), clockText(left).c_str(), speed);
        line += buf;
    } else {
        char buf[160];
        std::snprintf(buf, sizeof buf, "%s of audio  %s elapsed, %.1fx real time", clockText(audio).c_str(),
                      clockText(elapsed).c_str(), speed);
        line = buf;
    }
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
}

void Progress::finish()
{
    if (enabled_ && drawn_) {
        std::fprintf(stderr, "\r\x1b[K");
        std::fflush(stderr);
    }
}

}  // namespace plumbra::host
