// plumbra live's command line, checked before anything starts.
#include <cstdio>
#include <cstdlib>

#include "host/common/options.h"
#include "host/live/live.h"
#ifdef PLUMBRA_HAS_WEB
#include "host/web/server.h"
#endif

namespace plumbra::host::live {

namespace {

std::string text(double x)
{
    char b[32];
    std::snprintf(b, sizeof b, "%g", x);
    return b;
}

Status number(const std::string& name, const std::string& v, double lo, double hi, double& out)
{
    char* end = nullptr;
    const double x = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(x >= lo && x <= hi))
        return usage(name + " wants a number from " + text(lo) + " to " + text(hi) + ", not \"" + v + "\"");
    out = x;
    return Status::success();
}

// "A,B" as one or two port names.
Result<std::vector<std::string>> ports(const std::string& option, const std::string& v)
{
    std::vector<std::string> out;
    const auto comma = v.find(',');
    out.push_back(v.substr(0, comma));
    if (comma != std::string::npos) out.push_back(v.substr(comma + 1));
    for (const auto& p : out)
        if (p.empty() || p.find(',') != std::string::npos)
            return usage(option + " wants one or two JACK ports, A or A,B");
    return out;
}

// --http: the web server starts once the engine is on air. Its address and token
// are checked here, before any audio, so that a mistake stops the command at
// once; should the port be taken later, the audio goes on and the event says why.
Status attachWebServer(const Args& a, LiveOptions& o)
{
    if (!a.has("--http")) {
        for (const char* webOnly : {"--token-file", "--preset-dir", "--allow-host"})
            if (a.has(webOnly)) return usage(std::string(webOnly) + " goes with --http");
        return Status::success();
    }
#ifdef PLUMBRA_HAS_WEB
    auto parsed = web::parseHttpAddress(a.last("--http"));
    if (!parsed.ok()) return parsed.status();
    web::WebOptions w = parsed.value();
    w.tokenFile = a.has("--token-file") ? a.last("--token-file") : web::defaultTokenFile();
    w.presetDir = a.last("--preset-dir");
    for (const auto& h : a.values("--allow-host")) w.allowedHosts.push_back(h);
    auto token = web::loadOrCreateToken(w.tokenFile);
    if (!token.ok()) return token.status();
    o.attach.push_back([w](Remote& remote) -> std::function<void()> {
        auto server = web::startWebServer(remote, w);
        if (!server.ok()) {
            remote.logEvent("http_failed", {{"reason", server.status().reason}});
            return {};
        }
        auto shared = std::shared_ptr<web::WebServer>(std::move(server.value()));
        remote.logEvent("http_listening", {{"url", shared->url()}});
        return [shared]() mutable { shared.reset(); };
    });
    return Status::success();
#else
    return usage("--http is not available in this build (it needs Boost's headers)");
#endif
}

}  // namespace

Status runLiveCommand(const Args& a)
{
    if (!a.positional.empty()) return usage("live takes no arguments, only options");
    LiveOptions o;
    for (const auto& [name, typed, v] : a.options) {
        Status s;
        double x = 0;
        if (name == "--name") {
            if (v.empty()) s = usage("--name needs a client name");
            o.jack.name = v;
        } else if (name == "--connect-in" || name == "--connect-out" || name == "--connect-backup") {
            auto p = ports(name, v);
            if (!p.ok()) return p.status();
            (name == "--connect-in"    ? o.jack.connectIn
             : name == "--connect-out" ? o.jack.connectOut
                                       : o.jack.connectBackup) = p.value();
        } else if (name == "--alsa-in") {
            o.alsaIn = v;
        } else if (name == "--alsa-out") {
            o.alsaOut = v;
        } else if (name == "--rate") {
            if ((s = number(name, v, 8000, 384000, x)).ok()) o.alsaRate = static_cast<int>(x);
        } else if (name == "--period") {
            if ((s = number(name, v, 16, 8192, x)).ok()) o.alsaPeriod = static_cast<int>(x);
        } else if (name == "--silence-threshold") {
            if ((s = number(name, v, -120, 0, x)).ok()) o.settings.silenceThresholdDb = static_cast<float>(x);
        } else if (name == "--silence-seconds") {
            if ((s = number(name, v, 0.1, 86400, x)).ok()) o.settings.silenceSeconds = x;
        } else if (name == "--failback-seconds") {
            if ((s = number(name, v, 0.1, 86400, x)).ok()) o.settings.failbackSeconds = x;
        } else if (name == "--backup") {
            if (v.empty()) s = usage("--backup needs a file or folder");
            o.backup = v;
        } else if (name == "--preset") {
            if (v.empty()) s = usage("--preset needs a file");
            o.preset = v;
        } else if (name == "--set") {
            o.sets.push_back(v);
        } else if (name == "--event-log") {
            o.eventLog = v;
        } else if (name == "--on-event") {
            o.onEvent = v;
        } else if (name == "--loudness-log") {
            if (v.empty() || v == "-") s = usage("--loudness-log needs a file");
            o.loudnessLog = v;
        } else if (name == "--log-interval") {
            if ((s = number(name, v, 1, 86400, x)).ok()) o.logInterval = x;
        } else if (name == "--duration") {
            if ((s = number(name, v, 0.1, 1e9, x)).ok()) o.duration = x;
        } else if (name == "--quiet") {
            o.quiet = true;
        } else if (name == "--http" || name == "--token-file" || name == "--preset-dir" || name == "--allow-host") {
            if (v.empty()) s = usage(name + " needs a value");
        }
        if (!s.ok()) return s;
    }
    if (o.alsaIn.empty() != o.alsaOut.empty()) return usage("--alsa-in and --alsa-out go together");
    const bool alsa = !o.alsaIn.empty();
    for (const char* jackOnly : {"--name", "--connect-in", "--connect-out", "--connect-backup"})
        if (alsa && a.has(jackOnly))
            return usage(std::string(jackOnly) + " is for JACK; it does not go with --alsa-in");
    for (const char* alsaOnly : {"--rate", "--period"})
        if (!alsa && a.has(alsaOnly))
            return usage(std::string(alsaOnly) + " is for ALSA (--alsa-in, --alsa-out); JACK sets its own");
    if (Status s = attachWebServer(a, o); !s.ok()) return s;
    return runLive(o);
}

}  // namespace plumbra::host::live
