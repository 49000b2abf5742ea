// Event lines, their files and the event command.
#include "host/live/event_log.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

extern char** environ;

namespace plumbra::host::live {

namespace {

constexpr size_t kRecent = 256;     // events kept for the remote control
constexpr size_t kPendingMax = 64;  // events waiting for the command; older ones are dropped

}  // namespace

int64_t nowNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string utcTimestamp(int64_t nanos)
{
    const time_t secs = static_cast<time_t>(nanos / 1000000000);
    const int millis = static_cast<int>((nanos / 1000000) % 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return buf;
}

std::string jsonLine(const EventJson& value)
{
    return value.dump(-1, ' ', false, EventJson::error_handler_t::replace);
}

double rounded(double value, int decimals)
{
    if (!std::isfinite(value)) return value;
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

EventLog::EventLog(std::string path, std::string command, double commandSeconds)
    : path_(std::move(path))
    , command_(std::move(command))
    , commandSeconds_(commandSeconds)
{
}

EventLog::~EventLog()
{
    close();
}

Status EventLog::open()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (path_.empty()) {
        file_ = nullptr;  // kept in memory only
    } else if (path_ == "-") {
        file_ = stderr;
        ownFile_ = false;
    } else {
        file_ = std::fopen(path_.c_str(), "a");
        if (!file_) return Status::fail(kExitOutput, "cannot open event log " + path_ + ": " + std::strerror(errno));
        ownFile_ = true;
    }
    if (!command_.empty() && !runner_.joinable()) runner_ = std::thread([this] { runCommands(); });
    return Status::success();
}

void EventLog::reopen()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ownFile_) return;
    std::fclose(file_);
    file_ = std::fopen(path_.c_str(), "a");
    if (!file_) {
        file_ = stderr;
        ownFile_ = false;
        std::fprintf(stderr, "plumbra: cannot reopen event log %s: %s; logging to standard error\n", path_.c_str(),
                     std::strerror(errno));
    }
}

void EventLog::emit(const std::string& type, const EventJson& detail, int64_t timeNanos)
{
    EventJson event = {{"time", utcTimestamp(timeNanos ? timeNanos : nowNanos())}, {"event", type}};
    if (detail.is_object())
        for (const auto& [key, value] : detail.items()) event[key] = value;
    else if (!detail.is_null())
        event["detail"] = detail;
    const std::string line = jsonLine(event);
    std::lock_guard<std::mutex> lock(mutex_);
    recent_.push_back({++seq_, std::move(event)});
    if (recent_.size() > kRecent) recent_.pop_front();
    if (file_) {
        std::fputs((line + "\n").c_str(), file_);
        std::fflush(file_);
    }
    // The command hears every event but its own failures, which would feed on themselves.
    if (!command_.empty() && type != "event_command_failed") {
        if (pending_.size() >= kPendingMax) pending_.pop_front();
        pending_.push_back(line);
        wake_.notify_one();
    }
}

std::vector<EventRecord> EventLog::since(uint64_t seq) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<EventRecord> out;
    for (const auto& e : recent_)
        if (e.seq > seq) out.push_back(e);
    return out;
}

void EventLog::close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The commands still due get one time limit between them, then the rest are dropped.
        if (!closing_)
            closeDeadline_ =
                std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                       std::chrono::duration<double>(commandSeconds_));
        closing_ = true;
        wake_.notify_all();
    }
    if (runner_.joinable()) runner_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) std::fflush(file_);
    if (ownFile_) std::fclose(file_);
    file_ = nullptr;
    ownFile_ = false;
}

void EventLog::runCommands()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return closing_ || !pending_.empty(); });
        if (pending_.empty()) return;  // closing, nothing left
        if (closing_ && std::chrono::steady_clock::now() >= closeDeadline_) {
            const size_t dropped = pending_.size();
            pending_.clear();
            lock.unlock();
            emit("event_command_failed",
                 {{"command", command_},
                  {"reason", "stopping: " + std::to_string(dropped) + " event(s) not passed on"}});
            return;
        }
        const std::string line = pending_.front();
        pending_.pop_front();
        lock.unlock();
        std::string why;
        const bool ok = runOne(line, why);
        if (!ok) emit("event_command_failed", {{"command", command_}, {"reason", why}});
        lock.lock();
    }
}

// Runs the command with `line` on its standard input; kills it after the time limit.
bool EventLog::runOne(const std::string& line, std::string& why)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    const char* argv[] = {"/bin/sh", "-c", command_.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    if (spawned != 0) {
        ::close(fds[1]);
        why = std::string("cannot start /bin/sh: ") + std::strerror(spawned);
        return false;
    }
    // The event and a newline; a command that does not read it is no failure.
    const std::string text = line + "\n";
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                           std::chrono::duration<double>(commandSeconds_));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) deadline = std::min(deadline, closeDeadline_);
    }
    size_t written = 0;
    int status = 0;
    for (;;) {
        if (fds[1] >= 0 && written < text.size()) {
            const ssize_t w = ::write(fds[1], text.data() + written, text.size() - written);
            if (w > 0)
                written += static_cast<size_t>(w);
            else if (w < 0 && errno != EAGAIN && errno != EINTR)
                written = text.size();
        }
        if (fds[1] >= 0 && written >= text.size()) {
            ::close(fds[1]);
            fds[1] = -1;
        }
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            if (fds[1] >= 0) ::close(fds[1]);
            why = "still running after " + std::to_string(static_cast<int>(commandSeconds_)) +
                  " s (or at the stop); killed";
            return false;
        }
        poll(nullptr, 0, 20);
    }
    if (fds[1] >= 0) ::close(fds[1]);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    why = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                            : "killed by signal " + std::to_string(WTERMSIG(status));
    return false;
}

}  // namespace plumbra::host::live
