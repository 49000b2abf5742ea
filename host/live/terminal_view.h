// The live engine's view on a terminal: the twelve bands' gains as bars, input
// and output loudness, the limiter's gain reduction, the source on air and the
// last events, redrawn a few times a second from the engine's snapshots.
#pragma once

#include <cstdio>
#include <string>

#include "host/remote/remote.h"

namespace plumbra::host::live {

using remote::Remote;

class TerminalView {
public:
    // Draws to `out` (a terminal), `columns` wide.
    TerminalView(const Remote& remote, std::FILE* out, int columns = 80);
    // One frame: moves the cursor home and redraws. Call a few times a second.
    void draw();
    // The frame as text, without terminal control sequences (for tests).
    std::string frame() const;
    // Restores the terminal (cursor shown) at the end.
    void close();
    // Whether the terminal has gone: hung up (its window closed, its session
    // killed) or its other end closed.
    bool hungUp() const;

private:
    const Remote& remote_;
    std::FILE* out_;
    int columns_;
    bool drawn_ = false;
};

}  // namespace plumbra::host::live
