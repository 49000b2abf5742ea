// What the web server answers, apart from the network: the checks every
// request goes through (Host, Origin, token), the JSON API, the presets and
// the built-in page. The server reads a request, asks Api::handle and writes
// what it returns; the meter stream's frames come from Api::streamFrame.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/remote/remote.h"
#include "host/web/server.h"

namespace plumbra::host::web {

struct ApiRequest {
    std::string method;
    std::string target;  // path and query, as sent
    std::string host;    // Host header
    std::string origin;  // Origin header, if any
    bool hasOrigin = false;
    std::string authorization;  // Authorization header
    std::string body;
};

struct ApiResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool stream = false;  // the request opens the meter stream: the server takes over
};

// Whether `given` is the (non-empty) `secret`, in a time that depends on `given`'s length only.
bool sameSecret(const std::string& given, const std::string& secret);

class Api {
public:
    Api(remote::Remote& remote, const WebOptions& options, std::string token, int port);

    ApiResponse handle(const ApiRequest& request);
    // One frame of the meter stream: the latest meters and loudness, the source on air
    // and the newest event's number, as one JSON object.
    std::string streamFrame();

private:
    ApiResponse route(const ApiRequest& request, const std::string& path, const std::string& query);
    ApiResponse state();
    ApiResponse meters();
    ApiResponse putControls(const std::string& body);
    ApiResponse presets();
    ApiResponse recallPreset(const std::string& name);
    ApiResponse savePreset(const std::string& name);
    ApiResponse events(const std::string& query);
    bool hostAllowed(const std::string& host) const;
    bool originAllowed(const std::string& origin, const std::string& host) const;

    remote::Remote& remote_;
    WebOptions options_;
    std::string token_;
    int port_;
    uint64_t lastEvent_ = 0;
};

}  // namespace plumbra::host::web
