#!/usr/bin/env bash
# plumbra live for a minute on a private JACK server (dummy driver, 48 kHz,
# 128 frames per period) fed two sines by jack_simple_client, then its own
# figures from the stop event: the audio callback's time per period (median,
# 99.9th percentile, largest) against the period, the engine's share of a core,
# and the xruns. Not a test: run it on a quiet machine.
#   bench/live_jack_60s.sh [build/native/plumbra] [seconds] [period]
set -euo pipefail
plumbra=${1:-build/native/plumbra}
seconds=${2:-60}
period=${3:-128}
for tool in jackd jack_wait jack_simple_client python3; do
  command -v "$tool" >/dev/null || { echo "live_jack_60s: $tool is missing" >&2; exit 2; }
done

dir=$(mktemp -d)
name=plumbra-bench-$$
export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=$name
jackd -n "$name" -d dummy -r 48000 -p "$period" >"$dir/jackd.log" 2>&1 &
jackd_pid=$!
simple_pid=
cleanup() {
  [ -n "$simple_pid" ] && kill "$simple_pid" 2>/dev/null || true
  kill "$jackd_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
jack_wait -w -t 10 >/dev/null 2>&1
jack_simple_client >/dev/null 2>&1 &
simple_pid=$!
sleep 1

"$plumbra" live --quiet --duration "$seconds" --event-log "$dir/events.log" \
  --connect-in jack_simple_client:output1,jack_simple_client:output2 --connect-out system:playback_1,system:playback_2

python3 - "$dir/events.log" "$dir/jackd.log" <<'PY'
import json, sys
events = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
stop = next(e for e in events if e["event"] == "stop")
start = next(e for e in events if e["event"] == "start")
xruns = [e for e in events if e["event"] == "xrun"]
cb = stop["callback_us"]
late = sum(1 for l in open(sys.argv[2]) if "XRun" in l or "xrun" in l.lower())
print(f"plumbra live, {start['rate']} Hz, {start['period']} frames per period ({cb['period']:.0f} us), {stop['seconds']:.1f} s, {stop['periods']} periods")
print(f"callback per period: median {cb['median']:.0f} us, 99.9th percentile {cb['p99_9']:.0f} us, largest {cb['largest']:.0f} us"
      f" ({100 * cb['largest'] / cb['period']:.0f} % of the period)")
print(f"engine CPU: {stop['engine_cpu_percent']:.1f} % of a core per stream (whole process {stop['process_cpu_percent']:.1f} %)")
after = [e for e in xruns if e["seconds"] > 1.0]
print(f"xruns reported to plumbra: {stop['xruns']} ({len(after)} after its first second); jackd's own xrun lines: {late}")
print(f"periods whose callback exceeded the period: {'none' if cb['largest'] < cb['period'] else 'some (largest exceeds it)'}")
PY
