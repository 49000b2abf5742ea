// sigwait on a thread of its own; SIGUSR2 is the watch's own wake-up at its end.
#include "host/live/signals.h"

#include <pthread.h>

namespace plumbra::host::live {

SignalWatch::SignalWatch()
{
    sigemptyset(&set_);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR2}) sigaddset(&set_, s);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

SignalWatch::~SignalWatch()
{
    stop();
    pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
}

void SignalWatch::start(std::function<void(int)> onSignal)
{
    thread_ = std::thread([this, onSignal = std::move(onSignal)] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set_, &sig) != 0) continue;
            if (sig == SIGUSR2) return;
            onSignal(sig);
        }
    });
}

void SignalWatch::stop()
{
    if (!thread_.joinable()) return;
    pthread_kill(thread_.native_handle(), SIGUSR2);
    thread_.join();
}

const char* signalName(int signal)
{
    switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
    }
}

}  // namespace plumbra::host::live
