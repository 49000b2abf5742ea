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

# Debian's `wine` starts the 32-bit loader whenever wine32 is installed. A kernel
# without 32-bit support cannot run it ("Exec format error"): there, 64-bit programs
# go to wine64 directly, and PLUMBRA_WINE32=0 tells the caller that no 32-bit
# program can run here.
export PLUMBRA_WINE32=1
if [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; then
  shims=$(mktemp -d "${TMPDIR:-/tmp}/plumbra-wine64.XXXXXX")
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$shims/$name"
    chmod +x "$shims/$name"
  done
  export PATH="$shims:$PATH" PLUMBRA_WINE32=0
  echo "wine-env: this kernel runs no 32-bit programs; 64-bit ones run under wine64" >&2
fi

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
  rm -rf "$WINEPREFIX" "${shims:-}"
}
trap cleanup EXIT

# Create the prefix once, before anything runs in parallel in it.
wineboot -i >/dev/null 2>&1
wineserver -w

status=0
"$@" || status=$?
exit $status
