// The access token against near misses, not only strangers: one character
// changed at the start, middle or end, one added or removed, a prefix, another
// case; in the Authorization header and in the stream's ?token=.
#include <poll.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/web/api.h"
#include "web_client.h"

using namespace plumbra::webtest;
using plumbra::host::web::sameSecret;

namespace {

struct NearMiss {
    std::string what, token;
};

std::vector<NearMiss> nearMisses(const std::string& t)
{
    auto changed = [&](std::size_t at) {
        std::string m = t;
        m[at] = m[at] == '0' ? '1' : '0';
        return m;
    };
    std::string upper = t;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return {{"first changed", changed(0)},
            {"middle changed", changed(t.size() / 2)},
            {"last changed", changed(t.size() - 1)},
            {"one added at the end", t + "0"},
            {"one added at the start", "0" + t},
            {"last removed", t.substr(0, t.size() - 1)},
            {"first removed", t.substr(1)},
            {"middle removed", t.substr(0, t.size() / 2) + t.substr(t.size() / 2 + 1)},
            {"half of it", t.substr(0, t.size() / 2)},
            {"its first character", t.substr(0, 1)},
            {"twice", t + t},
            {"upper case", upper}};
}

// The stream's status line, without waiting for a stream that never ends.
int streamStatus(int port, const std::string& query)
{
    const int fd = connectTo(port);
    const std::string req =
        "GET /api/stream?token=" + query + " HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string got;
    char buf[512];
    while (got.find("\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return got.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(got.c_str() + 9) : 0;
}

}  // namespace

TEST(WebToken, NearMissesAreRefusedInTheHeaderAndTheStream)
{
    Served s("near-misses");
    ASSERT_EQ(s.token.size(), 64u);
    ASSERT_EQ(s.get("/api/state").status, 200);
    ASSERT_EQ(streamStatus(s.port, s.token), 200);
    const std::string write = R"({"Lowpass Filter": 3000})";
    for (const NearMiss& m : nearMisses(s.token)) {
        ASSERT_NE(m.token, s.token) << m.what;
        EXPECT_EQ(http(s.port, "GET", "/api/state", m.token).status, 401) << m.what;
        EXPECT_EQ(http(s.port, "PUT", "/api/controls", m.token, write).status, 401) << m.what;
        EXPECT_EQ(streamStatus(s.port, m.token), 401) << m.what;
        EXPECT_FALSE(sameSecret(m.token, s.token)) << m.what;
    }
    // None of them wrote anything.
    EXPECT_EQ(s.get("/api/state").data()["writes"]["accepted"], 0);
    // The token itself, percent-encoded in the query, is still the token.
    char first[4];
    std::snprintf(first, sizeof first, "%%%02X", static_cast<unsigned>(static_cast<unsigned char>(s.token[0])));
    EXPECT_EQ(streamStatus(s.port, first + s.token.substr(1)), 200);
}

TEST(WebToken, ComparisonIsWholeAndLengthSafe)
{
    const std::string secret = "0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(sameSecret(secret, secret));
    for (const NearMiss& m : nearMisses(secret)) EXPECT_FALSE(sameSecret(m.token, secret)) << m.what;
    // Any length given, shorter or far longer, is only compared, never read past.
    EXPECT_FALSE(sameSecret("", secret));
    EXPECT_FALSE(sameSecret(std::string(100000, '0'), secret));
    EXPECT_FALSE(sameSecret(secret + std::string(1, '\0'), secret));
    // Nothing matches an empty secret, not even nothing.
    EXPECT_FALSE(sameSecret("", ""));
    EXPECT_FALSE(sameSecret("a", ""));
}
