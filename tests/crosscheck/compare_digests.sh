#!/usr/bin/env bash
# Compares the arithmetic of a Windows build, run under Wine, with the native
# Linux build: both print digests of the same checks (the chain's mathematics
# functions, whole renders of a generated signal), which must be equal. For each
# check that differs, both sides dump the check's values and the first
# differing lines are shown.
# Usage: compare_digests.sh <native plumbra_crosscheck> <emulator> <plumbra_crosscheck.exe>
# Exits 77 (skipped) when the native tool has not been built.
set -euo pipefail

native=$1 emulator=$2 windows=$3
if [ ! -x "$native" ]; then
  echo "native build not found ($native): build the native preset first"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$native" digest >"$work/native.txt"
"$emulator" "$windows" digest | tr -d '\r' >"$work/windows.txt"

echo "native:"; sed 's/^/  /' "$work/native.txt"
if cmp -s "$work/native.txt" "$work/windows.txt"; then
  echo "Windows build: identical bits in every check"
  exit 0
fi

echo "Windows build:"; sed 's/^/  /' "$work/windows.txt"
while read -r name digest count; do
  other=$(awk -v n="$name" '$1 == n { print $2 " " $3 }' "$work/windows.txt")
  [ "$other" = "$digest $count" ] && continue
  echo "== $name differs"
  "$native" dump "$name" >"$work/a"
  "$emulator" "$windows" dump "$name" | tr -d '\r' >"$work/b"
  ndiff=$(diff "$work/a" "$work/b" | grep -c '^<' || true)
  echo "   $ndiff of $(wc -l <"$work/a") values differ; first differences (native < > Windows):"
  diff "$work/a" "$work/b" | grep '^[<>]' | head -20 | sed 's/^/   /'
done <"$work/native.txt"
exit 1
