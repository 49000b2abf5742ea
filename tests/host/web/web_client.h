// A client of the web server for its tests, over real sockets (every request
// says Connection: close), and the server running on the stand-in engine.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "fixture_remote.h"
#include "host/web/server.h"

namespace plumbra::webtest {

namespace fs = std::filesystem;
using host::web::WebOptions;
using host::web::WebServer;
using nlohmann::json;

struct Reply {
    int status = 0;  // 0: no answer
    std::string head, body;
    json data() const { return json::parse(body, nullptr, false); }
};

inline int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// Reads an answer until the server closes (every request here says Connection: close).
inline Reply readReply(int fd, std::size_t limit = 1 << 20)
{
    std::string all;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        all.append(buf, static_cast<std::size_t>(n));
        if (all.size() > limit) break;
    }
    Reply r;
    if (all.rfind("HTTP/1.1 ", 0) == 0) r.status = std::atoi(all.c_str() + 9);
    const auto split = all.find("\r\n\r\n");
    r.head = all.substr(0, split);
    if (split != std::string::npos) r.body = all.substr(split + 4);
    return r;
}

inline Reply raw(int port, const std::string& text)
{
    const int fd = connectTo(port);
    if (fd < 0) return {};
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    Reply r = readReply(fd);
    ::close(fd);
    return r;
}

inline Reply http(int port, const std::string& method, const std::string& target, const std::string& token,
                  const std::string& body = "", const std::string& extraHeaders = "")
{
    std::string t = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    if (!token.empty()) t += "Authorization: Bearer " + token + "\r\n";
    t += extraHeaders;
    if (!body.empty() || method == "PUT" || method == "POST")
        t += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    t += "Connection: close\r\n\r\n" + body;
    return raw(port, t);
}

inline fs::path scratch(const std::string& name)
{
    const fs::path p = fs::temp_directory_path() / ("plumbra-web-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

// A running stand-in engine with the server on it.
struct Served {
    webtest::FixtureRemote remote;
    std::unique_ptr<WebServer> server;
    fs::path dir;
    int port = 0;
    std::string token;

    explicit Served(const std::string& name, bool run = true, WebOptions options = {})
    {
        dir = scratch(name);
        fs::create_directories(dir / "presets");
        options.tokenFile = (dir / "state" / "token").string();
        options.presetDir = (dir / "presets").string();
        if (run) remote.start();
        auto s = startWebServer(remote, options);
        if (!s.ok()) throw std::runtime_error(s.status().reason);
        server = std::move(s.value());
        port = server->port();
        token = server->token();
    }
    ~Served()
    {
        server.reset();
        remote.stop();
        fs::remove_all(dir);
    }
    Reply get(const std::string& path) { return http(port, "GET", path, token); }
    Reply put(const std::string& path, const std::string& body) { return http(port, "PUT", path, token, body); }
    float control(const std::string& label)
    {
        const json state = get("/api/state").data();
        for (const auto& c : state["controls"])
            if (c["label"] == label) return c["value"].get<float>();
        return NAN;
    }
    // The audio thread applies writes at its next block: wait for it.
    float controlBecomes(const std::string& label, float want)
    {
        float v = control(label);
        for (int i = 0; i < 200 && v != want; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            v = control(label);
        }
        return v;
    }
};

}  // namespace plumbra::webtest
