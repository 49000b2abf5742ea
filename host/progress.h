// A progress line on standard error: bar, elapsed time, estimate of the time
// left and speed in multiples of real time. Drawn only on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace plumbra::host {

class Progress {
public:
    // total < 0: unknown length (a stream): no bar and no estimate.
    Progress(bool enabled, int64_t totalFrames, int rate);
    void update(int64_t doneFrames);
    void finish();  // clears the line
    double elapsedSeconds() const;

private:
    bool enabled_;
    int64_t total_;
    int rate_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
    bool drawn_ = false;
};

// A duration as m:ss or h:mm:ss (negative or NaN as 0:00).
std::string clockText(double seconds);

// Whether standard error is a terminal.
bool stderrIsTerminal();

}  // namespace plumbra::host
