// The output's loudness, measured by an ordinary thread from the engine's copy
// of what went out (libebur128): the reading the remote control and the
// terminal view show, and the loudness log, one JSON line per interval.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "host/common/status.h"
#include "host/live/live_engine.h"
#include "host/remote/remote.h"

namespace plumbra::host::live {

class LoudnessWatch {
public:
    LoudnessWatch(LiveEngine& engine, double logSeconds)
        : engine_(engine)
        , logSeconds_(logSeconds)
    {
    }
    ~LoudnessWatch() { close(); }
    LoudnessWatch(const LoudnessWatch&) = delete;
    LoudnessWatch& operator=(const LoudnessWatch&) = delete;

    // The log, appended to; none when `path` is empty.
    Status open(const std::string& path);
    // Closes and opens the log again (after logrotate moved it).
    void reopen();
    void close();

    // Until `stopping` is set; the last interval is logged then. The engine must be prepared.
    void run(const std::atomic<bool>& stopping);
    remote::LoudnessReading reading() const;

private:
    void writeLine(const std::string& line);

    LiveEngine& engine_;
    double logSeconds_;
    std::string path_;
    mutable std::mutex mutex_;  // the file and the reading
    std::FILE* file_ = nullptr;
    remote::LoudnessReading reading_{NAN, NAN, NAN, NAN, NAN};
};

}  // namespace plumbra::host::live
