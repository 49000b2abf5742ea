// Many files at once: inputs gathered from files and folders, rendered or
// analysed by several jobs in parallel, each file with its own plug-in instance,
// results reported in input order with a summary at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/render.h"
#include "host/status.h"

namespace plumbra::host {

// One input of a batch.
struct BatchInput {
    std::string path;      // as found: the argument, or the folder argument joined with the walk
    std::string relative;  // its place under an output folder: the path below its folder argument, or its base name
    std::string problem;   // why it cannot be used (named explicitly but missing or not audio); empty if fine
    int64_t frames = -1;   // length from the header, -1 when unknown
    int rate = 0;
};

// Expands files and folders (folders recursively, in name order; entries whose names
// start with a dot are passed over; files libsndfile cannot read are skipped with one
// note each on standard error unless `quiet`). `exclude`, when it names an existing
// folder, is not entered (the output folder inside an input folder). "-" stays as is.
std::vector<BatchInput> gatherInputs(const std::vector<std::string>& arguments, const std::string& exclude, bool quiet);

enum class ExistingOutput { Refuse, Overwrite, Skip };

struct BatchOptions {
    std::vector<std::string> inputs;
    std::string outputFolder;
    std::string extension;  // without the dot; empty: the input's own
    int jobs = 1;
    ExistingOutput existing = ExistingOutput::Refuse;
    bool quiet = false;
    std::string reportJson;  // "-": standard output
    std::string plugin;
    std::string preset;
    std::vector<std::string> sets;
    RenderSetup setup;       // assignments are filled in from preset and sets
};

Status runBatch(const BatchOptions& options);

struct AnalyzeOptions {
    std::vector<std::string> inputs;
    int jobs = 1;
    bool json = false, csv = false, quiet = false;
};

Status runAnalyze(const AnalyzeOptions& options);

// The number of jobs by default: the machine's cores.
int defaultJobs();

}  // namespace plumbra::host
