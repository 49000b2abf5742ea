// The progress line on standard error, drawn only on a terminal: a bar, the time
// elapsed and an estimate of the time left, from the audio done so far. One
// file shows its percentage and speed; a batch shows the files done.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace plumbra::host {

class Progress {
public:
    // `totalUs`: microseconds of audio in all, < 0 when unknown (a stream: no bar, no
    // estimate). `files`: the files of a batch, 0 for a single render.
    Progress(bool enabled, int64_t totalUs, size_t files = 0);
    // Counts the frames of one programme at `rate` as they are done; safe from any thread.
    std::function<void(int64_t frames)> counter(int rate);
    void add(int64_t us) { doneUs_ += us; }
    // Redraws the line (a single render at most ten times a second); only from one thread.
    void draw(size_t filesDone = 0);
    void clear();
    double elapsedSeconds() const;

private:
    bool enabled_;
    int64_t total_;
    size_t files_;
    std::atomic<int64_t> doneUs_{0};
    std::chrono::steady_clock::time_point start_, lastDraw_;
    bool drawn_ = false;
};

// Microseconds of `frames` at `rate` (0 when either is unknown).
int64_t audioUs(int64_t frames, int rate);

// A duration as m:ss or h:mm:ss (negative or NaN as 0:00).
std::string clockText(double seconds);

// Whether the descriptor (0, 1, 2) is a terminal.
bool isTerminal(int fd);

}  // namespace plumbra::host
