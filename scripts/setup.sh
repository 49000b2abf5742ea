#!/usr/bin/env bash
# Installs what the build needs on a Debian machine, and only what is missing.
# Usage: scripts/setup.sh [native] [windows] [package]   (default: native)
set -euo pipefail

want=("$@")
[ ${#want[@]} -eq 0 ] && want=(native)

packages=()
wine_packages=()
for w in "${want[@]}"; do
  case "$w" in
    native)
      # The host's tests also use real recordings from Debian (alsa-utils' voice clips,
      # sound-theme-freedesktop's Ogg Vorbis sounds), flac's metaflac to tag a FLAC, and
      # GNU parallel for the README's recipe of a batch split into separate runs. Clang
      # with its sanitizer runtimes builds the same tree as a second compiler.
      packages+=(cmake g++ clang libclang-rt-dev make pkg-config googletest libgtest-dev libbenchmark-dev
                 libsndfile1-dev libebur128-dev libsoxr-dev nlohmann-json3-dev binutils
                 alsa-utils sound-theme-freedesktop flac parallel)
      # The LV2 plug-in's headers, and the LV2 hosts and tools its tests run.
      packages+=(lv2-dev liblilv-dev lilv-utils sordi jalv jackd2 ffmpeg liquidsoap
                 gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
                 gstreamer1.0-plugins-bad)
      # Ardour, the real host of the VST 3 bundle's session test.
      packages+=(ardour)
      # The live engine's JACK client and ALSA devices, the resampler of its backup
      # files, its web server (Boost.Beast, headers only), the browser test, and
      # tmux, a terminal for its terminal view that a test can close.
      packages+=(libasound2-dev libsoxr-dev libjack-jackd2-dev
                 libboost-dev chromium chromium-driver python3-selenium tmux)
      # The Python module (for Debian's python3), its tests and its Dask cluster.
      packages+=(python3-dev pybind11-dev python3-numpy python3-pytest python3-distributed python3-soundfile)
      # The cluster test: a Slurm job array on a single-node cluster of its own.
      packages+=(slurm-wlm munge) ;;
    windows)
      # Cross compilers (their -posix variants), GoogleTest's sources to build it
      # with them, zip for the packages, and Wine (both bitnesses) to run the tests.
      # plumbra.exe takes the JSON library's headers from Debian's package as well.
      packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
                 binutils-mingw-w64-x86-64 googletest zip nlohmann-json3-dev)
      wine_packages+=(wine wine32:i386 wine64) ;;
    package)
      # The Debian package (CPack DEB with dpkg-shlibdeps, which reads binaries through
      # file), its check (lintian, man), and the Windows installers (NSIS).
      packages+=(dpkg-dev file lintian man-db groff-base nsis lilv-utils) ;;
    *) echo "setup.sh: unknown component '$w'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

missing_wine=()
for p in "${wine_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing_wine+=("$p")
done

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -gt 0 ] || [ ${#missing_wine[@]} -gt 0 ]; then
  # 32-bit Wine comes from the i386 architecture.
  if [ ${#missing_wine[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ ${#missing_wine[@]} -gt 0 ]; then
  # With its recommended packages: Wine's own support libraries and fonts.
  echo "setup: installing ${missing_wine[*]}"
  $SUDO apt-get install -y -qq "${missing_wine[@]}" >/dev/null
fi
