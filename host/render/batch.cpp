// render -o: many files through the plug-in, each with its own instance, into
// an output folder that mirrors the inputs' layout.
#include "host/render/batch.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "host/audio/file_io.h"
#include "host/common/json.h"
#include "host/plugin/plugin_host.h"
#include "host/common/text.h"

namespace plumbra::host {

namespace fs = std::filesystem;

namespace {

struct Rendered {
    std::string output;
    RenderReport report;
};

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
        results[i].output = (folder / relative).string();
        auto [at, fresh] = claimed.emplace(results[i].output, i);
        if (!fresh && inputs[i].problem.empty())
            inputs[i].problem = "its output " + results[i].output + " is also the output of " + inputs[at->second].path;
        if (inputs[i].problem.empty()) {
            const fs::path parent = fs::path(results[i].output).parent_path();
            fs::create_directories(parent, ec);
            if (ec) inputs[i].problem = "cannot create the folder " + parent.string() + ": " + ec.message();
        }
    }
    return Status::success();
}

FileOutcome renderFile(const BatchOptions& o, const ParamTable& table, const RenderSetup& setup, const BatchInput& in,
                       Rendered& res, Progress& progress)
{
    auto fail = [](const std::string& why) { return FileOutcome{Outcome::Failed, why}; };
    if (!in.problem.empty()) return fail(in.problem);
    std::error_code missing;
    if (fs::exists(fs::path(res.output), missing)) {
        if (sameFile(in.path, res.output))
            return fail(res.output + " is the input itself; plumbra never writes over its input");
        if (o.existing == ExistingOutput::Skip) {
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
    if (o.render.target) {
        opened.value().reset();
        auto open = [&in]() { return openAudioFile(in.path); };
        auto load = [&o]() { return Plugin::load(o.render.plugin); };
        rendered = renderDelivered(open, load, table, res.output, setup, *o.render.target, progress.counter(in.rate));
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
    return table + printed("\n%zu files: %zu rendered, %zu skipped, %zu failed; %s for %s of audio (%.1fx real time, %d jobs)\n",
                           s["files"].get<size_t>(), s["rendered"].get<size_t>(), s["skipped"].get<size_t>(),
                           s["failed"].get<size_t>(), clockText(elapsed).c_str(), clockText(audio).c_str(),
                           elapsed > 0 ? audio / elapsed : 0.0, s["jobs"].get<int>());
}

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

}  // namespace

Status runBatch(const BatchOptions& o)
{
    std::vector<BatchInput> inputs = gatherInputs(o.inputs, o.outputFolder, o.render.quiet);
    if (std::any_of(inputs.begin(), inputs.end(), [](const BatchInput& in) { return in.path == "-"; }))
        return Status::fail(kExitUsage, "standard input (-) cannot be part of a batch: name files or folders");
    if (inputs.empty()) return Status::fail(kExitInput, "no audio files found in the inputs given");

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

    std::FILE* text = reportFile.toStdout() ? stderr : stdout;
    const std::string total = std::to_string(inputs.size());
    FileJobs jobs{&inputs, o.jobs, o.render.quiet, [&](size_t i) { return inputs[i].path; },
                  [&](size_t i, Progress& progress) {
                      return renderFile(o, prepared->table, setup, inputs[i], results[i], progress);
                  },
                  [&](size_t i, const FileOutcome& f) {
                      const std::string head = printed("[%*zu/%s]", static_cast<int>(total.size()), i + 1, total.c_str());
                      printFileLine(text, o.render.quiet, head, inputs[i], results[i], f);
                  }};
    const FilesDone done = runFiles(jobs);

    Json report = {{"files", Json::array()}};
    for (size_t i = 0; i < inputs.size(); ++i) report["files"].push_back(fileJson(inputs[i], results[i], done.outcomes[i]));
    report["summary"] = summaryJson(done, results, o.jobs, o.render.target);
    if (!o.render.quiet) std::fputs(batchTable(report).c_str(), text);
    s = reportFile.write(writeJson(report));
    if (!s.ok()) return s;
    // Files that failed outright go first (8); then files that miss the target (9).
    if (!done.status.ok() || !o.render.target) return done.status;
    std::string missed;
    size_t count = 0;
    for (size_t i = 0; i < inputs.size(); ++i)
        if (results[i].report.delivery && !results[i].report.delivery->compliance.pass)
            missed += (count++ ? ", " : "") + inputs[i].path;
    if (count == 0) return done.status;
    return Status::fail(kExitTarget, std::to_string(count) + " of " + std::to_string(inputs.size()) + " files miss " +
                                         o.render.target->name + ": " + missed);
}

}  // namespace plumbra::host
