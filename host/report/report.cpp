// Formatting the render report.
#include "host/report/report.h"

#include "host/common/text.h"

namespace plumbra::host {

namespace {

Json loudnessJson(const LoudnessSummary& s, int rate)
{
    return {{"integrated_lufs", s.integratedLufs},
            {"loudness_range_lu", s.rangeLu},
            {"true_peak_dbtp", s.truePeakDbtp},
            {"frames", s.frames},
            {"duration_s", rate > 0 ? static_cast<double>(s.frames) / rate : 0.0}};
}

Json pairsJson(const std::vector<std::pair<std::string, std::string>>& pairs)
{
    Json o = Json::object();
    for (const auto& [name, value] : pairs) o[name] = value;
    return o;
}

}  // namespace

std::string reportText(const RenderReport& r)
{
    const double seconds = r.rate > 0 ? static_cast<double>(r.inputFrames) / r.rate : 0.0;
    std::string out = printed("%-10s %s (%s, %d Hz, %d ch, %.2f s)\n", "input", r.input.c_str(), r.inputFormat.c_str(),
                              r.rate, r.inputChannels, seconds);
    out += printed("%-10s %s (%s, %d ch)\n", "output", r.output.c_str(), r.outputFormat.c_str(), r.outputChannels);
    out += printed("%-10s %d samples (%.1f ms), %s\n", "latency", r.latency, r.rate > 0 ? 1000.0 * r.latency / r.rate : 0.0,
                   r.compensated ? "compensated: output aligned with input" : "kept (--raw-latency)");
    out += printed("\n%-18s %12s  %12s\n", "", "input", "output");
    auto row = [&](const char* what, double a, double b, const char* unit) {
        out += printed("%-18s %12s  %12s\n", what, (fixedOrDash(a, 1) + " " + unit).c_str(),
                       (fixedOrDash(b, 1) + " " + unit).c_str());
    };
    row("integrated", r.in.integratedLufs, r.out.integratedLufs, "LUFS");
    row("loudness range", r.in.rangeLu, r.out.rangeLu, "LU");
    row("true peak", r.in.truePeakDbtp, r.out.truePeakDbtp, "dBTP");
    if (r.delivery) {
        const DeliveryReport& d = *r.delivery;
        out += printed("\n%-10s %s: %g LUFS, true peak at most %g dBTP, tolerance +/-%g LU\n", "target",
                       d.target.name.c_str(), d.target.lufs, d.target.ceilingDbtp, d.target.toleranceLu);
        out += printed("%-10s %+.2f dB (the processed programme measured %s LUFS; %d passes)\n", "gain", d.gainDb,
                       fixedOrDash(d.measuredLufs, 2).c_str(), d.passes);
        if (d.gainCapped)
            out += printed("%-10s the target asks for %+.2f dB; --max-gain holds the gain at %+g dB\n", "capped",
                           d.gainNeededDb, d.target.maxGainDb);
        out += printed("%-10s largest gain reduction %.2f dB\n", "limiter", d.limiterReductionDb);
        out += printed("%-10s %s LUFS, true peak %s dBTP: %s\n", "result", fixedOrDash(r.out.integratedLufs, 2).c_str(),
                       fixedOrDash(r.out.truePeakDbtp, 2).c_str(),
                       d.compliance.pass ? "pass" : ("FAIL: " + d.compliance.reason).c_str());
        if (d.limiterReductionDb > DeliveryReport::kNotableReductionDb)
            out += printed("%-10s the limiter took more than %g dB to hold the ceiling: the programme's peaks, not\n"
                           "%-10s only its gain, were changed\n",
                           "note", DeliveryReport::kNotableReductionDb, "");
    }
    if (r.nonFinite > 0)
        out += printed("\n%-10s %lld samples of the output are NaN or infinite\n", "non-finite",
                       static_cast<long long>(r.nonFinite));
    out += printed("\n%-10s %.2f s for %.2f s of audio: %.1fx real time\n", "speed", r.elapsedSeconds, seconds, r.speed);
    auto names = [](const std::vector<std::pair<std::string, std::string>>& tags) {
        std::string n;
        for (const auto& t : tags) n += (n.empty() ? "" : ", ") + t.first;
        return n;
    };
    if (!r.tags.empty()) out += "tags       " + names(r.tags) + " copied\n";
    if (!r.tagsDropped.empty()) out += "tags       " + names(r.tagsDropped) + " dropped: " + r.outputContainer + " cannot hold them\n";
    if (!r.bands.empty()) {
        out += "\nbands      gain in dB (each 100 ms: mean of its lowest and highest), gate closed\n";
        out += printed("%-10s %8s %8s %14s %8s\n", "band", "median", "95th", "largest step", "closed");
        for (const auto& b : r.bands)
            out += printed("%-10d %8.2f %8.2f %14.2f %7.1f%%\n", b.band, b.medianDb, b.p95Db, b.largestChangeDb,
                           b.gateClosedPercent);
    }
    return out;
}

Json reportJson(const RenderReport& r)
{
    auto file = [&r](const std::string& name, const std::string& format, int channels, const LoudnessSummary& l) {
        return Json{{"file", name},          {"format", format}, {"sample_rate", r.rate},
                    {"channels", channels}, {"loudness", loudnessJson(l, r.rate)}};
    };
    Json j = {{"plugin", r.plugin},
              {"input", file(r.input, r.inputFormat, r.inputChannels, r.in)},
              {"output", file(r.output, r.outputFormat, r.outputChannels, r.out)},
              {"latency_samples", r.latency},
              {"latency_compensated", r.compensated},
              {"block_size", r.blockSize},
              {"non_finite_samples", r.nonFinite},
              {"elapsed_s", r.elapsedSeconds},
              {"speed_x_realtime", r.speed},
              {"tags", pairsJson(r.tags)},
              {"tags_dropped", pairsJson(r.tagsDropped)},
              {"parameters", pairsJson(r.parameters)}};
    if (!r.bands.empty()) {
        Json bands = Json::array();
        for (const auto& b : r.bands)
            bands.push_back({{"band", b.band},
                             {"gain_median_db", b.medianDb},
                             {"gain_p95_db", b.p95Db},
                             {"gain_largest_change_db", b.largestChangeDb},
                             {"gate_closed_percent", b.gateClosedPercent}});
        j["bands"] = bands;
    }
    if (r.delivery) {
        const DeliveryReport& d = *r.delivery;
        j["delivery"] = {{"target", targetJson(d.target)},
                         {"measured_lufs", d.measuredLufs},
                         {"gain_db", d.gainDb},
                         {"gain_needed_db", d.gainNeededDb},
                         {"max_gain_db", d.target.maxGainDb},
                         {"gain_capped", d.gainCapped},
                         {"limiter_max_reduction_db", d.limiterReductionDb},
                         {"limiter_over_1_db", d.limiterReductionDb > DeliveryReport::kNotableReductionDb},
                         {"passes", d.passes},
                         {"result", {{"integrated_lufs", r.out.integratedLufs}, {"true_peak_dbtp", r.out.truePeakDbtp}}},
                         {"compliance", complianceJson(d.compliance)}};
    }
    j.update(r.sections);
    return j;
}

}  // namespace plumbra::host
