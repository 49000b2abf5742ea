// systemd's notification socket.
#include "host/live/notifier.h"

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace plumbra::host::live {

Notifier::Notifier()
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path || (path[0] != '/' && path[0] != '@')) return;
    const size_t len = std::strlen(path);
    if (len >= sizeof(addr_.sun_path)) return;
    addr_.sun_family = AF_UNIX;
    std::memcpy(addr_.sun_path, path, len);
    if (path[0] == '@') addr_.sun_path[0] = '\0';  // an abstract name
    addrLen_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (const char* w = std::getenv("WATCHDOG_USEC")) {
        const double us = std::atof(w);
        if (us > 0) interval_ = std::chrono::duration<double>(us / 2e6);
    }
}

Notifier::~Notifier()
{
    if (fd_ >= 0) ::close(fd_);
}

void Notifier::send(const std::string& message) const
{
    if (fd_ >= 0)
        sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr_), addrLen_);
}

}  // namespace plumbra::host::live
