#!/usr/bin/env bash
# Sets up, builds and runs every test: the native build with GCC and with Clang,
# then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the 32-bit and
# 64-bit Windows builds, whose tests run under Wine (including the comparison
# of their arithmetic and renders with the native build's, bit for bit).
# Usage: scripts/test.sh [--no-windows]
set -euo pipefail
cd "$(dirname "$0")/.."

windows=1
for arg in "$@"; do
  case "$arg" in
    --no-windows) windows=0 ;;
    *) echo "usage: $0 [--no-windows]" >&2; exit 2 ;;
  esac
done

if [ $windows -eq 1 ]; then scripts/setup.sh native windows; else scripts/setup.sh native; fi
jobs=$(nproc)

# Every test runs in the GCC build. The Clang build runs what depends on the
# compiler (the processor, its arithmetic and output bits, the plug-in shells and
# the host's own logic), not the tests that drive servers, devices and browsers
# through the same program, nor the ThreadSanitizer tests (its preset builds none). The sanitizer build leaves out the comparisons of
# output bits and the scan of the object code, which check the compiler's output
# rather than memory, the longest delivery renders, whose paths the other
# delivery cases take as well, and the true-peak limiter's stressors, whose
# code the other limiter cases run.
declare -A skip=(
  [native]=""
  [native-clang]="^(LiveJack|Periods/LiveJack|Alsa\\.|web_page_in_browser|lv2_host_|Delivery\\.|slurm_job_array)"
  [asan]="^(golden_render|GoldenRender\\.|no_avx_outside_avx_path|Delivery\\.(RendersLand|WithoutLimiting)|TruePeakLimiter\\.Stressors|web_page_in_browser$)"
)
for preset in native native-clang asan; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  echo "== $preset: tests"
  if [ -n "${skip[$preset]}" ]; then
    ctest --preset "$preset" -j"$jobs" -E "${skip[$preset]}"
  else
    ctest --preset "$preset" -j"$jobs"
  fi
done

[ $windows -eq 1 ] || exit 0

t0=$(date +%s)
scripts/windows-deps.sh   # the host's audio libraries, for plumbra.exe
for preset in win32 win64; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
done
t1=$(date +%s)

# One throwaway Wine prefix for both test runs; they compare with build/native.
echo "== win32 and win64: tests under Wine"
scripts/wine-env.sh bash -c "ctest --preset win32 -j$jobs && ctest --preset win64 -j$jobs"
t2=$(date +%s)
echo "== Windows: builds $((t1 - t0)) s, Wine tests $((t2 - t1)) s"
