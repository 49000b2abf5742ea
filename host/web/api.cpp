// The web server's answers: checks, JSON API, presets and the built-in page.
#include "host/web/api.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "dsp/control_table.h"
#include "dsp/meters.h"
#include "host/common/control_text.h"
#include "host/common/text.h"
#include "host/web/page.h"

#include "host/common/version.h"

namespace plumbra::host::web {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxPresets = 500;
constexpr std::size_t kMaxPresetBytes = 16 * 1024;
constexpr std::size_t kMaxEventsPerAnswer = 500;

// A float as the shortest decimal that reads back as it, as a double for JSON
// (0.7f shows as 0.7, not 0.699999988).
double shown(float v)
{
    return std::strtod(shortestText(v).c_str(), nullptr);
}

json number(double v)
{
    return std::isfinite(v) ? json(v) : json(nullptr);
}

json loudnessObject(const remote::LoudnessReading& l)
{
    return {{"momentary", number(l.momentary)},
            {"short_term", number(l.shortTerm)},
            {"integrated", number(l.integrated)},
            {"true_peak", number(l.truePeak)},
            {"input_level", number(l.inputLevel)}};
}

json writesObject(const remote::LiveStatus& s)
{
    return {{"accepted", s.writesAccepted}, {"applied", s.writesApplied}};
}

const char* meterUnitText(MeterUnit u)
{
    switch (u) {
    case MeterUnit::kDecibel: return "dB";
    case MeterUnit::kDecibelFullScale: return "dBFS";
    case MeterUnit::kHertz: return "Hz";
    case MeterUnit::kRatio: break;
    }
    return "";
}

// Text that is not UTF-8 (a preset's file name, an event's detail) as U+FFFD, never an exception.
std::string dump(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

ApiResponse reply(int status, const json& body)
{
    ApiResponse r;
    r.status = status;
    r.body = dump(body);
    return r;
}

ApiResponse error(int status, const std::string& message, json extra = json::object())
{
    extra["error"] = message;
    return reply(status, extra);
}

json rangeOf(int i)
{
    const ControlSpec& c = kControlSpecs[i];
    json r = {{"control", c.label}, {"symbol", c.symbol}, {"min", shown(c.min)}, {"max", shown(c.max)}};
    if (c.toggle) r["values"] = "0 (off) or 1 (on)";
    if (*controlUnitText(i)) r["unit"] = controlUnitText(i);
    return r;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX decoding of one path segment or query value; false on a bad escape or a decoded NUL.
bool percentDecode(const std::string& in, std::string& out, bool plusIsSpace)
{
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) return false;
            const int h = hexDigit(in[i + 1]), l = hexDigit(in[i + 2]);
            if (h < 0 || l < 0) return false;
            c = static_cast<char>(h * 16 + l);
            if (c == '\0') return false;
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            c = ' ';
        }
        out += c;
    }
    return true;
}

std::string queryValue(const std::string& query, const std::string& key)
{
    std::size_t at = 0;
    while (at <= query.size()) {
        std::size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        const std::string part = query.substr(at, end - at);
        const std::size_t eq = part.find('=');
        if (eq != std::string::npos && part.substr(0, eq) == key) {
            std::string v;
            return percentDecode(part.substr(eq + 1), v, true) ? v : std::string();
        }
        at = end + 1;
    }
    return {};
}

// A preset name keeps to letters, digits, space, '_', '-' and '.' (not first), at most 64.
bool validPresetName(const std::string& name)
{
    if (name.empty() || name.size() > 64 || name.front() == '.' || name.front() == ' ' || name.back() == ' ')
        return false;
    for (unsigned char c : name)
        if (!(std::isalnum(c) || c == ' ' || c == '_' || c == '-' || c == '.')) return false;
    return true;
}

const char* contentTypeOf(const std::string& name)
{
    auto ends = [&](const char* e) {
        const std::string s(e);
        return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    if (ends(".png")) return "image/png";
    return "application/octet-stream";
}

// "host[:port]" -> host (brackets kept off an IPv6 literal); false when malformed.
bool hostName(const std::string& hostHeader, std::string& name, std::string& port)
{
    const std::string h = trim(hostHeader);
    if (h.empty()) return false;
    if (h.front() == '[') {
        const std::size_t close = h.find(']');
        if (close == std::string::npos) return false;
        name = h.substr(1, close - 1);
        if (close + 1 < h.size()) {
            if (h[close + 1] != ':') return false;
            port = h.substr(close + 2);
        }
    } else {
        const std::size_t colon = h.find(':');
        name = h.substr(0, colon);
        if (colon != std::string::npos) port = h.substr(colon + 1);
    }
    if (name.empty()) return false;
    for (char c : port)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool isIpLiteral(const std::string& name)
{
    bool v4 = !name.empty(), v6 = name.find(':') != std::string::npos;
    for (unsigned char c : name) {
        if (!(std::isdigit(c) || c == '.')) v4 = false;
        if (!(std::isxdigit(c) || c == ':' || c == '.')) v6 = false;
    }
    return v4 || v6;
}

}  // namespace

bool sameSecret(const std::string& given, const std::string& secret)
{
    // Every byte given is compared, whatever differs: the time depends on the given
    // length alone, and tells nothing of the secret, not even its length.
    unsigned diff = given.size() == secret.size() ? 0u : 1u;
    for (std::size_t i = 0; i < given.size(); ++i) {
        const unsigned char s = secret.empty() ? 0 : static_cast<unsigned char>(secret[i % secret.size()]);
        diff |= static_cast<unsigned>(static_cast<unsigned char>(given[i]) ^ s);
    }
    return diff == 0 && !secret.empty();
}

Api::Api(remote::Remote& remote, const WebOptions& options, std::string token, int port)
    : remote_(remote)
    , options_(options)
    , token_(std::move(token))
    , port_(port)
{
}

bool Api::hostAllowed(const std::string& hostHeader) const
{
    std::string name, port;
    if (!hostName(hostHeader, name, port)) return false;
    if (!port.empty() && port != std::to_string(port_)) return false;
    // IP literals and localhost cannot be rebound by a foreign DNS name.
    if (isIpLiteral(name) || lower(name) == "localhost") return true;
    for (const auto& h : options_.allowedHosts)
        if (lower(h) == lower(name)) return true;
    return false;
}

bool Api::originAllowed(const std::string& origin, const std::string& host) const
{
    // The page's own origin only: the scheme and the Host the request came to.
    return lower(trim(origin)) == "http://" + lower(trim(host));
}

ApiResponse Api::handle(const ApiRequest& request)
{
    if (request.host.empty()) return error(400, "the Host header is missing");
    if (!hostAllowed(request.host)) return error(403, "the Host header names another site");
    if (request.hasOrigin && !originAllowed(request.origin, request.host))
        return error(403, "requests from another site's page are refused");

    std::string path = request.target, query;
    const std::size_t q = path.find('?');
    if (q != std::string::npos) {
        query = path.substr(q + 1);
        path.erase(q);
    }
    if (path.empty() || path.front() != '/') return error(400, "bad request target");

    // The page: public (it holds no data and asks for the token), GET only.
    if (path.rfind("/api/", 0) != 0 && path != "/api") {
        if (request.method != "GET" && request.method != "HEAD") return error(405, "the page is read only");
        std::string name;
        if (!percentDecode(path.substr(1), name, false)) return error(400, "bad request target");
        if (name.empty()) name = "index.html";
        const PageFile* f = findPageFile(name);
        if (!f) return error(404, "no such page");
        ApiResponse r;
        r.contentType = contentTypeOf(name);
        r.body.assign(reinterpret_cast<const char*>(f->data), f->size);
        r.headers.emplace_back("Cache-Control", "no-cache");
        r.headers.emplace_back("X-Content-Type-Options", "nosniff");
        r.headers.emplace_back("Content-Security-Policy",
                               "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
        return r;
    }

    // Everything else needs the token: in the Authorization header; the stream, which a
    // browser's EventSource opens without headers, also takes it as ?token= (it only reads).
    std::string given;
    const std::string auth = trim(request.authorization);
    if (auth.size() > 7 && lower(auth.substr(0, 7)) == "bearer ") given = trim(auth.substr(7));
    if (given.empty() && path == "/api/stream" && request.method == "GET") given = queryValue(query, "token");
    if (given.empty() || !sameSecret(given, token_)) {
        ApiResponse r = error(401, given.empty() ? "the access token is missing" : "wrong access token");
        r.headers.emplace_back("WWW-Authenticate", "Bearer");
        return r;
    }
    ApiResponse r = route(request, path, query);
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

ApiResponse Api::route(const ApiRequest& request, const std::string& path, const std::string& query)
{
    const std::string& m = request.method;
    auto only = [&](const char* method) { return error(405, std::string("use ") + method); };
    if (path == "/api/state") return m == "GET" ? state() : only("GET");
    if (path == "/api/meters") return m == "GET" ? meters() : only("GET");
    if (path == "/api/controls") {
        if (m == "GET") return state();
        return m == "PUT" ? putControls(request.body) : only("PUT");
    }
    if (path == "/api/events") return m == "GET" ? events(query) : only("GET");
    if (path == "/api/stream") {
        if (m != "GET") return only("GET");
        ApiResponse r;
        r.stream = true;
        return r;
    }
    if (path == "/api/presets") return m == "GET" ? presets() : only("GET");
    const std::string prefix = "/api/presets/";
    if (path.rfind(prefix, 0) == 0) {
        std::string rest = path.substr(prefix.size()), raw = rest;
        bool recall = false;
        const std::string suffix = "/recall";
        if (rest.size() > suffix.size() && rest.compare(rest.size() - suffix.size(), suffix.size(), suffix) == 0) {
            raw = rest.substr(0, rest.size() - suffix.size());
            recall = true;
        }
        std::string name;
        if (!percentDecode(raw, name, false) || !validPresetName(name))
            return error(400, "a preset name has 1 to 64 letters, digits, spaces, '_', '-' or '.' (not first)");
        if (recall) return m == "POST" ? recallPreset(name) : only("POST");
        return m == "PUT" ? savePreset(name) : only("PUT");
    }
    return error(404, "no such API path");
}

ApiResponse Api::state()
{
    const remote::LiveStatus s = remote_.status();
    const std::vector<float> values = remote_.controls();
    json controls = json::array();
    for (int i = 0; i < kNumControls; ++i) {
        const ControlSpec& c = kControlSpecs[i];
        const float v = i < static_cast<int>(values.size()) ? values[static_cast<std::size_t>(i)] : c.init;
        controls.push_back({{"index", i},
                            {"label", c.label},
                            {"symbol", c.symbol},
                            {"group", kControlGroupNames[static_cast<std::size_t>(c.group)]},
                            {"value", shown(v)},
                            {"unit", controlUnitText(i)},
                            {"min", shown(c.min)},
                            {"max", shown(c.max)},
                            {"default", shown(c.init)},
                            {"step", c.toggle ? 1.0 : shown(c.step)},
                            {"toggle", c.toggle}});
    }
    json body = {{"controls", controls},
                 {"groups", kControlGroupNames},
                 {"preset", s.preset},
                 {"source", s.source},
                 {"audio", s.audio},
                 {"uptime", s.uptimeSeconds},
                 {"xruns", s.xruns},
                 {"recoveries", s.recoveries},
                 {"rate", s.rate},
                 {"period", s.period},
                 {"latency", s.latency},
                 {"writes", writesObject(s)},
                 {"presets", !options_.presetDir.empty()},
                 {"versions", {{"plumbra", kVersion}, {"api", 1}}}};
    return reply(200, body);
}

ApiResponse Api::meters()
{
    const MeterSnapshot m = remote_.meters();
    const remote::LoudnessReading l = remote_.loudness();
    json values = json::object();
    json units = json::object();
    json order = json::array();
    for (std::size_t i = 0; i < kMeterDefinitions.size(); ++i) {
        const std::string symbol(kMeterDefinitions[i].symbolText());
        values[symbol] = number(shown(m.values[i]));
        units[symbol] = meterUnitText(kMeterDefinitions[i].unit);
        order.push_back(symbol);
    }
    json body = {{"block", m.block},
                 {"samples", m.samples},
                 {"meters", values},
                 {"units", units},
                 {"order", order},  // the stream's meter array follows this order
                 {"gate_closed_below", shown(kGateClosedBelow)},
                 {"loudness", loudnessObject(l)}};
    return reply(200, body);
}

std::string Api::streamFrame()
{
    const MeterSnapshot m = remote_.meters();
    const remote::LoudnessReading l = remote_.loudness();
    const remote::LiveStatus s = remote_.status();
    const auto newer = remote_.eventsSince(lastEvent_);
    if (!newer.empty()) lastEvent_ = newer.back().seq;
    // Compact: meters as an array in meter table order (GET /api/meters names them).
    json values = json::array();
    for (float v : m.values) values.push_back(number(std::round(static_cast<double>(v) * 100.0) / 100.0));
    // The controls as GET /api/state shows them, in control table order.
    json controls = json::array();
    for (float v : remote_.controls()) controls.push_back(shown(v));
    json frame = {{"block", m.block},          {"meters", values},   {"loudness", loudnessObject(l)},
                  {"source", s.source},        {"preset", s.preset}, {"controls", controls},
                  {"writes", writesObject(s)}, {"xruns", s.xruns},   {"event", lastEvent_}};
    return dump(frame);
}

ApiResponse Api::putControls(const std::string& body)
{
    json j = json::parse(body, nullptr, false);
    if (j.is_discarded()) return error(400, "the body is not JSON");
    if (!j.is_object() || j.empty())
        return error(400,
                     "the body must be a JSON object of control names and values, e.g. {\"Lowpass Filter\": 12000}");
    std::vector<std::pair<int, float>> values;
    // Names first: an unknown one is reported before any value.
    for (auto it = j.begin(); it != j.end(); ++it)
        if (findControl(it.key()) < 0) return error(404, "unknown control", {{"control", it.key()}});
    json applied = json::object();
    for (auto it = j.begin(); it != j.end(); ++it) {
        const int i = findControl(it.key());
        const json& v = it.value();
        if (v.is_null() || v.is_array() || v.is_object())
            return error(400, "a control's value must be a number", {{"control", kControlSpecs[i].label}});
        if (!v.is_number() && !(v.is_boolean() && kControlSpecs[i].toggle))
            return error(422, "value is not a number", rangeOf(i));
        const auto f = checkSetting(i, v.is_boolean() ? (v.get<bool>() ? 1.0 : 0.0) : v.get<double>());
        if (!f.ok()) return error(422, f.status().reason, rangeOf(i));
        values.emplace_back(i, f.value());
        applied[kControlSpecs[i].label] = shown(f.value());
    }
    if (!remote_.applyControls(values, "")) return error(503, "the engine is not taking changes now; try again");
    remote_.logEvent("controls_changed", {{"by", "web"}, {"controls", applied}});
    return reply(200, {{"applied", applied}, {"write", remote_.status().writesAccepted}});
}

ApiResponse Api::presets()
{
    json list = json::array();
    if (!options_.presetDir.empty()) {
        std::vector<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(options_.presetDir, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path p = it->path();
            if (p.extension() != ".preset" || !it->is_regular_file(ec)) continue;
            const std::string name = p.stem().string();
            if (validPresetName(name)) names.push_back(name);
            if (names.size() >= kMaxPresets) break;
        }
        std::sort(names.begin(), names.end());
        for (auto& n : names) list.push_back(n);
    }
    return reply(200, {{"presets", list}, {"preset", remote_.status().preset}});
}

ApiResponse Api::recallPreset(const std::string& name)
{
    if (options_.presetDir.empty()) return error(404, "no preset folder was given (--preset-dir)");
    const fs::path file = fs::path(options_.presetDir) / (name + ".preset");
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return error(404, "no such preset", {{"preset", name}});
    if (fs::file_size(file, ec) > kMaxPresetBytes)
        return error(422, "the preset file is too large", {{"preset", name}});
    std::ifstream in(file, std::ios::binary);
    std::string text(kMaxPresetBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad() || !in.eof()) return error(500, "cannot read the preset", {{"preset", name}});
    text.resize(static_cast<std::size_t>(in.gcount()));
    const auto settings = parsePresetText(text, name + ".preset");
    if (!settings.ok()) return error(422, settings.status().reason, {{"preset", name}});
    // Controls the file leaves out take their defaults, as when the engine starts with it.
    std::vector<float> value(kNumControls);
    for (int i = 0; i < kNumControls; ++i) value[static_cast<std::size_t>(i)] = kControlSpecs[i].init;
    for (const ControlSetting& c : settings.value()) value[static_cast<std::size_t>(c.index)] = c.value;
    std::vector<std::pair<int, float>> values;
    for (int i = 0; i < kNumControls; ++i) values.emplace_back(i, value[static_cast<std::size_t>(i)]);
    if (!remote_.applyControls(values, name)) return error(503, "the engine is not taking changes now; try again");
    remote_.logEvent("preset_recalled", {{"by", "web"}, {"preset", name}});
    return reply(200, {{"preset", name}, {"write", remote_.status().writesAccepted}});
}

ApiResponse Api::savePreset(const std::string& name)
{
    if (options_.presetDir.empty()) return error(404, "no preset folder was given (--preset-dir)");
    const fs::path dir(options_.presetDir);
    const fs::path file = dir / (name + ".preset");
    std::error_code ec;
    const bool exists = fs::exists(file, ec);
    if (!exists) {
        std::size_t count = 0;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".preset") ++count;
        if (count >= kMaxPresets) return error(507, "the preset folder is full");
    }
    const std::vector<float> values = remote_.controls();
    std::ostringstream text;
    text << "# plumbra preset \"" << name << "\", saved from the web page\n";
    for (int i = 0; i < kNumControls && i < static_cast<int>(values.size()); ++i) {
        const float v = values[static_cast<std::size_t>(i)];
        text << kControlSpecs[i].label << '=' << controlValueText(i, v) << '\n';
    }
    // Written beside the file and renamed over it, so a reader never sees half of it.
    const fs::path tmp = dir / ("." + name + ".preset.tmp");
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text.str();
        out.close();
        if (!out) {
            fs::remove(tmp, ec);
            return error(500, "cannot write the preset", {{"preset", name}});
        }
    }
    fs::rename(tmp, file, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return error(500, "cannot write the preset", {{"preset", name}});
    }
    remote_.logEvent("preset_saved", {{"by", "web"}, {"preset", name}});
    return reply(exists ? 200 : 201, {{"preset", name}});
}

ApiResponse Api::events(const std::string& query)
{
    uint64_t since = 0;
    const std::string s = queryValue(query, "since");
    if (!s.empty()) {
        const auto r = std::from_chars(s.data(), s.data() + s.size(), since);
        if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return error(400, "since must be a whole number");
    }
    json list = json::array();
    uint64_t last = since;
    const auto records = remote_.eventsSince(since);
    const std::size_t first = records.size() > kMaxEventsPerAnswer ? records.size() - kMaxEventsPerAnswer : 0;
    for (std::size_t i = first; i < records.size(); ++i) {
        nlohmann::ordered_json e = records[i].event;
        e["seq"] = records[i].seq;
        list.push_back(json(e));
        last = records[i].seq;
    }
    return reply(200, {{"events", list}, {"last", last}});
}

}  // namespace plumbra::host::web
