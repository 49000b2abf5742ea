// The two commands that work on many files: render -o, each file through its own
// plug-in instance, and analyze. Both run on the pool of files.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/delivery/delivery.h"
#include "host/audio/files.h"
#include "host/audio/manifest.h"
#include "host/common/json.h"
#include "host/render/render.h"
#include "host/common/status.h"

namespace plumbra::host {

enum class ExistingOutput { Refuse, Overwrite, Skip };

struct BatchOptions {
    RenderOptions render;    // what every file's render takes; input, output and plot unused
    std::vector<std::string> inputs;
    std::string outputFolder;
    std::string extension;  // without the dot; empty: the input's own
    int jobs = 1;
    ExistingOutput existing = ExistingOutput::Refuse;
    std::string manifest;        // the inputs from this manifest instead of `inputs`
    std::optional<Shard> shard;  // only this shard of the inputs
    std::string reportDir;       // a JSON report per file, named after its output
    bool album = false;          // with render.target: one gain for all the files
};

Status runBatch(const BatchOptions& options);

enum class AnalyzeFormat { Table, Json, Csv };

// merge-reports: the per-file reports of --report-dir (of one run or of many shards)
// as one batch report; with a manifest, its entries without a report fail.
struct MergeOptions {
    std::string folder;
    std::string manifest;
    AnalyzeFormat format = AnalyzeFormat::Table;
};

Status runMergeReports(const MergeOptions& options);

// The table of a batch report's files and its summary line, as render -o prints them.
std::string batchTable(const Json& report);

struct AnalyzeOptions {
    std::vector<std::string> inputs;
    int jobs = 1;
    AnalyzeFormat format = AnalyzeFormat::Table;
    bool quiet = false;
    std::optional<DeliveryTarget> target;  // check each file against it
};

Status runAnalyze(const AnalyzeOptions& options);

// One programme measured as analyze --json reports each file: status, format,
// loudness and peaks, and the check against `target` when one is given.
Json analyzeJson(AudioSource& source, const std::string& name, const std::optional<DeliveryTarget>& target);

// The number of jobs by default: the machine's cores.
int defaultJobs();

}  // namespace plumbra::host
