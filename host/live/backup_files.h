// The backup programme from files: one file, or every audio file of a folder
// in name order, played in a loop. A decoding thread reads ahead (resampling
// to the engine's rate when a file's differs) into a lock-free ring that the
// audio thread drains; the audio thread never waits for it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/common/status.h"

namespace plumbra::host::live {

class BackupFiles {
public:
    // Checks that `path` (a file or a folder) holds at least one readable audio
    // file; the decoding thread starts with start().
    static Result<std::unique_ptr<BackupFiles>> open(const std::string& path, int rate);
    virtual ~BackupFiles() = default;
    virtual void start() = 0;  // starts the decoding thread; fills the ring ahead
    virtual void stop() = 0;   // stops and joins it; idempotent
    // Audio thread: the next `frames` frames into left and right. Frames not yet
    // decoded come out as silence. Returns the frames that held decoded audio.
    virtual int read(float* left, float* right, int frames) noexcept = 0;
    // Files skipped as unreadable since the last call, as "NAME: reason", oldest
    // first (for events). Any non-real-time thread.
    virtual std::vector<std::string> takeProblems() { return {}; }
    // The latest such reason, kept after takeProblems(); empty when none.
    virtual std::string lastProblem() const { return {}; }
};

}  // namespace plumbra::host::live
