#!/usr/bin/env bash
# Renders the same input with the native plumbra (loading the native plug-in)
# and with a Windows plumbra.exe under Wine (loading the DLL beside it), and
# requires the same audio bits: the built-in demo programme with the default
# settings, the generated test signal with other settings and block size, and
# the same signal written as 24-bit integer samples.
# Usage: compare_renders.sh <native build dir> <emulator> <plumbra.exe>
# Exits 77 (skipped) when the native build lacks plumbra or the crosscheck tool.
set -euo pipefail

native_dir=$1 emulator=$2 windows=$3
plumbra=$native_dir/plumbra
crosscheck=$native_dir/tests/plumbra_crosscheck
for tool in "$plumbra" "$crosscheck"; do
  if [ ! -x "$tool" ]; then
    echo "native build not found ($tool): build the native preset first"
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$crosscheck" signal "$work/signal.wav" pcm16

settings=(--set "Lowpass Filter=15000" --set "Disable WRMI EQ=on" --set "DNR LPF Disable=on"
          --set "OutAGC Threshold=0" --set "Bandwidth Expansion Level=-10" --block-size 441)
status=0
# compare <name> <format> <input file or --demo> [options...]
compare() {
  local name=$1 format=$2 input=$3; shift 3
  "$plumbra" render "$input" "$work/$name-native.wav" "$@" --format "$format" --quiet
  # Windows paths for Wine: the Unix root is drive Z:.
  case "$input" in /*) input="Z:$input" ;; esac
  "$emulator" "$windows" render "$input" "Z:$work/$name-windows.wav" "$@" --format "$format" --quiet
  echo -n "$name: "
  "$crosscheck" compare "$work/$name-native.wav" "$work/$name-windows.wav" || status=1
}

compare demo float --demo
compare signal float "$work/signal.wav" "${settings[@]}"
# The same signal converted to 24-bit samples by the host's audio library.
compare signal-pcm24 pcm24 "$work/signal.wav"

# What a host sees besides audio: names, identification, the parameter table with
# its display texts (formatted by each platform's C library). Only the library's
# path may differ.
for what in info params; do
  "$plumbra" "$what" | grep -v '^library ' >"$work/$what-native.txt"
  "$emulator" "$windows" "$what" | tr -d '\r' | grep -v '^library ' >"$work/$what-windows.txt"
  if cmp -s "$work/$what-native.txt" "$work/$what-windows.txt"; then
    echo "$what: identical text"
  else
    echo "$what: differs (native < > Windows)"
    diff "$work/$what-native.txt" "$work/$what-windows.txt" | head -20 || true
    status=1
  fi
done
exit $status
