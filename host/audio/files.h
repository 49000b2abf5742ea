// Many files at once: inputs gathered from files and folders, worked on by
// several jobs in parallel, each file's line printed in input order as soon as
// it and all before it are done, and the failures summed up at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/common/progress.h"
#include "host/common/status.h"

namespace plumbra::host {

// One input of a batch.
struct BatchInput {
    std::string path;      // as found: the argument, or the folder argument joined with the walk
    std::string relative;  // its place under an output folder: the path below its folder argument, or its base name
    std::string problem;   // why it cannot be used (named explicitly but missing or not audio); empty if fine
    int64_t frames = -1;   // length from the header, -1 when unknown
    int rate = 0;
    // From a manifest line: the line's text naming the input, and its own settings
    // (empty: the batch's).
    std::string entry;
    std::string output;  // "out": the output's path below the output folder, or an absolute path
    std::string target;  // "target": a name or LUFS
    std::string preset;  // "preset": a preset file, applied after the batch's
    std::vector<std::string> sets;  // "set": NAME=VALUE, applied after the batch's
};

// Opens `in.path` to see whether libsndfile reads it; its length and rate on success.
Status probeInput(BatchInput& in);

// Expands files and folders (folders recursively, in name order; entries whose names
// start with a dot are passed over; files libsndfile cannot read are skipped with one
// note each on standard error unless `quiet`). `exclude`, when it names an existing
// folder, is not entered (the output folder inside an input folder). "-" stays as is.
std::vector<BatchInput> gatherInputs(const std::vector<std::string>& arguments, const std::string& exclude, bool quiet);

enum class Outcome { Ok, Skipped, Failed, NonFinite };
const char* outcomeName(Outcome o);  // as the reports write it

struct FileOutcome {
    Outcome outcome = Outcome::Failed;
    std::string reason;
    bool failed() const { return outcome == Outcome::Failed || outcome == Outcome::NonFinite; }
};

struct FileJobs {
    const std::vector<BatchInput>* inputs = nullptr;
    int jobs = 1;
    bool quiet = false;  // no progress line
    // The file as messages name it.
    std::function<std::string(size_t)> name;
    // Works on file i, on a thread of its own; counts its audio into the progress line.
    // An exception fails the file alone, as an internal error.
    std::function<FileOutcome(size_t i, Progress& progress)> work;
    // Prints file i's line, on the calling thread in input order.
    std::function<void(size_t i, const FileOutcome&)> finished;
};

struct FilesDone {
    std::vector<FileOutcome> outcomes;
    double elapsedSeconds = 0;
    Status status;  // success, or how many and which files failed
};

FilesDone runFiles(const FileJobs& jobs);

// The number of jobs by default: the machine's cores.
int defaultJobs();

}  // namespace plumbra::host
