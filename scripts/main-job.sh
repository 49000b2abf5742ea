#!/usr/bin/env bash
# Sets up what is missing, builds the plug-in and the plumbra host, and renders
# the built-in demo programme through the plug-in with its loudness report and
# plot, then once more with the meters and the two-panel plot (loudness and the
# bands' gain), then says where everything is.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh native
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)"

out=build/demo
mkdir -p "$out"
build/native/plumbra demo "$out/demo-input.wav"
build/native/plumbra render --demo "$out/demo.wav" \
  --report-json "$out/demo-report.json" --plot "$out/demo-loudness.svg"
build/native/plumbra render --demo "$out/demo-metered.wav" --quiet --meters "$out/demo-meters.jsonl" \
  --report-json "$out/demo-meters-report.json" --plot "$out/demo-meters.svg"

here=$(pwd)
echo
echo "plug-in:          $here/build/native/Halvex_Plumbra-Vektis.so"
echo "host:             $here/build/native/plumbra   (plumbra --help)"
echo "demo, processed:  $here/$out/demo.wav"
echo "demo, input:      $here/$out/demo-input.wav"
echo "loudness report:  $here/$out/demo-report.json"
echo "loudness plot:    $here/$out/demo-loudness.svg"
echo "meters:           $here/$out/demo-meters.jsonl   (one JSON line per 100 ms)"
echo "two-panel plot:   $here/$out/demo-meters.svg   (loudness and the bands' gain)"
