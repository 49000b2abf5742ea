#!/usr/bin/env bash
# Installs what the build needs on a Debian machine, and only what is missing.
# Usage: scripts/setup.sh [native] [windows]   (default: native)
set -euo pipefail

want=("$@")
[ ${#want[@]} -eq 0 ] && want=(native)

packages=()
for w in "${want[@]}"; do
  case "$w" in
    native)
      packages+=(cmake g++ make pkg-config googletest libgtest-dev libbenchmark-dev
                 libsndfile1-dev libebur128-dev binutils) ;;
    windows)
      packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
                 binutils-mingw-w64-x86-64 googletest zip) ;;
    *) echo "setup.sh: unknown component '$w'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
