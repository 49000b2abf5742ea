// Formatting the render report.
#include "host/report.h"

#include <cmath>
#include <cstdio>

namespace plumbra::host {

namespace {

std::string fixed(double v, int decimals, const char* unit)
{
    if (!std::isfinite(v)) return std::string("-inf ") + unit;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f %s", decimals, v, unit);
    return buf;
}

std::string loudnessJson(const LoudnessSummary& s, int rate, const std::string& indent)
{
    return "{\n" + indent + "  \"integrated_lufs\": " + jsonNumber(s.integratedLufs, 2) + ",\n" + indent +
           "  \"loudness_range_lu\": " + jsonNumber(s.rangeLu, 2) + ",\n" + indent +
           "  \"true_peak_dbtp\": " + jsonNumber(s.truePeakDbtp, 2) + ",\n" + indent +
           "  \"frames\": " + std::to_string(s.frames) + ",\n" + indent +
           "  \"duration_s\": " + jsonNumber(rate > 0 ? static_cast<double>(s.frames) / rate : 0.0, 3) + "\n" + indent + "}";
}

}  // namespace

std::string jsonNumber(double v, int decimals)
{
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string jsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string reportText(const RenderReport& r)
{
    char line[256];
    std::string out;
    const double seconds = r.rate > 0 ? static_cast<double>(r.inputFrames) / r.rate : 0.0;
    std::snprintf(line, sizeof line, "%-10s %s (%s, %d Hz, %d ch, %.2f s)\n", "input", r.input.c_str(),
                  r.inputFormat.c_str(), r.rate, r.inputChannels, seconds);
    out += line;
    std::snprintf(line, sizeof line, "%-10s %s (%s, %d ch)\n", "output", r.output.c_str(), r.outputFormat.c_str(),
                  r.outputChannels);
    out += line;
    std::snprintf(line, sizeof line, "%-10s %d samples (%.1f ms), %s\n", "latency", r.latency,
                  r.rate > 0 ? 1000.0 * r.latency / r.rate : 0.0,
                  r.compensated ? "compensated: output aligned with input" : "kept (--raw-latency)");
    out += line;
    std::snprintf(line, sizeof line, "\n%-18s %12s  %12s\n", "", "input", "output");
    out += line;
    auto row = [&](const char* what, double a, double b, int dec, const char* unit) {
        std::snprintf(line, sizeof line, "%-18s %12s  %12s\n", what, fixed(a, dec, unit).c_str(), fixed(b, dec, unit).c_str());
        out += line;
    };
    row("integrated", r.in.integratedLufs, r.out.integratedLufs, 1, "LUFS");
    row("loudness range", r.in.rangeLu, r.out.rangeLu, 1, "LU");
    row("true peak", r.in.truePeakDbtp, r.out.truePeakDbtp, 1, "dBTP");
    if (r.nonFinite > 0) {
        std::snprintf(line, sizeof line, "\n%-10s %lld samples of the output are NaN or infinite\n", "non-finite",
                      static_cast<long long>(r.nonFinite));
        out += line;
    }
    std::snprintf(line, sizeof line, "\n%-10s %.2f s for %.2f s of audio: %.1fx real time\n", "speed", r.elapsedSeconds,
                  seconds, r.speed);
    out += line;
    auto names = [](const std::vector<std::pair<std::string, std::string>>& tags) {
        std::string n;
        for (const auto& t : tags) n += (n.empty() ? "" : ", ") + t.first;
        return n;
    };
    if (!r.tags.empty()) out += "tags       " + names(r.tags) + " copied\n";
    if (!r.tagsDropped.empty()) out += "tags       " + names(r.tagsDropped) + " dropped: " + r.outputContainer + " cannot hold them\n";
    return out;
}

std::string reportJsonMembers(const RenderReport& r, const std::string& indent)
{
    std::string j;
    j += "  \"plugin\": " + jsonString(r.plugin) + ",\n";
    j += "  \"input\": {\n    \"file\": " + jsonString(r.input) + ",\n    \"format\": " + jsonString(r.inputFormat) +
         ",\n    \"sample_rate\": " + std::to_string(r.rate) + ",\n    \"channels\": " + std::to_string(r.inputChannels) +
         ",\n    \"loudness\": " + loudnessJson(r.in, r.rate, "    ") + "\n  },\n";
    j += "  \"output\": {\n    \"file\": " + jsonString(r.output) + ",\n    \"format\": " + jsonString(r.outputFormat) +
         ",\n    \"sample_rate\": " + std::to_string(r.rate) + ",\n    \"channels\": " +
         std::to_string(r.outputChannels) + ",\n    \"loudness\": " + loudnessJson(r.out, r.rate, "    ") + "\n  },\n";
    j += "  \"latency_samples\": " + std::to_string(r.latency) + ",\n";
    j += "  \"latency_compensated\": " + std::string(r.compensated ? "true" : "false") + ",\n";
    j += "  \"block_size\": " + std::to_string(r.blockSize) + ",\n";
    j += "  \"non_finite_samples\": " + std::to_string(r.nonFinite) + ",\n";
    j += "  \"elapsed_s\": " + jsonNumber(r.elapsedSeconds, 3) + ",\n";
    j += "  \"speed_x_realtime\": " + jsonNumber(r.speed, 2) + ",\n";
    auto object = [&j](const char* name, const std::vector<std::pair<std::string, std::string>>& members, bool last) {
        j += "  \"" + std::string(name) + "\": {";
        for (size_t i = 0; i < members.size(); ++i)
            j += std::string(i ? "," : "") + "\n    " + jsonString(members[i].first) + ": " + jsonString(members[i].second);
        j += members.empty() ? "}" : "\n  }";
        j += last ? "\n" : ",\n";
    };
    object("tags", r.tags, false);
    object("tags_dropped", r.tagsDropped, false);
    object("parameters", r.parameters, true);
    if (indent.empty()) return j;
    std::string out;
    size_t at = 0;
    while (at < j.size()) {
        const size_t end = j.find('\n', at);
        out += indent + j.substr(at, end - at + 1);
        at = end + 1;
    }
    return out;
}

std::string reportJson(const RenderReport& r)
{
    return "{\n" + reportJsonMembers(r, "") + "}\n";
}

}  // namespace plumbra::host
