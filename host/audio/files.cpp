// Gathering the inputs of a batch and working through them on a pool of threads.
#include "host/audio/files.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "host/audio/audio_io.h"
#include "host/audio/file_io.h"

namespace plumbra::host {

namespace fs = std::filesystem;

namespace {

// A reason about `path` without the name, for a line that names it already:
// "x.txt is not in an audio format..." -> "not in an audio format...".
std::string withoutName(const std::string& reason, const std::string& path)
{
    for (const std::string& prefix : {path + " is ", path + " ", "cannot read " + path + ": ", "cannot open " + path + ": "})
        if (reason.compare(0, prefix.size(), prefix) == 0) return reason.substr(prefix.size());
    return reason;
}

}  // namespace

Status probeInput(BatchInput& in)
{
    auto opened = openAudioFile(in.path);
    if (!opened.ok()) return opened.status();
    in.frames = opened.value()->format().frames;
    in.rate = opened.value()->format().rate;
    return Status::success();
}

namespace {

void walk(const fs::path& dir, const std::string& relative, const std::string& exclude, bool quiet,
          std::vector<BatchInput>& out)
{
    std::vector<fs::directory_entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (const std::string name = it->path().filename().string(); !name.empty() && name[0] != '.')
            entries.push_back(*it);
    if (ec) {
        if (!quiet) std::fprintf(stderr, "plumbra: skipping folder %s: %s\n", dir.string().c_str(), ec.message().c_str());
        return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename().string() < b.path().filename().string(); });
    for (const auto& e : entries) {
        const std::string path = e.path().string(), name = e.path().filename().string();
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        std::error_code x;
        if (e.is_directory(x)) {
            if (e.is_symlink(x)) {
                if (!quiet) std::fprintf(stderr, "plumbra: skipping %s: a link to a folder is not followed\n", path.c_str());
            } else if (exclude.empty() || !sameFile(path, exclude)) {
                walk(e.path(), rel, exclude, quiet, out);
            }
            continue;
        }
        BatchInput in;
        in.path = path;
        in.relative = rel;
        Status s = probeInput(in);
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
        for (size_t i; (i = next++) < count;) {
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
    auto ready = [&] { return reported < count && finished[reported] != 0; };
    while (reported < count) {
        std::unique_lock<std::mutex> lock(m);
        changed.wait_for(lock, std::chrono::milliseconds(200), ready);
        while (ready()) {
            lock.unlock();
            done(reported++);
            lock.lock();
        }
        lock.unlock();
        tick();
    }
    for (auto& t : threads) t.join();
}

}  // namespace

const char* outcomeName(Outcome o)
{
    switch (o) {
    case Outcome::Ok: return "ok";
    case Outcome::Skipped: return "skipped";
    case Outcome::NonFinite: return "non-finite";
    default: return "failed";
    }
}

int defaultJobs()
{
    const unsigned n = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(n, 1u, 64u));
}

std::vector<BatchInput> gatherInputs(const std::vector<std::string>& arguments, const std::string& exclude, bool quiet)
{
    std::vector<BatchInput> out;
    for (const auto& arg : arguments) {
        if (std::error_code ec; arg != "-" && fs::is_directory(fs::path(arg), ec)) {
            walk(fs::path(arg), "", exclude, quiet, out);
            continue;
        }
        fs::path named(arg);
        if (!named.has_filename()) named = named.parent_path();  // "folder/" names "folder"
        BatchInput in;
        in.path = arg;
        in.relative = named.filename().string();
        if (arg != "-") {
            Status s = probeInput(in);
            if (!s.ok()) in.problem = s.reason;
        }
        out.push_back(in);
    }
    return out;
}

FilesDone runFiles(const FileJobs& j)
{
    const std::vector<BatchInput>& inputs = *j.inputs;
    int64_t totalUs = 0;
    for (const auto& in : inputs) totalUs += audioUs(in.frames, in.rate);
    Progress progress(!j.quiet && isTerminal(2), totalUs, inputs.size());

    FilesDone d;
    d.outcomes.resize(inputs.size());
    auto work = [&](size_t i) {
        try {
            d.outcomes[i] = j.work(i, progress);
        } catch (const std::exception& e) {
            d.outcomes[i] = {Outcome::Failed, std::string("internal error: ") + e.what()};
        }
    };
    size_t filesDone = 0;
    auto done = [&](size_t i) {
        ++filesDone;
        progress.clear();
        j.finished(i, d.outcomes[i]);
        std::fflush(stdout);
        progress.draw(filesDone);
    };
    runPool(inputs.size(), j.jobs, work, done, [&] { progress.draw(filesDone); });
    progress.clear();
    d.elapsedSeconds = progress.elapsedSeconds();

    std::string list;
    size_t failed = 0;
    for (size_t i = 0; i < inputs.size(); ++i)
        if (d.outcomes[i].failed()) list += (failed++ ? ", " : "") + j.name(i);
    if (failed > 0)
        d.status = Status::fail(kExitSomeFailed, std::to_string(failed) + " of " + std::to_string(inputs.size()) +
                                                     " files failed: " + list);
    return d;
}

}  // namespace plumbra::host
