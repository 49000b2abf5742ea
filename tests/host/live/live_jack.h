// What the tests of plumbra live on JACK share: starting programs and a jackd
// of their own (dummy driver, a unique name), and reading the event log.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace plumbra::livetest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr int kRate = 48000;

inline bool onPath(const char* tool)
{
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

inline pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                   const std::string& log = "/dev/null")
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::FILE* f = std::fopen(log.c_str(), "a");
        if (f) {
            dup2(fileno(f), 1);
            dup2(fileno(f), 2);
        }
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

inline int stop(pid_t pid, int sig = SIGTERM)
{
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// A jackd of the test's own: dummy driver, synchronous, so that no client is skipped.
class JackServer {
public:
    JackServer(std::string name, int period)
        : name_(std::move(name))
        , period_(period)
    {
        setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        start();
    }
    ~JackServer()
    {
        if (pid_ > 0) stop(pid_, SIGTERM);
        pid_ = -1;
        // What a killed server leaves in shared memory would block the name.
        for (const auto& f : fs::directory_iterator("/dev/shm"))
            if (f.path().filename().string().find(name_) != std::string::npos) fs::remove(f.path());
    }
    void start()
    {
        pid_ = spawn(
            {"jackd", "-n", name_, "-S", "-d", "dummy", "-r", std::to_string(kRate), "-p", std::to_string(period_)});
        up_ = std::system("jack_wait -w -t 10 >/dev/null 2>&1") == 0;
        // A server killed elsewhere keeps its slot in JACK's registry of servers, and
        // jackd refuses to start once the slots are taken: with no server running,
        // the registry is stale and can go.
        if (!up_ && std::system("pgrep -x jackd >/dev/null || pgrep -x jackdmp >/dev/null") != 0) {
            stop(pid_, SIGTERM);
            fs::remove("/dev/shm/jack-shm-registry");
            pid_ = spawn({"jackd", "-n", name_, "-S", "-d", "dummy", "-r", std::to_string(kRate), "-p",
                          std::to_string(period_)});
            up_ = std::system("jack_wait -w -t 10 >/dev/null 2>&1") == 0;
        }
    }
    void kill()
    {
        if (pid_ > 0) stop(pid_, SIGKILL);
        pid_ = -1;
    }
    bool up() const { return up_; }
    pid_t pid() const { return pid_; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    int period_;
    pid_t pid_ = -1;
    bool up_ = false;
};

inline std::vector<nlohmann::json> events(const fs::path& file)
{
    std::vector<nlohmann::json> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(nlohmann::json::parse(line));
    return out;
}

inline std::vector<std::string> eventNames(const fs::path& file, const std::vector<std::string>& wanted)
{
    std::vector<std::string> out;
    for (const auto& e : events(file))
        for (const auto& w : wanted)
            if (e["event"] == w) out.push_back(w);
    return out;
}

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace plumbra::livetest
