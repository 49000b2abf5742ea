#!/bin/bash
# A library through plumbra as a Slurm job array: each task renders its shard of
# a manifest (entries i with i mod N = K), leaves one JSON report per file and
# skips what an earlier run finished, so a killed or failed task is simply run
# again. Settings come from the environment (sbatch --export, or exported before
# sbatch, which passes the environment on by default):
#
#   MANIFEST       the manifest (paths relative to its folder); required
#   OUT            the output folder (a shared file system); required
#   REPORTS        the per-file reports (default: $OUT/.reports)
#   PLUMBRA        the program (default: plumbra on the PATH)
#   PLUMBRA_ARGS   further render options, e.g. "--target podcast --ext flac"
#   SHARDS         the array's task count, to run one task again on its own
#
#   sbatch --array=0-31 --export=ALL,MANIFEST=/data/lib/manifest.txt,OUT=/data/levelled plumbra-array.sbatch
#   sbatch --array=7 --export=ALL,MANIFEST=...,OUT=...,SHARDS=32 plumbra-array.sbatch   # task 7 again
#   plumbra merge-reports /data/levelled/.reports --manifest /data/lib/manifest.txt
#
# One task renders its files one after another per core it was given.
#SBATCH --job-name=plumbra
#SBATCH --cpus-per-task=1
#SBATCH --output=plumbra-%A_%a.log
set -euo pipefail
: "${MANIFEST:?set MANIFEST to the manifest file}"
: "${OUT:?set OUT to the output folder}"
REPORTS="${REPORTS:-$OUT/.reports}"
shards=()
[ -n "${SHARDS:-}" ] && shards=(--shards "$SHARDS")
# shellcheck disable=SC2086  # PLUMBRA_ARGS is a list of options
exec "${PLUMBRA:-plumbra}" render --manifest "$MANIFEST" -o "$OUT" --shard auto "${shards[@]}" \
  --skip-existing --report-dir "$REPORTS" -j "${SLURM_CPUS_PER_TASK:-1}" --quiet ${PLUMBRA_ARGS:-}
