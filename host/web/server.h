// The live engine's remote control: an HTTP server with a JSON API, a meter
// stream and the web page, bound to loopback unless told otherwise, and
// answering only requests that carry the access token.
//
// It sees the engine only through remote::Remote, whose reads are snapshots and
// whose writes reach the audio through a lock-free queue: no request, however
// many, waits for the audio or makes the audio wait.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "host/common/status.h"
#include "host/remote/remote.h"

namespace plumbra::host::web {

struct WebOptions {
    std::string address = "127.0.0.1";
    int port = 0;           // 0: any free port (see WebServer::port)
    std::string tokenFile;  // empty: defaultTokenFile()
    std::string presetDir;  // empty: no presets to list, recall or save

    // Host names (besides IP literals and "localhost") that requests may name
    // in their Host header, e.g. the machine's DNS name when bound to a LAN.
    std::vector<std::string> allowedHosts;

    // Bounds. A connection over maxConnections takes the place of the longest
    // idle one (which is told 503); when none is idle it is refused with 503.
    int maxConnections = 128;
    int maxStreams = 64;                    // meter stream clients at once
    std::size_t maxHeaderBytes = 8 * 1024;  // request line and headers
    int maxHeaderFields = 50;
    std::size_t maxBodyBytes = 64 * 1024;
    double idleSeconds = 15.0;        // a connection without a request, or between requests
    double requestSeconds = 10.0;     // reading one request, writing one response
    int streamRate = 25;              // meter stream updates per second
    double streamStallSeconds = 5.0;  // a stream client this far behind is dropped
};

// "8750" -> 127.0.0.1:8750; "ADDR:PORT" (an IPv6 address in brackets, "[::1]:8750").
Result<WebOptions> parseHttpAddress(const std::string& text);

// $XDG_STATE_HOME/plumbra/token, else ~/.local/state/plumbra/token.
std::string defaultTokenFile();

// Reads the token from `path`, or makes a new one there (mode 0600, its folder
// created 0700) when the file does not exist. A file that others may read is refused.
Result<std::string> loadOrCreateToken(const std::string& path);

class WebServer {
public:
    virtual ~WebServer() = default;  // stops serving, closes every connection and joins the threads
    virtual int port() const = 0;
    virtual std::string token() const = 0;
    virtual std::string url() const = 0;  // http://ADDR:PORT/
};

// Starts serving on its own thread. Fails when the token file or the address cannot be used.
Result<std::unique_ptr<WebServer>> startWebServer(remote::Remote& remote, const WebOptions& options);

}  // namespace plumbra::host::web
