// systemd's notification protocol, spoken directly: one datagram per message
// to $NOTIFY_SOCKET ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1").
// Without the variable every call does nothing.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <string>

namespace plumbra::host::live {

class Notifier {
public:
    Notifier();
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    bool enabled() const { return fd_ >= 0; }
    void send(const std::string& message) const;
    // How often the watchdog wants to hear from us: half of $WATCHDOG_USEC, else 2 s.
    std::chrono::duration<double> interval() const { return interval_; }

private:
    int fd_ = -1;
    sockaddr_un addr_{};
    socklen_t addrLen_ = 0;
    std::chrono::duration<double> interval_{2.0};
};

}  // namespace plumbra::host::live
