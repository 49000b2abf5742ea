// The web server against the stand-in engine, over real sockets: every API
// path and error, the stream, the presets, and hostile clients.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "dsp/control_table.h"
#include "fixture_remote.h"
#include "host/web/api.h"
#include "host/web/server.h"
#include "web_client.h"

using namespace plumbra;
using namespace plumbra::host::web;
using namespace plumbra::webtest;

TEST(WebOptions, AddressesTokensAndFolders)
{
    auto a = parseHttpAddress("8750");
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a->address, "127.0.0.1");
    EXPECT_EQ(a->port, 8750);
    a = parseHttpAddress("0.0.0.0:9000");
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a->address, "0.0.0.0");
    a = parseHttpAddress("[::1]:8750");
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a->address, "::1");
    for (const char* bad : {"", "x", "70000", "0", "localhost:80", "1.2.3:80", "[::1]8750", "8750x"})
        EXPECT_FALSE(parseHttpAddress(bad).ok()) << bad;

    ::setenv("XDG_STATE_HOME", "/srv/state", 1);
    EXPECT_EQ(defaultTokenFile(), "/srv/state/plumbra/token");
    ::unsetenv("XDG_STATE_HOME");
    ::setenv("HOME", "/home/op", 1);
    EXPECT_EQ(defaultTokenFile(), "/home/op/.local/state/plumbra/token");

    // Made once, owner-only, in a folder made for it; read back the same; refused when others may read it.
    const fs::path dir = scratch("token");
    const std::string file = (dir / "deep" / "token").string();
    auto t1 = loadOrCreateToken(file);
    ASSERT_TRUE(t1.ok()) << t1.status().reason;
    EXPECT_EQ(t1.value().size(), 64u);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto t2 = loadOrCreateToken(file);
    ASSERT_TRUE(t2.ok());
    EXPECT_EQ(t1.value(), t2.value());
    EXPECT_NE(t1.value(), loadOrCreateToken((dir / "other").string()).value());
    ::chmod(file.c_str(), 0644);
    EXPECT_FALSE(loadOrCreateToken(file).ok());
    fs::remove_all(dir);

    EXPECT_TRUE(sameSecret("abc", "abc"));
    EXPECT_FALSE(sameSecret("abc", "abd"));
    EXPECT_FALSE(sameSecret("abc", "abcd"));
    EXPECT_FALSE(sameSecret("", "a"));
}

TEST(WebApi, StateMetersAndControls)
{
    Served s("api");
    Reply r = s.get("/api/state");
    ASSERT_EQ(r.status, 200) << r.body;
    json st = r.data();
    ASSERT_EQ(st["controls"].size(), static_cast<std::size_t>(kNumControls));
    for (int i = 0; i < kNumControls; ++i) {
        const json& c = st["controls"][static_cast<std::size_t>(i)];
        EXPECT_EQ(c["label"], kControlSpecs[i].label);
        EXPECT_EQ(c["value"].get<float>(), kControlSpecs[i].init);
        EXPECT_EQ(c["min"].get<float>(), kControlSpecs[i].min);
        EXPECT_EQ(c["max"].get<float>(), kControlSpecs[i].max);
        EXPECT_NE(std::find(st["groups"].begin(), st["groups"].end(), c["group"]), st["groups"].end());
    }
    // The identifiers are the LV2 port symbols.
    EXPECT_EQ(st["controls"][2]["symbol"], "band_2_1_gain_linking_db");
    EXPECT_EQ(st["controls"][5]["unit"], "Hz");
    EXPECT_EQ(st["controls"][17]["unit"], "x");
    EXPECT_EQ(st["controls"][9]["value"], 0.7);  // shown as the float's shortest decimal
    EXPECT_EQ(st["source"], "programme");
    EXPECT_EQ(st["rate"], 48000);
    EXPECT_TRUE(st["versions"].contains("plumbra"));

    // Meters: every symbol of the table, moving with the audio.
    json m1 = s.get("/api/meters").data();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    json m2 = s.get("/api/meters").data();
    ASSERT_EQ(m1["meters"].size(), kMeterDefinitions.size());
    EXPECT_TRUE(m1["meters"].contains("band_12_gate"));
    EXPECT_TRUE(m1["meters"].contains("limiter_gain_reduction"));
    EXPECT_GT(m2["block"].get<uint64_t>(), m1["block"].get<uint64_t>());
    EXPECT_GT(m2["meters"]["input_rms"].get<double>(), -60.0);

    // Writes by label (case-insensitive too) and by symbol; switches take true/false or 0/1.
    r = s.put("/api/controls", R"({"Lowpass Filter": 12000, "dnr_lpf_disable": true, "mbeq mt": -20})");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(s.controlBecomes("Lowpass Filter", 12000.0f), 12000.0f);
    EXPECT_EQ(s.control("DNR LPF Disable"), 1.0f);
    EXPECT_EQ(s.control("MBEQ Mt"), -20.0f);
    EXPECT_EQ(s.put("/api/controls", R"({"noisegate_gain_scale_db_per_band": -0.3})").status, 200);
    EXPECT_EQ(s.controlBecomes("Noisegate Gain Scale dB Per Band", -0.3f), -0.3f);

    // Every refused write, and none of them changes anything (all or nothing).
    struct Case {
        const char* body;
        int status;
    } cases[] = {
        {R"({"No Such Control": 1})", 404},
        {R"({"Lowpass Filter": 5000, "nope": 1})", 404},
        {R"({"Lowpass Filter": 99999})", 422},
        {R"({"Lowpass Filter": 5000, "MBEQ Mt": 5})", 422},
        {R"({"Lowpass Filter": "loud"})", 422},
        {R"({"DNR LPF Disable": 0.5})", 422},
        {R"({"Band 1 Level dB": true})", 422},
        {R"({"Lowpass Filter": null})", 400},
        {R"({"Lowpass Filter": [1]})", 400},
        {R"([1, 2])", 400},
        {R"({})", 400},
        {R"({"Lowpass Filter": 12)", 400},
        {"", 400},
    };
    for (const Case& c : cases) {
        r = s.put("/api/controls", c.body);
        EXPECT_EQ(r.status, c.status) << c.body << " -> " << r.body;
        EXPECT_TRUE(r.data().contains("error")) << r.body;
    }
    r = s.put("/api/controls", R"({"Lowpass Filter": 99999})");
    EXPECT_EQ(r.data()["min"], 1000.0);
    EXPECT_EQ(r.data()["max"], 15000.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(s.control("Lowpass Filter"), 12000.0f);
    EXPECT_EQ(s.control("MBEQ Mt"), -20.0f);

    // The writes were logged as events, numbered; since=N gives only the newer.
    json ev = s.get("/api/events?since=0").data();
    ASSERT_EQ(ev["events"].size(), 2u);
    EXPECT_EQ(ev["events"][0]["event"], "controls_changed");
    EXPECT_EQ(ev["events"][0]["controls"]["Lowpass Filter"], 12000.0);
    EXPECT_EQ(s.get("/api/events?since=1").data()["events"].size(), 1u);
    EXPECT_EQ(s.get("/api/events?since=2").data()["events"].size(), 0u);
    EXPECT_EQ(s.get("/api/events?since=x").status, 400);
    EXPECT_EQ(s.get("/api/nothing").status, 404);
    EXPECT_EQ(http(s.port, "DELETE", "/api/state", s.token).status, 405);
}

TEST(WebApi, PresetsSaveListRecall)
{
    Served s("presets");
    ASSERT_EQ(s.put("/api/controls", R"({"Lowpass Filter": 8000, "Disable WRMI EQ": 1})").status, 200);
    ASSERT_EQ(s.controlBecomes("Lowpass Filter", 8000.0f), 8000.0f);
    Reply r = s.put("/api/presets/Talk%20late", "");
    EXPECT_EQ(r.status, 201) << r.body;
    EXPECT_EQ(s.put("/api/presets/Talk%20late", "").status, 200);  // saved over

    // The file is the command line's preset format: NAME=VALUE lines, '#' comments.
    std::ifstream in(s.dir / "presets" / "Talk late.preset");
    std::map<std::string, std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') lines[line.substr(0, line.rfind('='))] = line.substr(line.rfind('=') + 1);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kNumControls));
    EXPECT_EQ(lines["Lowpass Filter"], "8000");
    EXPECT_EQ(lines["Disable WRMI EQ"], "on");
    EXPECT_EQ(lines["Noisegate Gain Scale dB Per Band"], "0.7");

    std::ofstream(s.dir / "presets" / "bright.preset") << "# by hand\nLowpass Filter=15000\n\nfinal 2k hf shelf = -5\n";
    std::ofstream(s.dir / "presets" / "broken.preset") << "Lowpass Filter=15000\nMBEQ Mt=40\n";
    std::ofstream(s.dir / "presets" / "notes.txt") << "not a preset";
    json list = s.get("/api/presets").data();
    EXPECT_EQ(list["presets"], json({"Talk late", "bright", "broken"}));

    // Recall: the file's values, the rest at their defaults; the preset is named in the state.
    r = http(s.port, "POST", "/api/presets/bright/recall", s.token);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(s.controlBecomes("Lowpass Filter", 15000.0f), 15000.0f);
    EXPECT_EQ(s.control("Final 2k HF Shelf"), -5.0f);
    EXPECT_EQ(s.control("Disable WRMI EQ"), 0.0f);
    EXPECT_EQ(s.get("/api/state").data()["preset"], "bright");
    EXPECT_EQ(http(s.port, "POST", "/api/presets/Talk%20late/recall", s.token).status, 200);
    EXPECT_EQ(s.controlBecomes("Lowpass Filter", 8000.0f), 8000.0f);

    // A bad file applies nothing; missing presets, bad names and escapes are refused.
    r = http(s.port, "POST", "/api/presets/broken/recall", s.token);
    EXPECT_EQ(r.status, 422) << r.body;
    EXPECT_NE(r.body.find("broken.preset:2"), std::string::npos) << r.body;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(s.control("Lowpass Filter"), 8000.0f);
    EXPECT_EQ(http(s.port, "POST", "/api/presets/absent/recall", s.token).status, 404);
    for (const char* name :
         {"..", "../escape", "%2e%2e%2fescape", "..%2F..%2Fetc%2Fpasswd", ".hidden", "a%00b", "a%2Fb", "x%ZZ",
          "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}) {
        EXPECT_EQ(s.put(std::string("/api/presets/") + name, "").status, 400) << name;
        const int recall = http(s.port, "POST", std::string("/api/presets/") + name + "/recall", s.token).status;
        EXPECT_TRUE(recall == 400 || recall == 404) << name << " " << recall;
    }
    EXPECT_FALSE(fs::exists(s.dir / "escape.preset"));
    EXPECT_FALSE(fs::exists(s.dir / "escape"));
    EXPECT_EQ(http(s.port, "GET", "/api/presets/bright/recall", s.token).status, 405);
}

TEST(WebApi, MeterStream)
{
    Served s("stream");
    const int fd = connectTo(s.port);
    const std::string req =
        "GET /api/stream?token=" + s.token + " HTTP/1.1\r\nHost: localhost:" + std::to_string(s.port) + "\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    char buf[65536];
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    ASSERT_EQ(got.rfind("HTTP/1.1 200", 0), 0u) << got.substr(0, 200);
    EXPECT_NE(got.find("text/event-stream"), std::string::npos);
    std::vector<json> frames;
    for (std::size_t at = got.find("data: "); at != std::string::npos; at = got.find("data: ", at + 1)) {
        const std::size_t end = got.find("\n\n", at);
        if (end == std::string::npos) break;
        frames.push_back(json::parse(got.substr(at + 6, end - at - 6)));
    }
    // 25 a second for 2 s, give or take a busy machine.
    EXPECT_GE(frames.size(), 20u);
    EXPECT_LE(frames.size(), 60u);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0]["meters"].size(), kMeterDefinitions.size());
    EXPECT_GT(frames.back()["block"].get<uint64_t>(), frames.front()["block"].get<uint64_t>());
    EXPECT_EQ(frames.back()["source"], "programme");

    // The query token opens the stream only: nothing else, and never a wrong one.
    EXPECT_EQ(http(s.port, "GET", "/api/stream?token=" + s.token.substr(1) + "x", "").status, 401);
    EXPECT_EQ(http(s.port, "GET", "/api/state?token=" + s.token, "").status, 401);
    EXPECT_EQ(http(s.port, "PUT", "/api/controls?token=" + s.token, "", R"({"Lowpass Filter": 5000})").status, 401);
}

// A refused write leaves the audio exactly as without it: two engines fed the
// same programme, the server on one of them.
TEST(WebApi, RefusedWritesLeaveTheOutputBits)
{
    Served s("bits", false);
    webtest::FixtureRemote twin;
    auto same = [&](int blocks) {
        bool equal = true;
        for (int b = 0; b < blocks; ++b) {
            const std::vector<float> a = s.remote.step(), c = twin.step();
            equal = equal && a.size() == c.size() && std::memcmp(a.data(), c.data(), a.size() * sizeof(float)) == 0;
        }
        return equal;
    };
    ASSERT_TRUE(same(50));
    for (const char* body : {R"({"Lowpass Filter": 2000, "MBEQ Mt": 1})", R"({"Lowpass Filter": 2000, "x": 1})",
                             R"({"Lowpass Filter": "2000"})", R"({"Lowpass Filter": 2000,)"})
        EXPECT_NE(s.put("/api/controls", body).status, 200) << body;
    EXPECT_NE(http(s.port, "POST", "/api/presets/none/recall", s.token).status, 200);
    EXPECT_EQ(http(s.port, "PUT", "/api/controls", "", R"({"Lowpass Filter": 2000})").status, 401);
    EXPECT_TRUE(same(200));
    // The comparison does see a write that is taken.
    ASSERT_EQ(s.put("/api/controls", R"({"Lowpass Filter": 2000})").status, 200);
    EXPECT_FALSE(same(200));
}

TEST(WebSecurity, TokenHostOriginAndPaths)
{
    Served s("security");
    const std::string wrongSameLength = std::string(s.token.size(), 'a');
    for (const char* path : {"/api/state", "/api/meters", "/api/presets", "/api/events?since=0", "/api/stream"}) {
        EXPECT_EQ(http(s.port, "GET", path, "").status, 401) << path;
        EXPECT_EQ(http(s.port, "GET", path, wrongSameLength).status, 401) << path;
        EXPECT_EQ(http(s.port, "GET", path, "short").status, 401) << path;
        EXPECT_EQ(http(s.port, "GET", path, "", "", "Cookie: token=" + s.token + "\r\n").status, 401) << path;
    }
    const std::string write = R"({"Lowpass Filter": 3000})";
    EXPECT_EQ(http(s.port, "PUT", "/api/controls", "", write, "Cookie: token=" + s.token + "\r\n").status, 401);
    EXPECT_EQ(http(s.port, "PUT", "/api/controls", "", write, "Authorization: Basic " + s.token + "\r\n").status, 401);
    EXPECT_EQ(http(s.port, "PUT", "/api/presets/x", wrongSameLength).status, 401);
    EXPECT_EQ(http(s.port, "POST", "/api/presets/x/recall", "").status, 401);

    // Another site's page (with the token, say by a leak) is refused; the page's own origin is not.
    const std::string port = std::to_string(s.port);
    for (const std::string& origin : {std::string("http://evil.example"), "http://127.0.0.1:" + port + ".evil.example",
                                      "https://127.0.0.1:" + port, std::string("null")}) {
        EXPECT_EQ(http(s.port, "PUT", "/api/controls", s.token, write, "Origin: " + origin + "\r\n").status, 403)
            << origin;
        EXPECT_EQ(http(s.port, "GET", "/api/state", s.token, "", "Origin: " + origin + "\r\n").status, 403) << origin;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(s.control("Lowpass Filter"), 9700.0f);
    EXPECT_EQ(http(s.port, "PUT", "/api/controls", s.token, write, "Origin: http://127.0.0.1:" + port + "\r\n").status,
              200);
    // A foreign Host (DNS rebinding) or none at all.
    EXPECT_EQ(raw(s.port, "GET /api/state HTTP/1.1\r\nHost: evil.example:" + port + "\r\nAuthorization: Bearer " +
                              s.token + "\r\nConnection: close\r\n\r\n")
                  .status,
              403);
    EXPECT_EQ(raw(s.port, "GET /api/state HTTP/1.1\r\nHost: localhost:1\r\nAuthorization: Bearer " + s.token +
                              "\r\nConnection: close\r\n\r\n")
                  .status,
              403);
    EXPECT_EQ(
        raw(s.port, "GET /api/state HTTP/1.1\r\nAuthorization: Bearer " + s.token + "\r\nConnection: close\r\n\r\n")
            .status,
        400);
    EXPECT_EQ(raw(s.port, "GET / HTTP/1.1\r\nHost: localhost:" + port + "\r\nConnection: close\r\n\r\n").status, 200);

    // The page needs no token, and nothing but its own files is served.
    Reply page = http(s.port, "GET", "/", "");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("Access token"), std::string::npos);
    EXPECT_EQ(http(s.port, "GET", "/app.js", "").status, 200);
    for (const char* path :
         {"/../../../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2fetc%2fpasswd", "/page/../index.html",
          "/%2fetc%2fpasswd", "//etc/passwd", "/server.cpp", "/index.html%00.js", "/.%2e/CMakeLists.txt"}) {
        Reply r = http(s.port, "GET", path, "");
        EXPECT_TRUE(r.status == 404 || r.status == 400) << path << " " << r.status;
        EXPECT_EQ(r.body.find("root:"), std::string::npos) << path;
    }
    EXPECT_EQ(http(s.port, "PUT", "/index.html", s.token, "x").status, 405);
}

TEST(WebSecurity, BoundsOnRequestsAndConnections)
{
    WebOptions bounds;
    bounds.idleSeconds = 30;
    Served s("bounds", true, bounds);
    const std::string port = std::to_string(s.port);
    // Oversized body, headers and header count; a malformed request.
    EXPECT_EQ(s.put("/api/controls", "{\"Lowpass Filter\": " + std::string(100000, ' ') + "5000}").status, 413);
    EXPECT_EQ(http(s.port, "GET", "/api/state", s.token, "", "X-Big: " + std::string(20000, 'x') + "\r\n").status, 431);
    std::string many;
    for (int i = 0; i < 60; ++i) many += "X-F" + std::to_string(i) + ": 1\r\n";
    EXPECT_EQ(http(s.port, "GET", "/api/state", s.token, "", many).status, 431);
    EXPECT_EQ(raw(s.port, "GARBAGE\r\n\r\n").status, 400);
    // A declared body larger than the bound is refused before it is sent.
    EXPECT_EQ(raw(s.port, "PUT /api/controls HTTP/1.1\r\nHost: localhost:" + port + "\r\nAuthorization: Bearer " +
                              s.token + "\r\nContent-Length: 999999999\r\n\r\n{")
                  .status,
              413);

    // A thousand idle connections: the server keeps answering, each one over the bound is
    // told 503, and the engine runs on.
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 2600 && lim.rlim_max >= 2600) {
        lim.rlim_cur = 2600;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 2600) GTEST_SKIP() << "needs 2600 file descriptors, has " << lim.rlim_cur;
    const uint64_t blocksBefore = s.remote.blocks();
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
        const int fd = connectTo(s.port);
        ASSERT_GE(fd, 0) << "connection " << i;
        idle.push_back(fd);
    }
    Reply good = s.get("/api/state");
    EXPECT_EQ(good.status, 200);
    EXPECT_EQ(s.put("/api/controls", R"({"Lowpass Filter": 4000})").status, 200);
    int told503 = 0, silent = 0, other = 0;
    for (int fd : idle) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            char buf[512];
            const ssize_t n = ::recv(fd, buf, sizeof buf - 1, 0);
            const std::string t(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
            if (t.rfind("HTTP/1.1 503", 0) == 0)
                ++told503;
            else
                ++other;
        } else {
            ++silent;  // still held open: within the bound
        }
        ::close(fd);
    }
    EXPECT_LE(silent, WebOptions{}.maxConnections);
    EXPECT_EQ(told503 + silent, 1000) << other << " closed without a status";
    EXPECT_GE(told503, 1000 - WebOptions{}.maxConnections);
    EXPECT_GT(s.remote.blocks(), blocksBefore);
    EXPECT_EQ(s.get("/api/meters").status, 200);
}

// Stream clients over the bound are refused with a status, and one that stops
// reading neither stops the others' frames nor holds its place for ever.
TEST(WebSecurity, StreamClientsBounded)
{
    WebOptions bounds;
    bounds.maxStreams = 2;
    bounds.streamStallSeconds = 1.0;
    Served s("streams", true, bounds);
    const std::string req = "GET /api/stream HTTP/1.1\r\nHost: localhost:" + std::to_string(s.port) +
                            "\r\nAuthorization: Bearer " + s.token + "\r\n\r\n";
    auto open = [&](int rcvbuf) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(s.port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        return fd;
    };
    const int stalled = open(4096);  // never reads
    const int reader = open(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Reply third = raw(s.port, req);
    EXPECT_EQ(third.status, 503);

    // The reader goes on at full rate while the stalled client's buffers fill and it is dropped.
    std::string got;
    char buf[65536];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{reader, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::recv(reader, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    }
    std::size_t frames = 0;
    for (std::size_t at = got.find("data: "); at != std::string::npos; at = got.find("data: ", at + 1)) ++frames;
    EXPECT_GE(frames, 60u);  // 25 a second for 4 s, give or take a busy machine
    // The stalled client is dropped once its buffers are full and it has taken nothing for a
    // second: its place is free again.
    std::string answer;
    for (int attempt = 0; attempt < 40 && answer != "HTTP/1.1 200"; ++attempt) {
        const int fd = open(0);
        pollfd p{fd, POLLIN, 0};
        const ssize_t n = ::poll(&p, 1, 2000) > 0 ? ::recv(fd, buf, 12, MSG_WAITALL) : 0;
        answer.assign(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
        ::close(fd);
        if (answer != "HTTP/1.1 200") std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_EQ(answer, "HTTP/1.1 200");
    ::close(reader);
    ::close(stalled);
}
