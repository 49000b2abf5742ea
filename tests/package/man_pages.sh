#!/usr/bin/env bash
# The manual pages as man shows them: no warning from man or groff at the width of
# a terminal, and every option --help shows (plumbra --help, plumbra live --help)
# on its page, with the page's version plumbra's own.
# Usage: man_pages.sh <plumbra> <folder of plumbra.1 and plumbra-live.1>
set -euo pipefail
plumbra=$1 dir=$2
command -v man >/dev/null || { echo "man is not installed (scripts/setup.sh package)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
version=$("$plumbra" --version | sed 's/^plumbra //')
check() {
  local page=$1; shift
  for width in 80 60; do
    MANWIDTH=$width MAN_KEEP_FORMATTING= man --warnings=w -E UTF-8 -l "$dir/$page" >"$work/page.txt" 2>"$work/warnings.txt" || {
      echo "$page: man failed"; status=1; }
    if [ -s "$work/warnings.txt" ]; then
      echo "$page at $width columns: warnings:"; cat "$work/warnings.txt"; status=1
    fi
  done
  # The rendered page in plain text, hyphens as written (man's minus signs and hyphens alike).
  col -b <"$work/page.txt" | sed 's/‐/-/g; s/−/-/g' | tr -s ' \n' ' ' >"$work/plain.txt"
  grep -qF "plumbra $version" "$work/plain.txt" || { echo "$page: version $version missing"; status=1; }
  # Every option of --help: long ones (--name) and one-letter ones (-j, -o) standing as options.
  local options
  options=$("$plumbra" "$@" --help | grep -oE '(^|[ ,[(|])--?[a-zA-Z][a-zA-Z0-9-]*' | sed 's/^[ ,[(|]//' | sort -u)
  local n=0
  for o in $options; do
    n=$((n + 1))
    grep -qE -- "(^|[^a-zA-Z0-9-])$o([^a-zA-Z0-9-]|$)" "$work/plain.txt" || { echo "$page: $o of --help missing"; status=1; }
  done
  echo "$page: $n options of --help looked for; man --warnings=w at 80 and 60 columns"
  [ "$n" -gt 5 ] || { echo "$page: too few options read from --help"; status=1; }
}
check plumbra.1
check plumbra-live.1 live
exit $status
