// The session's signals as events: SIGTERM, SIGINT and SIGHUP are blocked in
// every thread (the mask is set before any thread starts, and inherited) and
// taken by one thread with sigwait, which calls back an ordinary function.
#pragma once

#include <signal.h>

#include <functional>
#include <thread>

namespace plumbra::host::live {

class SignalWatch {
public:
    // Blocks the signals in the calling thread (and the threads it starts from now on).
    SignalWatch();
    // Stops the thread and unblocks the signals.
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // From now on each signal calls `onSignal` on the watch's thread.
    void start(std::function<void(int)> onSignal);
    void stop();

private:
    sigset_t set_;
    std::thread thread_;
};

// "SIGTERM" for SIGTERM, and so on.
const char* signalName(int signal);

}  // namespace plumbra::host::live
