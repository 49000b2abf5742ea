// Batches of files: gathering inputs, a pool of rendering or measuring threads,
// per-file lines in input order, an overall progress line and the summaries.
#include "host/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "host/file_io.h"
#include "host/loudness.h"
#include "host/plugin_host.h"
#include "host/progress.h"
#include "host/report.h"

namespace plumbra::host {

namespace fs = std::filesystem;

namespace {

std::string joinPath(const std::string& dir, const std::string& name)
{
    if (dir.empty()) return name;
    const char last = dir.back();
    return (last == '/' || last == '\\') ? dir + name : dir + "/" + name;
}

std::string baseName(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
    const auto slash = p.find_last_of("/\\");
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string withExtension(const std::string& relative, const std::string& extension)
{
    if (extension.empty()) return relative;
    const auto slash = relative.find_last_of('/');
    const auto dot = relative.find_last_of('.');
    const bool hasDot = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasDot ? relative.substr(0, dot) : relative) + "." + extension;
}

// A reason about `path` without the name, for a line that names it already:
// "x.txt is not in an audio format..." -> "not in an audio format...".
std::string withoutName(const std::string& reason, const std::string& path)
{
    for (const std::string& prefix : {path + " is ", path + " ", "cannot read " + path + ": ", "cannot open " + path + ": "})
        if (reason.compare(0, prefix.size(), prefix) == 0) return reason.substr(prefix.size());
    return reason;
}

// Opens a file to see whether libsndfile reads it; its length and rate on success.
Status probe(const std::string& path, BatchInput& in)
{
    auto opened = openAudioFile(path);
    if (!opened.ok()) return opened.status();
    in.frames = opened.value()->format().frames;
    in.rate = opened.value()->format().rate;
    return Status::success();
}

void walk(const std::string& dir, const std::string& relative, const std::string& exclude, bool quiet,
          std::vector<BatchInput>& out)
{
    struct Entry {
        std::string name;
        bool folder, link;
    };
    std::vector<Entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(dir), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code e;
        entries.push_back({name, it->is_directory(e), it->is_symlink(e)});
    }
    if (ec) {
        if (!quiet) std::fprintf(stderr, "plumbra: skipping folder %s: %s\n", dir.c_str(), ec.message().c_str());
        return;
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    for (const auto& e : entries) {
        const std::string path = joinPath(dir, e.name);
        const std::string rel = relative.empty() ? e.name : relative + "/" + e.name;
        if (e.folder) {
            if (e.link) {
                if (!quiet) std::fprintf(stderr, "plumbra: skipping %s: a link to a folder is not followed\n", path.c_str());
            } else if (exclude.empty() || !sameFile(path, exclude)) {
                walk(path, rel, exclude, quiet, out);
            }
            continue;
        }
        BatchInput in;
        in.path = path;
        in.relative = rel;
        Status s = probe(path, in);
        if (s.ok())
            out.push_back(in);
        else if (!quiet)
            std::fprintf(stderr, "plumbra: skipping %s: %s\n", path.c_str(), withoutName(s.reason, path).c_str());
    }
}

// Runs work(i) for every item on up to `jobs` threads. On the calling thread,
// done(i) is called in the order of i as soon as items 0..i are finished, and
// tick() about five times a second.
void runPool(size_t count, int jobs, const std::function<void(size_t)>& work, const std::function<void(size_t)>& done,
             const std::function<void()>& tick)
{
    std::mutex m;
    std::condition_variable changed;
    std::vector<char> finished(count, 0);
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (;;) {
            const size_t i = next++;
            if (i >= count) return;
            work(i);
            {
                std::lock_guard<std::mutex> lock(m);
                finished[i] = 1;
            }
            changed.notify_one();
        }
    };
    std::vector<std::thread> threads;
    const size_t n = std::min<size_t>(static_cast<size_t>(std::max(1, jobs)), count);
    for (size_t t = 0; t < n; ++t) threads.emplace_back(worker);
    size_t reported = 0;
    while (reported < count) {
        {
            std::unique_lock<std::mutex> lock(m);
            changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return finished[reported] != 0; });
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m);
                if (reported >= count || !finished[reported]) break;
            }
            done(reported++);
        }
        tick();
    }
    for (auto& t : threads) t.join();
}

// The overall progress line on standard error: files done, elapsed time and an
// estimate from the audio still to go.
class BatchProgress {
public:
    BatchProgress(bool enabled, size_t files, int64_t totalSeconds1000)
        : enabled_(enabled), files_(files), total_(totalSeconds1000), start_(std::chrono::steady_clock::now())
    {
    }
    double elapsed() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }
    // Audio done, in milliseconds, across all jobs.
    std::atomic<int64_t> doneMs{0};

    void clear()
    {
        if (enabled_ && drawn_) std::fprintf(stderr, "\r\x1b[K");
        drawn_ = false;
    }
    void draw(size_t filesDone)
    {
        if (!enabled_) return;
        const double e = elapsed();
        const double frac = total_ > 0 ? std::min(1.0, static_cast<double>(doneMs.load()) / static_cast<double>(total_))
                                       : static_cast<double>(filesDone) / static_cast<double>(std::max<size_t>(files_, 1));
        constexpr int width = 24;
        const int filled = static_cast<int>(frac * width);
        std::string line = "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '-') + "]";
        char buf[160];
        std::snprintf(buf, sizeof buf, " %zu/%zu files  %s elapsed, %s left", filesDone, files_, clockText(e).c_str(),
                      frac > 0 ? clockText(e * (1 - frac) / frac).c_str() : "?");
        std::fprintf(stderr, "\r%s%s\x1b[K", line.c_str(), buf);
        std::fflush(stderr);
        drawn_ = true;
    }

private:
    bool enabled_;
    size_t files_;
    int64_t total_;
    std::chrono::steady_clock::time_point start_;
    bool drawn_ = false;
};

int64_t totalMs(const std::vector<BatchInput>& inputs)
{
    int64_t ms = 0;
    for (const auto& in : inputs)
        if (in.frames > 0 && in.rate > 0) ms += in.frames * 1000 / in.rate;
    return ms;
}

std::string fixedOrDash(double v, int decimals)
{
    if (!std::isfinite(v)) return "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string fit(const std::string& s, size_t width)
{
    if (s.size() <= width) return s + std::string(width - s.size(), ' ');
    return "..." + s.substr(s.size() - (width - 3));
}

enum class Outcome { Rendered, Skipped, Failed, NonFinite };

struct FileResult {
    Outcome outcome = Outcome::Failed;
    std::string output;
    std::string reason;
    RenderReport report;
};

const char* outcomeName(Outcome o)
{
    switch (o) {
    case Outcome::Rendered: return "ok";
    case Outcome::Skipped: return "skipped";
    case Outcome::NonFinite: return "non-finite";
    default: return "failed";
    }
}

}  // namespace

int defaultJobs()
{
    const unsigned n = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(n, 1u, 64u));
}

std::vector<BatchInput> gatherInputs(const std::vector<std::string>& arguments, const std::string& exclude, bool quiet)
{
    std::vector<BatchInput> out;
    for (const auto& arg : arguments) {
        std::error_code ec;
        if (arg != "-" && fs::is_directory(fs::path(arg), ec)) {
            walk(arg, "", exclude, quiet, out);
            continue;
        }
        BatchInput in;
        in.path = arg;
        in.relative = baseName(arg);
        if (arg != "-") {
            Status s = probe(arg, in);
            if (!s.ok()) in.problem = s.reason;
        }
        out.push_back(in);
    }
    return out;
}

Status runBatch(const BatchOptions& o)
{
    std::vector<BatchInput> inputs = gatherInputs(o.inputs, o.outputFolder, o.quiet);
    for (const auto& in : inputs)
        if (in.path == "-")
            return Status::fail(kExitUsage, "standard input (-) cannot be part of a batch: name files or folders");
    if (inputs.empty()) return Status::fail(kExitInput, "no audio files found in the inputs given");

    // The plug-in and the parameters are checked once, before any file is touched.
    RenderSetup setup = o.setup;
    auto loaded = Plugin::load(o.plugin);
    if (!loaded.ok()) return loaded.status();
    auto discovered = ParamTable::discover(*loaded.value());
    if (!discovered.ok()) return discovered.status();
    const ParamTable table = discovered.value();
    loaded.value().reset();
    auto assignments = collectAssignments(table, o.preset, o.sets);
    if (!assignments.ok()) return assignments.status();
    setup.assignments = assignments.value();

    const bool jsonToStdout = o.reportJson == "-";
    TempFile reportFile;
    if (!o.reportJson.empty() && !jsonToStdout) {
        Status s = reportFile.create(o.reportJson);
        if (!s.ok()) return s;
    }

    // Only now, with everything checked, is anything created.
    std::error_code ec;
    const fs::path folder = fs::path(o.outputFolder);
    if (!fs::is_directory(folder, ec)) {
        fs::create_directories(folder, ec);
        if (ec || !fs::is_directory(folder))
            return Status::fail(kExitOutput, "cannot create the output folder " + o.outputFolder + ": " +
                                                 (ec ? ec.message() : "a file of that name exists"));
    }

    // Output names, each claimed by one input only.
    std::vector<FileResult> results(inputs.size());
    std::map<std::string, size_t> claimed;
    for (size_t i = 0; i < inputs.size(); ++i) {
        results[i].output = joinPath(o.outputFolder, withExtension(inputs[i].relative, o.extension));
        auto [at, fresh] = claimed.emplace(results[i].output, i);
        if (!fresh && inputs[i].problem.empty())
            inputs[i].problem = "its output " + results[i].output + " is also the output of " + inputs[at->second].path;
        if (inputs[i].problem.empty()) {
            const fs::path parent = fs::path(results[i].output).parent_path();
            fs::create_directories(parent, ec);
            if (ec) inputs[i].problem = "cannot create the folder " + parent.string() + ": " + ec.message();
        }
    }

    std::FILE* text = jsonToStdout ? stderr : stdout;
    BatchProgress progress(!o.quiet && stderrIsTerminal(), inputs.size(), totalMs(inputs));

    auto work = [&](size_t i) {
        const BatchInput& in = inputs[i];
        FileResult& res = results[i];
        auto fail = [&res](const std::string& why) {
            res.outcome = Outcome::Failed;
            res.reason = why;
        };
        if (!in.problem.empty()) return fail(in.problem);
        std::error_code missing;
        if (fs::exists(fs::path(res.output), missing)) {
            if (sameFile(in.path, res.output))
                return fail(res.output + " is the input itself; plumbra never writes over its input");
            if (o.existing == ExistingOutput::Skip) {
                res.outcome = Outcome::Skipped;
                res.reason = res.output + " exists";
                progress.doneMs += in.rate > 0 && in.frames > 0 ? in.frames * 1000 / in.rate : 0;
                return;
            }
            if (o.existing == ExistingOutput::Refuse)
                return fail(res.output + " exists (--overwrite replaces it, --skip-existing keeps it)");
        }
        auto opened = openAudioFile(in.path);
        if (!opened.ok()) return fail(opened.status().reason);
        AudioSource& source = *opened.value();
        const int channels = source.format().channels;
        if (channels > 2)
            return fail(in.path + " has " + std::to_string(channels) + " channels; plumbra takes mono or stereo");
        auto plugin = Plugin::load(o.plugin);
        if (!plugin.ok()) return fail(plugin.status().reason);
        int64_t counted = 0;
        const int rate = source.format().rate;
        auto rendered = renderStream(*plugin.value(), table, source, res.output, setup, [&](int64_t frames) {
            const int64_t ms = frames * 1000 / rate;
            progress.doneMs += ms - counted;
            counted = ms;
        });
        if (!rendered.ok()) return fail(rendered.status().reason);
        res.report = rendered.value().report;
        res.report.input = in.path;
        res.outcome = res.report.nonFinite > 0 ? Outcome::NonFinite : Outcome::Rendered;
        if (res.outcome == Outcome::NonFinite)
            res.reason = "the plug-in's output holds " + std::to_string(res.report.nonFinite) +
                         " NaN or infinite samples; " + res.output + " is written for inspection";
    };
    auto safeWork = [&](size_t i) {
        try {
            work(i);
        } catch (const std::exception& e) {
            results[i].outcome = Outcome::Failed;
            results[i].reason = std::string("internal error: ") + e.what();
        }
    };

    size_t filesDone = 0;
    const size_t total = inputs.size();
    const int digits = static_cast<int>(std::to_string(total).size());
    auto done = [&](size_t i) {
        ++filesDone;
        const FileResult& r = results[i];
        progress.clear();
        char head[32];
        std::snprintf(head, sizeof head, "[%*zu/%zu]", digits, i + 1, total);
        if (r.outcome == Outcome::Failed || r.outcome == Outcome::NonFinite) {
            std::fprintf(stderr, "plumbra: %s %s: %s\n", head, inputs[i].path.c_str(), r.reason.c_str());
        } else if (!o.quiet) {
            if (r.outcome == Outcome::Skipped) {
                std::fprintf(text, "%s %s: skipped, %s\n", head, inputs[i].path.c_str(), r.reason.c_str());
            } else {
                std::fprintf(text, "%s %s -> %s: %s -> %s LUFS, %.1fx real time\n", head, inputs[i].path.c_str(),
                             r.output.c_str(), fixedOrDash(r.report.in.integratedLufs, 1).c_str(),
                             fixedOrDash(r.report.out.integratedLufs, 1).c_str(), r.report.speed);
                for (const auto& t : r.report.tagsDropped)
                    std::fprintf(text, "%*s tag %s dropped: %s cannot hold it\n", digits * 2 + 3, "", t.first.c_str(),
                                 r.report.outputContainer.c_str());
            }
        }
        std::fflush(text);
        progress.draw(filesDone);
    };
    runPool(total, o.jobs, safeWork, done, [&] { progress.draw(filesDone); });
    progress.clear();
    const double elapsed = progress.elapsed();

    size_t rendered = 0, skipped = 0, failed = 0;
    double audioSeconds = 0;
    std::vector<std::string> failures;
    for (size_t i = 0; i < total; ++i) {
        const FileResult& r = results[i];
        if (r.outcome == Outcome::Rendered) ++rendered;
        if (r.outcome == Outcome::Skipped) ++skipped;
        if (r.outcome == Outcome::Failed || r.outcome == Outcome::NonFinite) {
            ++failed;
            failures.push_back(inputs[i].path);
        }
        if (r.report.rate > 0) audioSeconds += static_cast<double>(r.report.inputFrames) / r.report.rate;
    }

    if (!o.quiet) {
        size_t width = 4;
        for (const auto& in : inputs) width = std::max(width, in.path.size());
        width = std::min<size_t>(width, 48);
        std::string table = "\n" + fit("file", width) + "   in LUFS  out LUFS  out dBTP     speed  status\n";
        for (size_t i = 0; i < total; ++i) {
            const FileResult& r = results[i];
            char row[512];
            const bool measured = r.outcome == Outcome::Rendered || r.outcome == Outcome::NonFinite;
            char speed[32];
            std::snprintf(speed, sizeof speed, "%.1fx", r.report.speed);
            std::snprintf(row, sizeof row, "%s  %8s  %8s  %8s  %8s  %s\n", fit(inputs[i].path, width).c_str(),
                          measured ? fixedOrDash(r.report.in.integratedLufs, 1).c_str() : "",
                          measured ? fixedOrDash(r.report.out.integratedLufs, 1).c_str() : "",
                          measured ? fixedOrDash(r.report.out.truePeakDbtp, 1).c_str() : "", measured ? speed : "",
                          outcomeName(r.outcome));
            table += row;
        }
        char line[256];
        std::snprintf(line, sizeof line, "\n%zu files: %zu rendered, %zu skipped, %zu failed; %s for %s of audio (%.1fx real time, %d jobs)\n",
                      total, rendered, skipped, failed, clockText(elapsed).c_str(), clockText(audioSeconds).c_str(),
                      elapsed > 0 ? audioSeconds / elapsed : 0.0, o.jobs);
        table += line;
        std::fputs(table.c_str(), text);
    }

    if (!o.reportJson.empty()) {
        std::string j = "{\n  \"files\": [";
        for (size_t i = 0; i < total; ++i) {
            const FileResult& r = results[i];
            j += i ? ",\n    {\n" : "\n    {\n";
            j += "      \"status\": " + jsonString(outcomeName(r.outcome)) + ",\n";
            if (r.outcome == Outcome::Rendered || r.outcome == Outcome::NonFinite) {
                if (!r.reason.empty()) j += "      \"reason\": " + jsonString(r.reason) + ",\n";
                j += reportJsonMembers(r.report, "    ");
            } else {
                j += "      \"input\": {\n        \"file\": " + jsonString(inputs[i].path) + "\n      },\n";
                j += "      \"output\": {\n        \"file\": " + jsonString(r.output) + "\n      },\n";
                j += "      \"reason\": " + jsonString(r.reason) + "\n";
            }
            j += "    }";
        }
        j += total ? "\n  ],\n" : "],\n";
        j += "  \"summary\": {\n    \"files\": " + std::to_string(total) + ",\n    \"rendered\": " + std::to_string(rendered) +
             ",\n    \"skipped\": " + std::to_string(skipped) + ",\n    \"failed\": " + std::to_string(failed) +
             ",\n    \"jobs\": " + std::to_string(o.jobs) + ",\n    \"elapsed_s\": " + jsonNumber(elapsed, 3) +
             ",\n    \"audio_s\": " + jsonNumber(audioSeconds, 3) + "\n  }\n}\n";
        if (jsonToStdout) {
            std::fputs(j.c_str(), stdout);
        } else {
            Status s = writeAndCommit(reportFile, j);
            if (!s.ok()) return s;
        }
    }

    if (failed > 0) {
        std::string list;
        for (const auto& f : failures) list += (list.empty() ? "" : ", ") + f;
        return Status::fail(kExitSomeFailed, std::to_string(failed) + " of " + std::to_string(total) +
                                                 " files failed: " + list);
    }
    return Status::success();
}

Status runAnalyze(const AnalyzeOptions& o)
{
    std::vector<BatchInput> inputs = gatherInputs(o.inputs, "", o.quiet);
    size_t fromStdin = 0;
    for (const auto& in : inputs) fromStdin += in.path == "-";
    if (fromStdin > 1) return Status::fail(kExitUsage, "standard input (-) can be analysed once only");
    if (inputs.empty()) return Status::fail(kExitInput, "no audio files found in the inputs given");

    struct Measured {
        std::string reason;  // empty: measured
        std::unique_ptr<LoudnessMeter> meter;
        LoudnessSummary summary;
        int rate = 0, channels = 0;
        double seconds = 0;
    };
    std::vector<Measured> results(inputs.size());
    BatchProgress progress(!o.quiet && stderrIsTerminal(), inputs.size(), totalMs(inputs));

    auto work = [&](size_t i) {
        Measured& m = results[i];
        if (!inputs[i].problem.empty()) {
            m.reason = inputs[i].problem;
            return;
        }
        auto opened = openAudioFile(inputs[i].path);
        if (!opened.ok()) {
            m.reason = opened.status().reason;
            return;
        }
        AudioSource& source = *opened.value();
        m.rate = source.format().rate;
        m.channels = source.format().channels;
        m.meter = std::make_unique<LoudnessMeter>(m.channels, m.rate);
        if (!m.meter->valid()) {
            m.reason = "cannot measure " + std::to_string(m.channels) + " channels at " + std::to_string(m.rate) + " Hz";
            m.meter.reset();
            return;
        }
        std::vector<float> buf(static_cast<size_t>(4096 * m.channels));
        int64_t frames = 0, counted = 0;
        for (;;) {
            auto got = source.read(buf.data(), 4096);
            if (!got.ok()) {
                m.reason = got.status().reason;
                m.meter.reset();
                return;
            }
            if (got.value() == 0) break;
            m.meter->add(buf.data(), got.value());
            frames += got.value();
            const int64_t ms = frames * 1000 / m.rate;
            progress.doneMs += ms - counted;
            counted = ms;
        }
        m.summary = m.meter->summary();
        m.seconds = static_cast<double>(frames) / m.rate;
        m.meter->release();
    };
    auto safeWork = [&](size_t i) {
        try {
            work(i);
        } catch (const std::exception& e) {
            results[i].reason = std::string("internal error: ") + e.what();
            results[i].meter.reset();
        }
    };

    const bool table = !o.json && !o.csv;
    size_t width = 5;
    for (const auto& in : inputs) width = std::max(width, in.path == "-" ? 14 : in.path.size());
    width = std::min<size_t>(width, 48);
    auto row = [&](const std::string& name, const LoudnessSummary& s, double seconds) {
        char line[512];
        std::snprintf(line, sizeof line, "%s  %7s  %7s  %8s  %9s  %9.2f\n", fit(name, width).c_str(),
                      fixedOrDash(s.integratedLufs, 1).c_str(), fixedOrDash(s.rangeLu, 1).c_str(),
                      fixedOrDash(s.truePeakDbtp, 1).c_str(), fixedOrDash(s.samplePeakDbfs, 1).c_str(), seconds);
        return std::string(line);
    };
    auto displayName = [&](size_t i) { return inputs[i].path == "-" ? std::string("standard input") : inputs[i].path; };
    if (table) {
        std::printf("%s  %7s  %7s  %8s  %9s  %9s\n", fit("file", width).c_str(), "LUFS", "LRA LU", "TP dBTP",
                    "peak dBFS", "seconds");
        std::fflush(stdout);
    }
    size_t filesDone = 0;
    auto done = [&](size_t i) {
        ++filesDone;
        progress.clear();
        if (!results[i].reason.empty())
            std::fprintf(stderr, "plumbra: %s: %s\n", displayName(i).c_str(), results[i].reason.c_str());
        else if (table)
            std::fputs(row(displayName(i), results[i].summary, results[i].seconds).c_str(), stdout);
        std::fflush(stdout);
        progress.draw(filesDone);
    };
    runPool(inputs.size(), o.jobs, safeWork, done, [&] { progress.draw(filesDone); });
    progress.clear();

    std::vector<const LoudnessMeter*> meters;
    double totalSeconds = 0;
    std::vector<std::string> failures;
    for (size_t i = 0; i < results.size(); ++i) {
        if (results[i].meter) meters.push_back(results[i].meter.get());
        if (results[i].reason.empty())
            totalSeconds += results[i].seconds;
        else
            failures.push_back(displayName(i));
    }
    const LoudnessSummary all = LoudnessMeter::combined(meters);
    const std::string totalName = "total (" + std::to_string(meters.size()) + (meters.size() == 1 ? " file)" : " files)");

    if (table) {
        std::fputs(row(totalName, all, totalSeconds).c_str(), stdout);
    } else if (o.json) {
        auto measures = [](const LoudnessSummary& s, double seconds) {
            return "\"duration_s\": " + jsonNumber(seconds, 3) + ", \"integrated_lufs\": " + jsonNumber(s.integratedLufs, 2) +
                   ", \"loudness_range_lu\": " + jsonNumber(s.rangeLu, 2) + ", \"true_peak_dbtp\": " +
                   jsonNumber(s.truePeakDbtp, 2) + ", \"sample_peak_dbfs\": " + jsonNumber(s.samplePeakDbfs, 2);
        };
        std::string j = "{\n  \"files\": [";
        for (size_t i = 0; i < results.size(); ++i) {
            const Measured& m = results[i];
            j += std::string(i ? "," : "") + "\n    {\"file\": " + jsonString(displayName(i)) + ", ";
            if (m.reason.empty())
                j += "\"status\": \"ok\", \"sample_rate\": " + std::to_string(m.rate) + ", \"channels\": " +
                     std::to_string(m.channels) + ", " + measures(m.summary, m.seconds) + "}";
            else
                j += "\"status\": \"failed\", \"reason\": " + jsonString(m.reason) + "}";
        }
        j += results.empty() ? "],\n" : "\n  ],\n";
        j += "  \"total\": {\"files\": " + std::to_string(meters.size()) + ", \"failed\": " +
             std::to_string(failures.size()) + ", " + measures(all, totalSeconds) + "}\n}\n";
        std::fputs(j.c_str(), stdout);
    } else {
        auto csvField = [](const std::string& s) {
            if (s.find_first_of(",\"\n") == std::string::npos) return s;
            std::string q = "\"";
            for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
            return q + "\"";
        };
        auto measures = [](const LoudnessSummary& s, double seconds) {
            char buf[256];
            std::snprintf(buf, sizeof buf, "%.3f,%s,%s,%s,%s", seconds, fixedOrDash(s.integratedLufs, 2).c_str(),
                          fixedOrDash(s.rangeLu, 2).c_str(), fixedOrDash(s.truePeakDbtp, 2).c_str(),
                          fixedOrDash(s.samplePeakDbfs, 2).c_str());
            return std::string(buf);
        };
        std::string c = "file,status,sample_rate,channels,duration_s,integrated_lufs,loudness_range_lu,true_peak_dbtp,sample_peak_dbfs\n";
        for (size_t i = 0; i < results.size(); ++i) {
            const Measured& m = results[i];
            if (m.reason.empty())
                c += csvField(displayName(i)) + ",ok," + std::to_string(m.rate) + "," + std::to_string(m.channels) + "," +
                     measures(m.summary, m.seconds) + "\n";
            else
                c += csvField(displayName(i)) + ",failed,,,,,,,\n";
        }
        c += "total,ok,,," + measures(all, totalSeconds) + "\n";
        std::fputs(c.c_str(), stdout);
    }

    if (!failures.empty()) {
        std::string list;
        for (const auto& f : failures) list += (list.empty() ? "" : ", ") + f;
        return Status::fail(kExitSomeFailed, std::to_string(failures.size()) + " of " + std::to_string(inputs.size()) +
                                                 " files failed: " + list);
    }
    return Status::success();
}

}  // namespace plumbra::host
