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
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::strtod(std::string(buf, r.ptr).c_str(), nullptr);
}

json number(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

std::string floatText(float v)
{
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

const char* unitText(ControlUnit u)
{
    switch (u) {
    case ControlUnit::kDecibel: return "dB";
    case ControlUnit::kHertz: return "Hz";
    case ControlUnit::kFactor: return "x";
    case ControlUnit::kNone: break;
    }
    return "";
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

ApiResponse reply(int status, const json& body)
{
    ApiResponse r;
    r.status = status;
    r.body = body.dump();
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
    json r = {{"control", c.label}, {"symbol", controlSymbol(c.label)}, {"min", shown(c.min)}, {"max", shown(c.max)}};
    if (c.toggle) r["values"] = "0 (off) or 1 (on)";
    if (*unitText(c.unit)) r["unit"] = unitText(c.unit);
    return r;
}

// A value for control i, or the reason it cannot be one.
bool controlValue(int i, double x, float& out)
{
    const ControlSpec& c = kControlSpecs[i];
    if (!std::isfinite(x)) return false;
    if (c.toggle) {
        if (x != 0.0 && x != 1.0) return false;
    } else if (x < static_cast<double>(c.min) || x > static_cast<double>(c.max)) {
        return false;
    }
    out = static_cast<float>(x);
    return true;
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

const std::vector<std::string>& controlGroups()
{
    static const std::vector<std::string> groups = {"Band levels and gates", "Gain linking", "Input filter", "Equaliser",
                                                    "Bandwidth expansion",  "Noise reduction", "Output"};
    return groups;
}

int controlGroup(int index)
{
    // In control table order.
    static constexpr int kGroupOf[kNumControls] = {0, 0, 1, 1, 1, 2, 3, 3, 0, 0, 3, 6, 4, 4, 4, 6, 4, 5, 5};
    return index >= 0 && index < kNumControls ? kGroupOf[index] : -1;
}

int findControl(const std::string& name)
{
    for (int i = 0; i < kNumControls; ++i)
        if (name == kControlSpecs[i].label || name == controlSymbol(kControlSpecs[i].label)) return i;
    const std::string l = lower(trim(name));
    for (int i = 0; i < kNumControls; ++i)
        if (l == lower(kControlSpecs[i].label)) return i;
    return -1;
}

bool sameSecret(const std::string& a, const std::string& b)
{
    const std::size_t n = std::max(a.size(), b.size());
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned>(x ^ y);
    }
    return diff == 0;
}

Api::Api(live::Remote& remote, const WebOptions& options, std::string token, int port)
    : remote_(remote), options_(options), token_(std::move(token)), port_(port)
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
    const live::LiveStatus s = remote_.status();
    const std::vector<float> values = remote_.controls();
    json controls = json::array();
    for (int i = 0; i < kNumControls; ++i) {
        const ControlSpec& c = kControlSpecs[i];
        const float v = i < static_cast<int>(values.size()) ? values[static_cast<std::size_t>(i)] : c.init;
        controls.push_back({{"index", i},
                            {"label", c.label},
                            {"symbol", controlSymbol(c.label)},
                            {"group", controlGroups()[static_cast<std::size_t>(controlGroup(i))]},
                            {"value", shown(v)},
                            {"unit", unitText(c.unit)},
                            {"min", shown(c.min)},
                            {"max", shown(c.max)},
                            {"default", shown(c.init)},
                            {"step", c.toggle ? 1.0 : shown(c.step)},
                            {"toggle", c.toggle}});
    }
    json body = {{"controls", controls},
                 {"groups", controlGroups()},
                 {"preset", s.preset},
                 {"source", s.source},
                 {"audio", s.audio},
                 {"uptime", s.uptimeSeconds},
                 {"xruns", s.xruns},
                 {"recoveries", s.recoveries},
                 {"rate", s.rate},
                 {"period", s.period},
                 {"latency", s.latency},
                 {"presets", !options_.presetDir.empty()},
                 {"versions", {{"plumbra", kVersion}, {"api", 1}}}};
    return reply(200, body);
}

ApiResponse Api::meters()
{
    const MeterSnapshot m = remote_.meters();
    const live::LoudnessReading l = remote_.loudness();
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
                 {"loudness",
                  {{"momentary", number(l.momentary)},
                   {"short_term", number(l.shortTerm)},
                   {"integrated", number(l.integrated)},
                   {"true_peak", number(l.truePeak)},
                   {"input_level", number(l.inputLevel)}}}};
    return reply(200, body);
}

std::string Api::streamFrame()
{
    const MeterSnapshot m = remote_.meters();
    const live::LoudnessReading l = remote_.loudness();
    const live::LiveStatus s = remote_.status();
    const auto newer = remote_.eventsSince(lastEvent_);
    if (!newer.empty()) lastEvent_ = newer.back().seq;
    // Compact: meters as an array in meter table order (GET /api/meters names them).
    json values = json::array();
    for (float v : m.values) values.push_back(number(std::round(static_cast<double>(v) * 100.0) / 100.0));
    json frame = {{"block", m.block},
                  {"meters", values},
                  {"loudness",
                   {{"momentary", number(l.momentary)},
                    {"short_term", number(l.shortTerm)},
                    {"integrated", number(l.integrated)},
                    {"true_peak", number(l.truePeak)},
                    {"input_level", number(l.inputLevel)}}},
                  {"source", s.source},
                  {"preset", s.preset},
                  {"xruns", s.xruns},
                  {"event", lastEvent_}};
    return frame.dump();
}

ApiResponse Api::putControls(const std::string& body)
{
    json j = json::parse(body, nullptr, false);
    if (j.is_discarded()) return error(400, "the body is not JSON");
    if (!j.is_object() || j.empty())
        return error(400, "the body must be a JSON object of control names and values, e.g. {\"Lowpass Filter\": 12000}");
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
        double x = NAN;
        if (v.is_boolean() && kControlSpecs[i].toggle) x = v.get<bool>() ? 1.0 : 0.0;
        else if (v.is_number()) x = v.get<double>();
        float f = 0.0f;
        if (!controlValue(i, x, f))
            return error(422, v.is_number() ? "value out of range" : "value is not a number", rangeOf(i));
        values.emplace_back(i, f);
        applied[kControlSpecs[i].label] = shown(f);
    }
    remote_.applyControls(values, "");
    remote_.logEvent("controls_changed", json({{"by", "web"}, {"controls", applied}}).dump());
    return reply(200, {{"applied", applied}});
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
    if (fs::file_size(file, ec) > kMaxPresetBytes) return error(422, "the preset file is too large", {{"preset", name}});
    std::ifstream in(file);
    if (!in) return error(500, "cannot read the preset", {{"preset", name}});
    // Controls the file leaves out take their defaults, as when the engine starts with it.
    std::vector<float> value(kNumControls);
    for (int i = 0; i < kNumControls; ++i) value[static_cast<std::size_t>(i)] = kControlSpecs[i].init;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = trim(line);
        if (line.empty()) continue;
        const std::size_t eq = line.rfind('=');
        auto bad = [&](const std::string& why) {
            return error(422, name + ".preset:" + std::to_string(number) + ": " + why, {{"preset", name}});
        };
        if (eq == std::string::npos) return bad("expected NAME=VALUE");
        const std::string key = trim(line.substr(0, eq)), text = lower(trim(line.substr(eq + 1)));
        int i = findControl(key);
        if (i < 0 && !key.empty() && std::all_of(key.begin(), key.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            const int idx = std::atoi(key.c_str());
            if (key.size() <= 2 && idx < kNumControls) i = idx;
        }
        if (i < 0) return bad("unknown control \"" + key + "\"");
        double x = NAN;
        if (kControlSpecs[i].toggle && (text == "on" || text == "true" || text == "yes")) x = 1.0;
        else if (kControlSpecs[i].toggle && (text == "off" || text == "false" || text == "no")) x = 0.0;
        else {
            char* end = nullptr;
            x = std::strtod(text.c_str(), &end);
            if (text.empty() || end != text.c_str() + text.size()) x = NAN;
        }
        float f = 0.0f;
        if (!controlValue(i, x, f)) return bad("bad or out-of-range value for \"" + std::string(kControlSpecs[i].label) + "\"");
        value[static_cast<std::size_t>(i)] = f;
    }
    std::vector<std::pair<int, float>> values;
    for (int i = 0; i < kNumControls; ++i) values.emplace_back(i, value[static_cast<std::size_t>(i)]);
    remote_.applyControls(values, name);
    remote_.logEvent("preset_recalled", json({{"by", "web"}, {"preset", name}}).dump());
    return reply(200, {{"preset", name}});
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
        text << kControlSpecs[i].label << '=';
        if (kControlSpecs[i].toggle) text << (v > 0.5f ? "on" : "off");
        else text << floatText(v);
        text << '\n';
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
    remote_.logEvent("preset_saved", json({{"by", "web"}, {"preset", name}}).dump());
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
        json e = json::parse(records[i].json, nullptr, false);
        if (e.is_discarded()) e = json{{"text", records[i].json}};
        if (e.is_object()) e["seq"] = records[i].seq;
        list.push_back(e);
        last = records[i].seq;
    }
    return reply(200, {{"events", list}, {"last", last}});
}

}  // namespace plumbra::host::web
