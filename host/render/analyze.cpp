// analyze: loudness and peaks of files, folders or standard input, without the
// plug-in, per file and pooled, as a table, JSON or CSV from one report.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "host/audio/audio_io.h"
#include "host/render/batch.h"
#include "host/delivery/delivery.h"
#include "host/audio/files.h"
#include "host/common/json.h"
#include "host/delivery/loudness.h"
#include "host/common/text.h"

namespace plumbra::host {

namespace {

struct Measured {
    std::unique_ptr<LoudnessMeter> meter;  // kept (released) for the pooled total, when measured whole
    LoudnessSummary summary;
    int rate = 0, channels = 0;
    double seconds = 0;
};

FileOutcome measureSource(AudioSource& source, Measured& m, Progress& progress)
{
    auto fail = [](const std::string& why) { return FileOutcome{Outcome::Failed, why}; };
    m.rate = source.format().rate;
    m.channels = source.format().channels;
    m.meter = std::make_unique<LoudnessMeter>(m.channels, m.rate);
    if (!m.meter->valid())
        return fail("cannot measure " + std::to_string(m.channels) + " channels at " + std::to_string(m.rate) + " Hz");
    std::vector<float> buf(static_cast<size_t>(4096 * m.channels));
    auto count = progress.counter(m.rate);
    int64_t frames = 0;
    for (;;) {
        auto got = source.read(buf.data(), 4096);
        if (!got.ok()) return fail(got.status().reason);
        if (got.value() == 0) break;
        m.meter->add(buf.data(), got.value());
        count(frames += got.value());
    }
    m.meter->finish();
    m.summary = m.meter->summary();
    m.seconds = static_cast<double>(frames) / m.rate;
    m.meter->release();
    return {Outcome::Ok, ""};
}

FileOutcome measureFile(const BatchInput& in, Measured& m, Progress& progress)
{
    if (!in.problem.empty()) return {Outcome::Failed, in.problem};
    auto opened = openAudioFile(in.path);
    if (!opened.ok()) return {Outcome::Failed, opened.status().reason};
    return measureSource(*opened.value(), m, progress);
}

Json measuresJson(Json j, const LoudnessSummary& s, double seconds)
{
    j["duration_s"] = seconds;
    j["integrated_lufs"] = s.integratedLufs;
    j["loudness_range_lu"] = s.rangeLu;
    j["true_peak_dbtp"] = s.truePeakDbtp;
    j["sample_peak_dbfs"] = s.samplePeakDbfs;
    return j;
}

Json fileJson(const std::string& name, const Measured& m, const FileOutcome& f, const std::optional<DeliveryTarget>& target)
{
    if (f.failed()) return {{"file", name}, {"status", "failed"}, {"reason", f.reason}};
    Json j = measuresJson({{"file", name}, {"status", "ok"}, {"sample_rate", m.rate}, {"channels", m.channels}}, m.summary,
                          m.seconds);
    if (target) j["target"] = complianceJson(checkCompliance(*target, m.summary));
    return j;
}

// The check's column: pass, or fail and why.
std::string checkText(const Json& file)
{
    if (!file.contains("target")) return "";
    const Json& t = file["target"];
    return "  " + t["status"].get<std::string>() + (t.contains("reason") ? ": " + t["reason"].get<std::string>() : "");
}

// One row of the table: the name cut to the column, the measures to a tenth.
std::string tableRow(const std::string& name, const Json& j, size_t width)
{
    auto figure = [&j](const char* key) { return fixedOrDash(numberOf(j[key]), 1); };
    return printed("%s  %7s  %7s  %8s  %9s  %9.2f", fit(name, width).c_str(), figure("integrated_lufs").c_str(),
                   figure("loudness_range_lu").c_str(), figure("true_peak_dbtp").c_str(), figure("sample_peak_dbfs").c_str(),
                   numberOf(j["duration_s"])) +
           checkText(j) + "\n";
}

std::string totalName(size_t files)
{
    return "total (" + std::to_string(files) + (files == 1 ? " file)" : " files)");
}

std::string csvField(const std::string& s)
{
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string csv(const Json& report, bool targeted)
{
    static const char* columns[] = {"sample_rate", "channels", "duration_s", "integrated_lufs",
                                    "loudness_range_lu", "true_peak_dbtp", "sample_peak_dbfs"};
    auto row = [targeted](const std::string& name, const std::string& status, const Json& j) {
        std::string r = csvField(name) + "," + status;
        for (const char* c : columns) r += "," + (j.contains(c) ? numberText(c, j[c], "-inf") : std::string());
        if (targeted && j.contains("target"))
            r += "," + j["target"]["status"].get<std::string>() + "," +
                 csvField(j["target"].contains("reason") ? j["target"]["reason"].get<std::string>() : "");
        else if (targeted)
            r += ",,";
        return r + "\n";
    };
    std::string out = "file,status";
    for (const char* c : columns) out += std::string(",") + c;
    out += targeted ? ",target,target_reason\n" : "\n";
    for (const auto& f : report["files"]) out += row(f["file"].get<std::string>(), f["status"].get<std::string>(), f);
    return out + row("total", "ok", report["total"]);
}

}  // namespace

Json analyzeJson(AudioSource& source, const std::string& name, const std::optional<DeliveryTarget>& target)
{
    Measured m;
    Progress quiet(false, -1);
    const FileOutcome f = measureSource(source, m, quiet);
    return fileJson(name, m, f, target);
}

Status runAnalyze(const AnalyzeOptions& o)
{
    std::vector<BatchInput> inputs = gatherInputs(o.inputs, "", o.quiet);
    if (std::count_if(inputs.begin(), inputs.end(), [](const BatchInput& in) { return in.path == "-"; }) > 1)
        return Status::fail(kExitUsage, "standard input (-) can be analysed once only");
    if (inputs.empty()) return Status::fail(kExitInput, "no audio files found in the inputs given");

    auto name = [&](size_t i) { return inputs[i].path == "-" ? std::string("standard input") : inputs[i].path; };
    const bool table = o.format == AnalyzeFormat::Table;
    // Wide enough for every name and the total's, up to a limit.
    size_t width = totalName(inputs.size()).size();
    for (size_t i = 0; i < inputs.size(); ++i) width = std::max(width, name(i).size());
    width = std::min<size_t>(width, 48);
    if (table) {
        std::printf("%-*s  %7s  %7s  %8s  %9s  %9s%s\n", static_cast<int>(width), "file", "LUFS", "LRA LU", "TP dBTP",
                    "peak dBFS", "seconds", o.target ? ("  " + o.target->name).c_str() : "");
        std::fflush(stdout);
    }

    std::vector<Measured> results(inputs.size());
    Json report = {{"files", Json::array()}};
    FileJobs jobs{&inputs, o.jobs, o.quiet, name,
                  [&](size_t i, Progress& progress) { return measureFile(inputs[i], results[i], progress); },
                  [&](size_t i, const FileOutcome& f) {
                      report["files"].push_back(fileJson(name(i), results[i], f, o.target));
                      if (f.failed())
                          std::fprintf(stderr, "plumbra: %s: %s\n", name(i).c_str(), f.reason.c_str());
                      else if (table)
                          std::fputs(tableRow(name(i), report["files"].back(), width).c_str(), stdout);
                  }};
    const FilesDone done = runFiles(jobs);

    std::vector<const LoudnessMeter*> meters;
    double seconds = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        if (done.outcomes[i].failed()) continue;
        meters.push_back(results[i].meter.get());
        seconds += results[i].seconds;
    }
    report["total"] = measuresJson({{"files", meters.size()}, {"failed", inputs.size() - meters.size()}},
                                   LoudnessMeter::combined(meters), seconds);
    std::string missed;
    size_t missedCount = 0;
    if (o.target) {
        for (size_t i = 0; i < inputs.size(); ++i)
            if (const Json& f = report["files"][i];
                f.contains("target") && f["target"]["status"].get_ref<const std::string&>() == "fail")
                missed += (missedCount++ ? ", " : "") + name(i);
        report["target"] = targetJson(*o.target);
        report["target"]["missed"] = missedCount;
    }
    if (table) {
        std::fputs(tableRow(totalName(meters.size()), report["total"], width).c_str(), stdout);
    } else {
        std::fputs(o.format == AnalyzeFormat::Json ? writeJson(report, {true}).c_str()
                                                   : csv(report, o.target.has_value()).c_str(),
                   stdout);
    }
    // Files that could not be read go first (8); then files that miss the target (9).
    if (!done.status.ok() || missedCount == 0) return done.status;
    return Status::fail(kExitTarget, std::to_string(missedCount) + " of " + std::to_string(inputs.size()) + " files miss " +
                                         o.target->name + ": " + missed);
}

}  // namespace plumbra::host
