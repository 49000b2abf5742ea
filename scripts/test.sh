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

if [ $windows -eq 1 ]; then scripts/setup.sh native windows package; else scripts/setup.sh native package; fi
jobs=$(nproc)

# Every test runs in the GCC build. The Clang build runs what depends on the
# compiler (the processor, its arithmetic and output bits, the plug-in shells and
# the host's own logic), not the tests that drive devices, browsers, real hosts,
# clusters and delivery renders through the same program (labels device, browser,
# hosts, cluster, delivery), nor the ThreadSanitizer tests (its preset builds none). The sanitizer
# build leaves out the comparisons of output bits and the scan of the object code,
# which check the compiler's output rather than memory (bits), the longest renders
# and stressors, whose code shorter cases run as well (long), and the page in the
# stand-in's browser test (browser). tests/CMakeLists.txt gives the labels; the
# patterns match parts of a label, so "delivery" also leaves out delivery-long.
declare -A skip=(
  [native]=""
  [native-clang]="device|browser|hosts|cluster|delivery"
  [asan]="bits|long|browser"
)

for preset in native native-clang asan; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  echo "== $preset: tests"
  if [ -n "${skip[$preset]}" ]; then
    ctest --preset "$preset" -j"$jobs" -LE "${skip[$preset]}"
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
# Where the kernel runs no 32-bit program (wine-env.sh says so), the 32-bit build is
# checked by the tests that read its files without running them.
scripts/wine-env.sh bash -c "if [ \$PLUMBRA_WINE32 = 1 ]; then ctest --preset win32 -j$jobs; else
    echo '== win32: no 32-bit programs run here; only the checks of its export, import and instruction tables'
    ctest --preset win32 -j$jobs -R '^(dll_exports_and_imports|host_exe_imports|no_x87_arithmetic|vst3_dll_exports_and_imports)$'
  fi && ctest --preset win64 -j$jobs"
t2=$(date +%s)
echo "== Windows: builds $((t1 - t0)) s, Wine tests $((t2 - t1)) s"
