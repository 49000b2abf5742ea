// The live engine's events: one JSON line each, with a UTC timestamp, to the
// event log (a file, or standard error), to an optional command that reads the
// event on its standard input, and into a window of recent events for the
// remote control. Called from non-real-time threads only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/common/status.h"
#include "host/remote/remote.h"

namespace plumbra::host::live {

using EventJson = nlohmann::ordered_json;
using remote::EventRecord;

// "2026-12-08T20:30:00.123Z" for nanoseconds since the epoch.
std::string utcTimestamp(int64_t nanos);
int64_t nowNanos();
// One line of JSON (no newline); text that is not UTF-8 is written with U+FFFD in its place.
std::string jsonLine(const EventJson& value);
// `value` rounded to `decimals` (a figure in an event or log line); NaN and infinity stay (they are null).
double rounded(double value, int decimals);

class EventLog {
public:
    // `path` "-": standard error; empty: no file, only the recent events. `command` empty: none.
    EventLog(std::string path, std::string command, double commandSeconds = 10.0);
    ~EventLog();
    Status open();
    // Closes and opens the file again (after logrotate moved it).
    void reopen();

    // The event: its time (`timeNanos`, or now when 0), its name, then the detail's members.
    void emit(const std::string& type, const EventJson& detail = EventJson::object(), int64_t timeNanos = 0);
    std::vector<EventRecord> since(uint64_t seq) const;
    // Waits for the commands under way (each within its time limit) and stops.
    void close();

private:
    void runCommands();
    bool runOne(const std::string& line, std::string& why);

    std::string path_, command_;
    double commandSeconds_;
    std::FILE* file_ = nullptr;
    bool ownFile_ = false;

    mutable std::mutex mutex_;
    uint64_t seq_ = 0;
    std::deque<EventRecord> recent_;
    std::deque<std::string> pending_;  // lines for the command
    std::condition_variable wake_;
    bool closing_ = false;
    std::chrono::steady_clock::time_point closeDeadline_;
    std::thread runner_;
};

}  // namespace plumbra::host::live
