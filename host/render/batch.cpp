// render -o: many files through the plug-in, each with its own instance, into
// an output folder that mirrors the inputs' layout.
#include "host/render/batch.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#ifndef _WIN32
#include <unistd.h>  // gethostname
#endif

#include "host/audio/file_io.h"
#include "host/common/json.h"
#include "host/plugin/plugin_host.h"
#include "host/common/text.h"

namespace plumbra::host {

namespace fs = std::filesystem;

namespace {

struct Rendered {
    std::string output;
    std::string reportFile;  // with --report-dir
    RenderSetup setup;       // the batch's, with the manifest line's settings
    std::optional<DeliveryTarget> target;
    RenderReport report;
    double measuredLufs = 0;  // --album: the processed programme before the album's gain
    std::shared_ptr<const LoudnessMeter> outMeter;  // --album: for the album's loudness
};

// --album: the one gain every file gets and the passes it took to find it.
struct AlbumGain {
    DeliveryTarget target;
    double measuredLufs = 0;  // the album's processed programme before the gain
    double gainDb = 0;
    int passes = 0;
};

float linearGain(double db)
{
    return static_cast<float>(std::pow(10.0, db / 20.0));
}

std::string hostName()
{
#ifdef _WIN32
    const char* name = std::getenv("COMPUTERNAME");
    return name ? name : "";
#else
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
#endif
}

// Creates the output folder and names each input's output, each claimed by one
// input only; an input whose output cannot be had gets a problem.
Status planOutputs(const BatchOptions& o, std::vector<BatchInput>& inputs, std::vector<Rendered>& results)
{
    std::error_code ec;
    const fs::path folder(o.outputFolder);
    if (!fs::is_directory(folder, ec)) {
        fs::create_directories(folder, ec);
        if (ec || !fs::is_directory(folder))
            return Status::fail(kExitOutput, "cannot create the output folder " + o.outputFolder + ": " +
                                                 (ec ? ec.message() : "a file of that name exists"));
    }
    std::map<std::string, size_t> claimed;
    for (size_t i = 0; i < inputs.size(); ++i) {
        fs::path relative(inputs[i].relative);
        if (!o.extension.empty()) relative.replace_extension(o.extension);
        if (!inputs[i].output.empty()) relative = inputs[i].output;  // a manifest line's "out"
        results[i].output = (relative.is_absolute() ? relative : folder / relative).string();
        if (!o.reportDir.empty())
            results[i].reportFile =
                (fs::path(o.reportDir) / (relative.is_absolute() ? relative.filename() : relative)).string() + ".json";
        auto [at, fresh] = claimed.emplace(results[i].output, i);
        if (!fresh && inputs[i].problem.empty())
            inputs[i].problem = "its output " + results[i].output + " is also the output of " + inputs[at->second].path;
        if (inputs[i].problem.empty()) {
            const fs::path parent = fs::path(results[i].output).parent_path();
            fs::create_directories(parent, ec);
            if (ec) inputs[i].problem = "cannot create the folder " + parent.string() + ": " + ec.message();
        }
        if (inputs[i].problem.empty() && !results[i].reportFile.empty()) {
            const fs::path parent = fs::path(results[i].reportFile).parent_path();
            fs::create_directories(parent, ec);
            if (ec) inputs[i].problem = "cannot create the folder " + parent.string() + ": " + ec.message();
        }
    }
    return Status::success();
}

// Each file's setup and target: the batch's, with a manifest line's preset, values and
// target; a line whose settings do not hold fails its file alone.
void planSettings(const BatchOptions& o, const ParamTable& table, const RenderSetup& setup,
                  std::vector<BatchInput>& inputs, std::vector<Rendered>& results)
{
    for (size_t i = 0; i < inputs.size(); ++i) {
        BatchInput& in = inputs[i];
        results[i].setup = setup;
        results[i].target = o.render.target;
        if (!in.problem.empty()) continue;
        if (!in.preset.empty() || !in.sets.empty()) {
            std::vector<std::string> presets = o.render.presets, sets = o.render.sets;
            if (!in.preset.empty()) presets.push_back(in.preset);
            sets.insert(sets.end(), in.sets.begin(), in.sets.end());
            auto assignments = collectAssignments(table, presets, sets);
            if (!assignments.ok()) in.problem = assignments.status().reason;
            else results[i].setup.assignments = assignments.value();
        }
        if (!in.target.empty() && in.problem.empty()) {
            auto t = o.album ? Result<DeliveryTarget>(Status::fail(kExitUsage, "a line's own target does not go with "
                                                                               "--album, whose files share one gain"))
                             : parseTarget(in.target, "");
            if (t.ok()) results[i].target = t.value();
            else in.problem = t.status().reason;
        }
    }
}

// Whether an earlier run finished this file: its report says so.
bool reportedDone(const std::string& reportFile)
{
    std::ifstream in(reportFile, std::ios::binary);
    if (!in) return false;
    const Json j = Json::parse(in, nullptr, false);
    return !j.is_discarded() && j.is_object() && j.value("status", "") == "ok";
}

// The true-peak ceiling alone, for one file of an album: the loudness is the album's.
Compliance ceilingCompliance(const DeliveryTarget& t, const LoudnessSummary& measured)
{
    Compliance c;
    if (measured.truePeakDbtp > t.ceilingDbtp)
        c.reason = printed("true peak %.2f dBTP is over the ceiling %g dBTP", measured.truePeakDbtp, t.ceilingDbtp);
    c.pass = c.reason.empty();
    return c;
}

FileOutcome renderFile(const BatchOptions& o, const ParamTable& table, const AlbumGain* album, const BatchInput& in,
                       Rendered& res, Progress& progress)
{
    const RenderSetup& setup = res.setup;
    auto fail = [](const std::string& why) { return FileOutcome{Outcome::Failed, why}; };
    if (!in.problem.empty()) return fail(in.problem);
    std::error_code missing;
    if (fs::exists(fs::path(res.output), missing)) {
        if (sameFile(in.path, res.output))
            return fail(res.output + " is the input itself; plumbra never writes over its input");
        // With per-file reports, an output counts as done only when its report says so.
        if (o.existing == ExistingOutput::Skip && (res.reportFile.empty() || reportedDone(res.reportFile))) {
            progress.add(audioUs(in.frames, in.rate));
            return {Outcome::Skipped, res.output + " exists"};
        }
        if (o.existing == ExistingOutput::Refuse)
            return fail(res.output + " exists (--overwrite replaces it, --skip-existing keeps it)");
    }
    auto opened = openAudioFile(in.path);
    if (!opened.ok()) return fail(opened.status().reason);
    AudioSource& source = *opened.value();
    const int channels = source.format().channels;
    if (channels > 2) return fail(in.path + " has " + std::to_string(channels) + " channels; plumbra takes mono or stereo");
    Result<RenderOutcome> rendered = Status::fail(kExitInternal, "no render");
    if (album) {
        auto plugin = Plugin::load(o.render.plugin);
        if (!plugin.ok()) return fail(plugin.status().reason);
        RenderSetup s = setup;
        s.delivery = RenderSetup::Delivery{linearGain(album->gainDb), linearGain(album->target.ceilingDbtp)};
        rendered = renderStream(*plugin.value(), table, source, res.output, s, progress.counter(source.format().rate));
        if (rendered.ok()) {
            DeliveryReport d;
            d.target = album->target;
            d.measuredLufs = res.measuredLufs;
            d.gainDb = album->gainDb;
            const float smallest = rendered->limiterSmallestGain;
            d.limiterReductionDb = smallest >= 1.0f ? 0.0 : smallest > 0.0f ? -20.0 * std::log10(smallest) : HUGE_VAL;
            d.passes = album->passes;
            d.compliance = ceilingCompliance(album->target, rendered->report.out);
            rendered->report.delivery = d;
            res.outMeter = rendered->outMeter;
        }
    } else if (res.target) {
        opened.value().reset();
        auto open = [&in]() { return openAudioFile(in.path); };
        auto load = [&o]() { return Plugin::load(o.render.plugin); };
        rendered = renderDelivered(open, load, table, res.output, setup, *res.target, progress.counter(in.rate));
    } else {
        auto plugin = Plugin::load(o.render.plugin);
        if (!plugin.ok()) return fail(plugin.status().reason);
        rendered = renderStream(*plugin.value(), table, source, res.output, setup, progress.counter(source.format().rate));
    }
    if (!rendered.ok()) return fail(rendered.status().reason);
    res.report = rendered.value().report;
    res.report.input = in.path;
    if (res.report.nonFinite == 0) return {Outcome::Ok, ""};
    return {Outcome::NonFinite, "the plug-in's output holds " + std::to_string(res.report.nonFinite) +
                                    " NaN or infinite samples; " + res.output + " is written for inspection"};
}

Json fileJson(const BatchInput& in, const Rendered& r, const FileOutcome& f)
{
    Json j = {{"status", outcomeName(f.outcome)}};
    if (f.outcome == Outcome::Ok || f.outcome == Outcome::NonFinite) {
        if (!f.reason.empty()) j["reason"] = f.reason;
        j.update(reportJson(r.report));
    } else {
        j["input"] = {{"file", in.path}};
        j["output"] = {{"file", r.output}};
        j["reason"] = f.reason;
    }
    return j;
}

Json summaryJson(const FilesDone& d, const std::vector<Rendered>& results, int jobs,
                 const std::optional<DeliveryTarget>& target)
{
    size_t counts[4] = {0, 0, 0, 0};
    double audioSeconds = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        ++counts[static_cast<size_t>(d.outcomes[i].outcome)];
        const RenderReport& r = results[i].report;
        if (r.rate > 0) audioSeconds += static_cast<double>(r.inputFrames) / r.rate;
    }
    Json s = {{"files", results.size()},
              {"rendered", counts[static_cast<size_t>(Outcome::Ok)]},
              {"skipped", counts[static_cast<size_t>(Outcome::Skipped)]},
              {"failed", counts[static_cast<size_t>(Outcome::Failed)] + counts[static_cast<size_t>(Outcome::NonFinite)]},
              {"jobs", jobs},
              {"elapsed_s", d.elapsedSeconds},
              {"audio_s", audioSeconds}};
    if (target) {
        size_t missed = 0;
        for (const auto& r : results) missed += r.report.delivery && !r.report.delivery->compliance.pass ? 1 : 0;
        s["target"] = targetJson(*target);
        s["missed_target"] = missed;
    }
    return s;
}

}  // namespace

// The table of all files and the summary line, from the report.
std::string batchTable(const Json& report)
{
    size_t width = 4;
    for (const auto& f : report["files"]) width = std::max(width, f["input"]["file"].get_ref<const std::string&>().size());
    width = std::min<size_t>(width, 48);
    const bool targeted = report["summary"].contains("target");
    std::string table = "\n" + fit("file", width) + "   in LUFS  out LUFS  out dBTP     speed  status" +
                        (targeted ? "  target" : "") + "\n";
    for (const auto& f : report["files"]) {
        std::string check;
        if (targeted && f.contains("delivery")) {
            const Json& c = f["delivery"]["compliance"];
            check = "  " + c["status"].get<std::string>() +
                    (c.contains("reason") ? ": " + c["reason"].get<std::string>() : std::string());
        }
        const bool measured = f["input"].contains("loudness");
        auto figure = [&](const char* side, const char* key) {
            return measured ? fixedOrDash(numberOf(f[side]["loudness"][key]), 1) : std::string();
        };
        table += printed("%s  %8s  %8s  %8s  %8s  %-6s", fit(f["input"]["file"].get<std::string>(), width).c_str(),
                         figure("input", "integrated_lufs").c_str(), figure("output", "integrated_lufs").c_str(),
                         figure("output", "true_peak_dbtp").c_str(),
                         measured ? printed("%.1fx", numberOf(f["speed_x_realtime"])).c_str() : "",
                         f["status"].get<std::string>().c_str());
        // The reason of a failed check can be long: it goes after the cut of printed().
        table += (targeted ? check : std::string());
        while (!table.empty() && table.back() == ' ') table.pop_back();
        table += "\n";
    }
    const Json& s = report["summary"];
    const double elapsed = numberOf(s["elapsed_s"]), audio = numberOf(s["audio_s"]);
    // Merged reports count the machines they came from; their time is the files' own, added up.
    const std::string missing = s.contains("missing") && s["missing"].get<size_t>() > 0 ? printed(", %zu without a report", s["missing"].get<size_t>()) : "";
    const std::string workers = s.contains("hosts") ? printed("%zu host%s", s["hosts"].get<size_t>(), s["hosts"].get<size_t>() == 1 ? "" : "s")
                                                    : printed("%d jobs", s["jobs"].get<int>());
    table += printed("\n%zu files: %zu rendered, %zu skipped, %zu failed%s; %s for %s of audio (%.1fx real time, %s)\n",
                     s["files"].get<size_t>(), s["rendered"].get<size_t>(), s["skipped"].get<size_t>(),
                     s["failed"].get<size_t>(), missing.c_str(), clockText(elapsed).c_str(), clockText(audio).c_str(),
                     elapsed > 0 ? audio / elapsed : 0.0, workers.c_str());
    if (report.contains("album")) {
        const Json& a = report["album"];
        const Json& c = a["compliance"];
        table += printed("album: %s LUFS processed, gain %+.2f dB for every file: %s LUFS, true peak %s dBTP: %s\n",
                         fixedOrDash(numberOf(a["measured_lufs"]), 2).c_str(), numberOf(a["gain_db"]),
                         fixedOrDash(numberOf(a["result"]["integrated_lufs"]), 2).c_str(),
                         fixedOrDash(numberOf(a["result"]["true_peak_dbtp"]), 2).c_str(),
                         c["status"] == "pass" ? "pass" : ("FAIL: " + c["reason"].get<std::string>()).c_str());
    }
    return table;
}

namespace {

void printFileLine(std::FILE* text, bool quiet, const std::string& head, const BatchInput& in, const Rendered& r,
                   const FileOutcome& f)
{
    if (f.failed()) {
        std::fprintf(stderr, "plumbra: %s %s: %s\n", head.c_str(), in.path.c_str(), f.reason.c_str());
    } else if (quiet) {
    } else if (f.outcome == Outcome::Skipped) {
        std::fprintf(text, "%s %s: skipped, %s\n", head.c_str(), in.path.c_str(), f.reason.c_str());
    } else {
        std::string check;
        if (const auto& d = r.report.delivery)
            check = d->compliance.pass ? ", " + d->target.name + " pass" : ", misses " + d->target.name + ": " + d->compliance.reason;
        std::fprintf(text, "%s %s -> %s: %s -> %s LUFS, %.1fx real time%s\n", head.c_str(), in.path.c_str(), r.output.c_str(),
                     fixedOrDash(r.report.in.integratedLufs, 1).c_str(), fixedOrDash(r.report.out.integratedLufs, 1).c_str(),
                     r.report.speed, check.c_str());
        for (const auto& t : r.report.tagsDropped)
            std::fprintf(text, "%*s tag %s dropped: %s cannot hold it\n", static_cast<int>(head.size()), "", t.first.c_str(),
                         r.report.outputContainer.c_str());
    }
}

// The processed programme of every file (with `delivery`, after the gain and the
// limiter) measured on the pool, without writing anything: their pooled loudness.
// A file that cannot be measured gets a problem, and fails later with it.
LoudnessSummary measureAlbum(const BatchOptions& o, const ParamTable& table, std::vector<BatchInput>& inputs,
                             std::vector<Rendered>& results, const std::optional<RenderSetup::Delivery>& delivery,
                             bool& limited)
{
    std::vector<std::shared_ptr<const LoudnessMeter>> meters(inputs.size());
    std::vector<float> smallest(inputs.size(), 1.0f);
    FileJobs jobs{&inputs, o.jobs, o.render.quiet, [&](size_t i) { return inputs[i].path; },
                  [&](size_t i, Progress& progress) -> FileOutcome {
                      auto fail = [](const std::string& why) { return FileOutcome{Outcome::Failed, why}; };
                      if (!inputs[i].problem.empty()) return fail(inputs[i].problem);
                      auto source = openAudioFile(inputs[i].path);
                      if (!source.ok()) return fail(source.status().reason);
                      const AudioFormat f = source.value()->format();
                      if (f.channels > 2)
                          return fail(inputs[i].path + " has " + std::to_string(f.channels) +
                                      " channels; plumbra takes mono or stereo");
                      auto plugin = Plugin::load(o.render.plugin);
                      if (!plugin.ok()) return fail(plugin.status().reason);
                      RenderSetup s = results[i].setup;
                      s.delivery = delivery;
                      auto r = renderStream(*plugin.value(), table, *source.value(), "", s, progress.counter(f.rate));
                      if (!r.ok()) return fail(r.status().reason);
                      meters[i] = r->outMeter;
                      smallest[i] = r->limiterSmallestGain;
                      if (!delivery) results[i].measuredLufs = r->report.out.integratedLufs;
                      if (!delivery) results[i].report.out = r->report.out;
                      return {Outcome::Ok, ""};
                  },
                  [](size_t, const FileOutcome&) {}};
    const FilesDone done = runFiles(jobs);
    std::vector<const LoudnessMeter*> measured;
    limited = false;
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (done.outcomes[i].failed() && inputs[i].problem.empty()) inputs[i].problem = done.outcomes[i].reason;
        if (meters[i]) measured.push_back(meters[i].get());
        limited = limited || smallest[i] < 1.0f;
    }
    return LoudnessMeter::combined(measured);
}

// --album: the gain that lands the album's processed programme on the target. Like a
// single file's delivery: measured first; where the gain takes peaks near the ceiling,
// passes with the limiter find what it costs in loudness and the gain makes up for it.
AlbumGain findAlbumGain(const BatchOptions& o, const ParamTable& table, std::vector<BatchInput>& inputs,
                        std::vector<Rendered>& results)
{
    AlbumGain a;
    a.target = *o.render.target;
    bool limited = false;
    const LoudnessSummary first = measureAlbum(o, table, inputs, results, std::nullopt, limited);
    a.measuredLufs = first.integratedLufs;
    a.passes = 1;
    if (!std::isfinite(a.measuredLufs)) return a;  // silence: delivered as it is, and fails the check
    a.gainDb = a.target.lufs - a.measuredLufs;
    constexpr double kLimiterReach = 0.5;  // dB below the ceiling where the limiter may start to act
    constexpr double kClose = 0.02;        // LU: near enough to the target not to try again
    bool nearCeiling = false;
    for (const auto& r : results) nearCeiling = nearCeiling || r.report.out.truePeakDbtp + a.gainDb > a.target.ceilingDbtp - kLimiterReach;
    for (int attempt = 0; nearCeiling && attempt < 3; ++attempt) {
        const auto delivery = RenderSetup::Delivery{linearGain(a.gainDb), linearGain(a.target.ceilingDbtp)};
        const LoudnessSummary trial = measureAlbum(o, table, inputs, results, delivery, limited);
        ++a.passes;
        const double miss = a.target.lufs - trial.integratedLufs;
        if (!std::isfinite(miss) || std::fabs(miss) < kClose || !limited) break;
        a.gainDb += miss;
    }
    ++a.passes;  // the pass that writes the files
    return a;
}

Json albumJson(const AlbumGain& a, const std::vector<Rendered>& results, const FilesDone& done)
{
    std::vector<const LoudnessMeter*> meters;
    for (size_t i = 0; i < results.size(); ++i)
        if (!done.outcomes[i].failed() && results[i].outMeter) meters.push_back(results[i].outMeter.get());
    const LoudnessSummary result = LoudnessMeter::combined(meters);
    return {{"target", targetJson(a.target)},
            {"files", meters.size()},
            {"measured_lufs", a.measuredLufs},
            {"gain_db", a.gainDb},
            {"passes", a.passes},
            {"result", {{"integrated_lufs", result.integratedLufs},
                        {"loudness_range_lu", result.rangeLu},
                        {"true_peak_dbtp", result.truePeakDbtp}}},
            {"compliance", complianceJson(checkCompliance(a.target, result))}};
}

// A file's report for --report-dir: its entry of the batch report, with the time it
// took, the machine and its manifest line; written whole or not at all.
Status writeFileReport(const BatchInput& in, const Rendered& r, const FileOutcome& f, double seconds)
{
    Json j = fileJson(in, r, f);
    j["seconds"] = seconds;
    j["host"] = hostName();
    if (!in.entry.empty()) j["manifest_entry"] = in.entry;
    TempFile file;
    Status s = file.create(r.reportFile);
    return s.ok() ? writeAndCommit(file, writeJson(j)) : s;
}

}  // namespace

Status runBatch(const BatchOptions& o)
{
    std::vector<BatchInput> inputs;
    if (o.manifest.empty()) {
        inputs = gatherInputs(o.inputs, o.outputFolder, o.render.quiet);
        if (o.shard) inputs = takeShard(std::move(inputs), *o.shard);
    } else {
        auto listed = readManifest(o.manifest);
        if (!listed.ok()) return listed.status();
        inputs = o.shard ? takeShard(std::move(listed.value()), *o.shard) : std::move(listed.value());
        probeInputs(inputs);
    }
    if (std::any_of(inputs.begin(), inputs.end(), [](const BatchInput& in) { return in.path == "-"; }))
        return Status::fail(kExitUsage, "standard input (-) cannot be part of a batch: name files or folders");
    if (inputs.empty() && !o.shard) return Status::fail(kExitInput, "no audio files found in the inputs given");

    // The plug-in and the parameters are checked once, before any file is touched.
    RenderSetup setup = o.render.setup;
    auto prepared = preparePlugin(o.render, setup);
    if (!prepared.ok()) return prepared.status();
    prepared->plugin.reset();
    ReportOutput reportFile;
    Status s = reportFile.open(o.render.reportJson);
    if (!s.ok()) return s;

    // Only now, with everything checked, is anything created.
    std::vector<Rendered> results(inputs.size());
    s = planOutputs(o, inputs, results);
    if (!s.ok()) return s;
    planSettings(o, prepared->table, setup, inputs, results);
    std::optional<AlbumGain> album;
    if (o.album) album = findAlbumGain(o, prepared->table, inputs, results);

    std::FILE* text = reportFile.toStdout() ? stderr : stdout;
    const std::string total = std::to_string(inputs.size());
    FileJobs jobs{&inputs, o.jobs, o.render.quiet, [&](size_t i) { return inputs[i].path; },
                  [&](size_t i, Progress& progress) {
                      const auto begun = std::chrono::steady_clock::now();
                      FileOutcome f = renderFile(o, prepared->table, album ? &*album : nullptr, inputs[i], results[i], progress);
                      if (results[i].reportFile.empty() || f.outcome == Outcome::Skipped) return f;
                      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
                      Status written = writeFileReport(inputs[i], results[i], f, seconds);
                      return written.ok() || f.failed() ? f : FileOutcome{Outcome::Failed, written.reason};
                  },
                  [&](size_t i, const FileOutcome& f) {
                      const std::string head = printed("[%*zu/%s]", static_cast<int>(total.size()), i + 1, total.c_str());
                      printFileLine(text, o.render.quiet, head, inputs[i], results[i], f);
                  }};
    const FilesDone done = runFiles(jobs);

    Json report = {{"files", Json::array()}};
    for (size_t i = 0; i < inputs.size(); ++i) report["files"].push_back(fileJson(inputs[i], results[i], done.outcomes[i]));
    report["summary"] = summaryJson(done, results, o.jobs, o.render.target);
    if (album) report["album"] = albumJson(*album, results, done);
    if (!o.render.quiet) std::fputs(batchTable(report).c_str(), text);
    s = reportFile.write(writeJson(report));
    if (!s.ok()) return s;
    // Files that failed outright go first (8); then files, or the album, that miss the target (9).
    if (!done.status.ok()) return done.status;
    if (album && report["album"]["compliance"]["status"] == "fail")
        return Status::fail(kExitTarget, "the album misses " + album->target.name + ": " +
                                             report["album"]["compliance"]["reason"].get<std::string>());
    std::string missed;
    size_t count = 0;
    for (size_t i = 0; i < inputs.size(); ++i)
        if (results[i].report.delivery && !results[i].report.delivery->compliance.pass)
            missed += (count++ ? ", " : "") + inputs[i].path;
    if (count == 0) return done.status;
    return Status::fail(kExitTarget, std::to_string(count) + " of " + std::to_string(inputs.size()) + " files miss " +
                                         (o.render.target ? o.render.target->name : "their target") + ": " + missed);
}

}  // namespace plumbra::host
