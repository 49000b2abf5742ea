// Drawing the progress line.
#include "host/common/progress.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "host/common/text.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace plumbra::host {

namespace {

// A header's length can fall short of the audio that follows: the bar stops full.
std::string bar(double fraction, int width)
{
    const int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * width);
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '-') +
           "]";
}

}  // namespace

std::string clockText(double seconds)
{
    if (!(seconds >= 0)) seconds = 0;
    const long s = static_cast<long>(seconds + 0.5);
    return s >= 3600 ? printed("%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60)
                     : printed("%ld:%02ld", s / 60, s % 60);
}

bool isTerminal(int fd)
{
#ifdef _WIN32
    return _isatty(fd) != 0;
#else
    return isatty(fd) != 0;
#endif
}

int64_t audioUs(int64_t frames, int rate)
{
    return frames > 0 && rate > 0 ? frames * 1000000 / rate : 0;
}

Progress::Progress(bool enabled, int64_t totalUs, size_t files)
    : enabled_(enabled)
    , total_(totalUs)
    , files_(files)
    , start_(std::chrono::steady_clock::now())
    , lastDraw_(start_)
{
}

double Progress::elapsedSeconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::function<void(int64_t)> Progress::counter(int rate)
{
    auto counted = std::make_shared<int64_t>(0);
    return [this, rate, counted](int64_t frames) {
        const int64_t us = audioUs(frames, rate);
        add(us - *counted);
        *counted = us;
    };
}

void Progress::draw(size_t filesDone)
{
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (files_ == 0 && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double elapsed = elapsedSeconds();
    const double done = static_cast<double>(doneUs_.load()), total = static_cast<double>(total_);
    std::string line;
    if (files_ > 0) {
        const double frac =
            total_ > 0 ? std::min(1.0, done / total) : static_cast<double>(filesDone) / static_cast<double>(files_);
        line = bar(frac, 24) + printed(" %zu/%zu files  %s elapsed, %s left", filesDone, files_,
                                       clockText(elapsed).c_str(),
                                       frac > 0 ? clockText(elapsed * (1 - frac) / frac).c_str() : "?");
    } else if (const double speed = elapsed > 0 ? done / 1e6 / elapsed : 0.0; total_ > 0) {
        line =
            bar(done / total, 30) + printed(" %3d%%  %s elapsed, %s left, %.1fx real time",
                                            static_cast<int>(done / total * 100), clockText(elapsed).c_str(),
                                            clockText(speed > 0 ? (total - done) / 1e6 / speed : 0.0).c_str(), speed);
    } else {
        line = printed("%s of audio  %s elapsed, %.1fx real time", clockText(done / 1e6).c_str(),
                       clockText(elapsed).c_str(), speed);
    }
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::clear()
{
    if (enabled_ && drawn_) {
        std::fprintf(stderr, "\r\x1b[K");
        std::fflush(stderr);
    }
    drawn_ = false;
}

}  // namespace plumbra::host
