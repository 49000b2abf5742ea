#!/usr/bin/env bash
# Runs a command with Wine set up headless in a throwaway prefix, then ends that
# prefix's Wine server and deletes the prefix.
# Usage: scripts/wine-env.sh <command> [args...]
#   e.g. scripts/wine-env.sh ctest --preset win32
# The prefix is a 64-bit one, which runs both 32-bit and 64-bit programs.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 <command> [args...]" >&2
  exit 2
fi
command -v wine >/dev/null || { echo "wine-env: wine is not installed (scripts/setup.sh windows)" >&2; exit 1; }

unset DISPLAY WAYLAND_DISPLAY
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/plumbra-wine.XXXXXX")
export WINEPREFIX
export WINEDEBUG=-all
# No .NET or HTML engine installers, no debugger (a crash then just exits with
# status 5 instead of dumping to standard output), no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# Create the prefix once, before anything runs in parallel in it.
wineboot -i >/dev/null 2>&1
wineserver -w

status=0
"$@" || status=$?
exit $status
