// plumbra live with its terminal view in a tmux pane, on a private jackd: a
// SIGHUP while the terminal is there reloads; the terminal going away (its
// session killed) stops the engine as SIGTERM would, and the stop event says why.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "live_jack.h"

namespace {

using namespace plumbra::livetest;

std::string shellQuote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string output(const std::string& command)
{
    std::string text;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
        ::pclose(p);
    }
    return text;
}

// Gone, or a zombie nobody has reaped yet.
bool ended(pid_t pid)
{
    if (::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = all.rfind(')');
    return close == std::string::npos || (close + 2 < all.size() && all[close + 2] == 'Z');
}

class TerminalHangup : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!onPath("tmux")) GTEST_SKIP() << "tmux is not installed (apt-get install tmux)";
        if (!onPath("jackd") || !onPath("jack_wait"))
            GTEST_SKIP() << "jackd or jack_wait is not installed (apt-get install jackd2)";
        dir_ = fs::temp_directory_path() / ("plumbra-hangup-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        tmux_ = "tmux -L plumbra-test-" + std::to_string(getpid()) + " -f /dev/null ";
        server_ = std::make_unique<JackServer>("ph" + std::to_string(getpid()), 256);
        ASSERT_TRUE(server_->up()) << "jackd did not come up";
    }
    void TearDown() override
    {
        if (!tmux_.empty()) std::system((tmux_ + "kill-server >/dev/null 2>&1").c_str());
        if (pid_ > 0 && !ended(pid_)) ::kill(pid_, SIGKILL);
        server_.reset();
        fs::remove_all(dir_);
    }

    fs::path dir_;
    std::string tmux_;
    std::unique_ptr<JackServer> server_;
    pid_t pid_ = -1;
};

TEST_F(TerminalHangup, AKilledSessionStopsTheEngineAndASighupBeforeReloads)
{
    const fs::path log = dir_ / "events.log", preset = dir_ / "live.preset";
    std::ofstream(preset) << "Lowpass Filter=12000\n";
    const std::string command = "JACK_DEFAULT_SERVER=" + server_->name() + " JACK_NO_START_SERVER=1 exec " +
                                shellQuote(PLUMBRA_HOST_PATH) + " live --name plumbra --preset " +
                                shellQuote(preset.string()) + " --event-log " + shellQuote(log.string());
    ASSERT_EQ(std::system((tmux_ + "new-session -d -s live -x 100 -y 40 " + shellQuote(command)).c_str()), 0);
    nlohmann::json start;
    ASSERT_TRUE(waitFor(
        [&] {
            for (const auto& e : events(log))
                if (e["event"] == "start") start = e;
            return !start.is_null();
        },
        10s))
        << "plumbra live did not start";
    pid_ = start["pid"].get<pid_t>();
    // The view is on the pane.
    EXPECT_TRUE(
        waitFor([&] { return output(tmux_ + "capture-pane -p -t live").find("on air") != std::string::npos; }, 5s))
        << output(tmux_ + "capture-pane -p -t live");

    // The terminal is there: SIGHUP is a reload, and the engine goes on.
    ::kill(pid_, SIGHUP);
    EXPECT_TRUE(waitFor([&] { return !eventNames(log, {"configuration_reloaded"}).empty(); }, 5s))
        << "no reload on SIGHUP";
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(ended(pid_));
    EXPECT_TRUE(eventNames(log, {"stop"}).empty());

    // The session killed: the pane's terminal hangs up, the engine stops.
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_EQ(std::system((tmux_ + "kill-session -t live").c_str()), 0);
    ASSERT_TRUE(waitFor([&] { return ended(pid_) && !eventNames(log, {"stop"}).empty(); }, 5s))
        << "plumbra live still runs 5 s after its terminal went away";
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    nlohmann::json stop;
    for (const auto& e : events(log))
        if (e["event"] == "stop") stop = e;
    EXPECT_EQ(stop["reason"], "terminal_hangup") << stop.dump();
    EXPECT_GT(stop["periods"].get<int64_t>(), 0);
    EXPECT_EQ(eventNames(log, {"start", "configuration_reloaded", "stop"}),
              (std::vector<std::string>{"start", "configuration_reloaded", "stop"}));
    // Its JACK client is gone with it.
    EXPECT_EQ(output("JACK_DEFAULT_SERVER=" + server_->name() + " jack_lsp 2>/dev/null").find("plumbra:"),
              std::string::npos);
    std::printf("stopped %.2f s after the session was killed\n", took);
}

}  // namespace
