// The inputs of a batch from a manifest file, and the share of a batch that one
// shard of a cluster job takes.
//
// A manifest names one input per line: a path relative to the manifest's folder,
// or an absolute one; blank lines and lines starting with # are ignored. A line may
// instead be a JSON object with per-file settings:
//   {"in": "a/b.wav", "out": "b-levelled.flac", "target": "podcast", "preset": "x.preset",
//    "set": {"Lowpass Filter": 12000}}
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/audio/files.h"
#include "host/common/status.h"

namespace plumbra::host {

// The entries of a manifest in its order, not yet probed: each input's path (joined
// with the manifest's folder when relative), its place below an output folder (the
// path below the manifest's folder; the base name for a file outside it) and the
// line's own settings. A line that cannot be read fails the whole manifest, with its
// number. Files named by "preset" are taken relative to the manifest's folder too.
Result<std::vector<BatchInput>> readManifest(const std::string& path);

// Opens each input to learn its length and rate; one that cannot be read gets a problem.
void probeInputs(std::vector<BatchInput>& inputs);

// Shard K of N: the entries at 0-based positions i with i mod N = K.
struct Shard {
    int index = 0;
    int count = 1;
};

// "K/N", or "auto": from a Slurm job array (SLURM_ARRAY_TASK_ID minus SLURM_ARRAY_TASK_MIN
// of SLURM_ARRAY_TASK_COUNT tasks) or a Kubernetes Indexed Job (JOB_COMPLETION_INDEX, with
// `shards` giving N). With `shards` under Slurm, K is the task ID itself, so that one task
// of an array numbered from 0 can be submitted again on its own. `env` reads a variable
// (nullptr when unset).
Result<Shard> parseShard(const std::string& given, const std::string& shards,
                         const std::function<const char*(const char*)>& env);

// The entries shard `s` takes, in their order.
std::vector<BatchInput> takeShard(std::vector<BatchInput> inputs, const Shard& s);

}  // namespace plumbra::host
