// Accepted writes read back at once: after a 200 from PUT /api/controls or a
// preset recall, the very next GET /api/state shows the values, and so does
// every stream frame from the write's number on, while the audio takes them up
// at its next block.
#include <poll.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dsp/control_table.h"
#include "web_client.h"

using namespace plumbra;
using namespace plumbra::webtest;

namespace {

constexpr int kLowpass = 5;  // "Lowpass Filter", 1000 to 15000 Hz

// The stream's frames as they come, on a thread of its own.
class StreamReader {
public:
    StreamReader(int port, const std::string& token)
        : fd_(connectTo(port))
    {
        const std::string req =
            "GET /api/stream?token=" + token + " HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n\r\n";
        ::send(fd_, req.data(), req.size(), MSG_NOSIGNAL);
        thread_ = std::thread([this] { read(); });
    }
    ~StreamReader()
    {
        going_ = false;
        thread_.join();
        ::close(fd_);
    }
    std::vector<json> frames() const
    {
        std::lock_guard lock(mutex_);
        return frames_;
    }

private:
    void read()
    {
        std::string got;
        char buf[65536];
        while (going_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return;
            got.append(buf, static_cast<std::size_t>(n));
            for (std::size_t at, end;
                 (at = got.find("data: ")) != std::string::npos && (end = got.find("\n\n", at)) != std::string::npos;) {
                json frame = json::parse(got.substr(at + 6, end - at - 6), nullptr, false);
                got.erase(0, end + 2);
                std::lock_guard lock(mutex_);
                frames_.push_back(std::move(frame));
            }
        }
    }

    int fd_;
    std::atomic<bool> going_{true};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<json> frames_;
};

}  // namespace

TEST(WebWrites, FiftyWritesEachReadBackAtOnce)
{
    Served s("readback");
    StreamReader stream(s.port, s.token);
    // Every tenth write recalls a preset that sets the lowpass; the others PUT it.
    std::vector<float> written = {kControlSpecs[kLowpass].init};  // by write number, from 0 (none)
    for (int i = 0; i < 50; ++i) {
        const float hz = 1000.0f + 270.0f * static_cast<float>(i + 1);
        Reply r;
        if (i % 10 == 9) {
            const std::string name = "p" + std::to_string(i);
            std::ofstream(s.dir / "presets" / (name + ".preset")) << "Lowpass Filter=" << hz << "\n";
            r = http(s.port, "POST", "/api/presets/" + name + "/recall", s.token);
        } else {
            r = s.put("/api/controls", R"({"Lowpass Filter": )" + std::to_string(static_cast<int>(hz)) + "}");
        }
        ASSERT_EQ(r.status, 200) << i << ": " << r.body;
        EXPECT_EQ(r.data()["write"], i + 1);
        written.push_back(hz);
        const json st = s.get("/api/state").data();
        EXPECT_EQ(st["controls"][kLowpass]["value"].get<float>(), hz) << "write " << i << " read back late";
        EXPECT_EQ(st["writes"]["accepted"].get<uint64_t>(), static_cast<uint64_t>(i + 1));
        EXPECT_LE(st["writes"]["applied"].get<uint64_t>(), st["writes"]["accepted"].get<uint64_t>());
        if (i % 10 == 9) {
            EXPECT_EQ(st["preset"], "p" + std::to_string(i));
        }
    }

    // The audio catches up, and says so.
    json st;
    for (int k = 0; k < 200; ++k) {
        st = s.get("/api/state").data();
        if (st["writes"]["applied"] == st["writes"]["accepted"]) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(st["writes"]["applied"].get<uint64_t>(), 50u);
    EXPECT_EQ(s.remote.appliedControls()[kLowpass], written.back());

    // Every frame of the stream shows what had been accepted by its time, never older.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<json> frames = stream.frames();
    ASSERT_GE(frames.size(), 2u);
    uint64_t last = 0;
    for (const json& f : frames) {
        const uint64_t n = f["writes"]["accepted"].get<uint64_t>();
        ASSERT_LT(n, written.size());
        EXPECT_EQ(f["controls"][kLowpass].get<float>(), written[n]) << "frame after write " << n;
        EXPECT_GE(n, last);
        last = n;
    }
    EXPECT_EQ(last, 50u);
}

// Events and states carry text from outside (file names, details): bytes that are
// not UTF-8 come out replaced, and the answer is still whole JSON.
TEST(WebEvents, TextThatIsNotUtf8IsReplacedInTheAnswer)
{
    Served s("not-utf8");
    s.remote.logEvent("configuration_reloaded", {{"preset", "/etc/plumbra/\xe9t\xe9.preset"}});
    ASSERT_TRUE(s.remote.applyControls({{kLowpass, 4000.0f}}, "caf\xe9"));
    const Reply events = s.get("/api/events?since=0");
    ASSERT_EQ(events.status, 200) << events.body;
    EXPECT_EQ(events.data()["events"][0]["preset"], "/etc/plumbra/\xef\xbf\xbdt\xef\xbf\xbd.preset");
    const Reply state = s.get("/api/state");
    ASSERT_EQ(state.status, 200);
    EXPECT_EQ(state.data()["preset"], "caf\xef\xbf\xbd");
}
