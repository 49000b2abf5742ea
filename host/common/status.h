// Results that carry a reason: every layer of the host returns one of these and
// the top level prints the reason once, as one line, and exits with the code.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace plumbra::host {

// Exit codes of the program, documented in --help and the README.
enum ExitCode : int {
    kExitOk = 0,
    kExitInternal = 1,    // unexpected failure inside the host
    kExitUsage = 2,       // bad command line: unknown option or command, missing argument
    kExitParameter = 3,   // unknown parameter name or index, bad or out-of-range value, bad preset file
    kExitInput = 4,       // input missing, unreadable, of an unknown format or with too many channels
    kExitOutput = 5,      // output (audio, report or plot) cannot be created or written, disk full
    kExitPlugin = 6,      // plug-in library missing, without VSTPluginMain, or refusing to start
    kExitNonFinite = 7,   // the plug-in's output held NaN or infinite samples (the file is still written)
    kExitSomeFailed = 8,  // some files of a batch (render -o, analyze) failed; the others are done
    kExitTarget = 9,      // with --target: a file misses the target's loudness tolerance or true-peak ceiling,
                          // or needs more gain than --max-gain
};

// Success, or a failure with its exit code and a one-line reason.
struct Status {
    ExitCode code = kExitOk;
    std::string reason;

    bool ok() const { return code == kExitOk; }
    static Status success() { return {}; }
    static Status fail(ExitCode c, std::string why) { return {c, std::move(why)}; }
};

// A value or the reason why there is none.
template <class T>
class Result {
public:
    Result(T v)
        : value_(std::move(v))
    {
    }
    Result(Status s)
        : status_(std::move(s))
    {
    }

    bool ok() const { return status_.ok(); }
    const Status& status() const { return status_; }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T& operator*() { return *value_; }
    T* operator->() { return &*value_; }

private:
    std::optional<T> value_;
    Status status_;
};

}  // namespace plumbra::host
