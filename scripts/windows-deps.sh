#!/usr/bin/env bash
# Builds the audio libraries of the plumbra command-line host (libsndfile and
# libebur128, and libsoxr where it builds) for Windows, which Debian packages only for Linux: from Debian's
# source packages, with the project's mingw-w64 toolchains, as static libraries
# with pkg-config files in build/deps/<triple>. The toolchain files look there, so
# that the win32 and win64 presets then build plumbra.exe as well.
# Usage: scripts/windows-deps.sh [i686-w64-mingw32] [x86_64-w64-mingw32]   (default: both)
# Does nothing for a target whose libraries are already built.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

triples=("$@")
[ ${#triples[@]} -eq 0 ] && triples=(i686-w64-mingw32 x86_64-w64-mingw32)
jobs=$(nproc)
srcdir=$root/build/deps/src
stamp_version=3

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# The top folder of a tarball.
topdir() { tar tf "$1" | awk -F/ 'NR == 1 { print $1 }'; }

# Debian's source packages: libsndfile unpacked with Debian's patches applied,
# libebur128 as its upstream tarball (Debian's packaging of it is not needed).
# apt-get source needs source entries (deb-src); when the machine has none, add
# them for the same archives as its binary entries.
fetch_sources() {
  mkdir -p "$srcdir"
  cd "$srcdir"
  if ! apt-get source -qq --print-uris libsndfile1-dev libebur128-dev 2>/dev/null | grep -q .; then
    echo "windows-deps: adding Debian source entries to fetch the libraries' sources"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        $SUDO tee /etc/apt/sources.list.d/plumbra-deb-src.sources >/dev/null
    else
      grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | sed 's/^deb /deb-src /' |
        $SUDO tee /etc/apt/sources.list.d/plumbra-deb-src.list >/dev/null
    fi
    $SUDO apt-get update -qq
  fi
  sndfile_src=
  for d in libsndfile-*/; do [ -d "$d/debian" ] && sndfile_src=$srcdir/${d%/}; done
  if [ -z "$sndfile_src" ]; then
    apt-get source -qq libsndfile1-dev >/dev/null 2>&1 || true
    for d in libsndfile-*/; do [ -d "$d/debian" ] && sndfile_src=$srcdir/${d%/}; done
    [ -n "$sndfile_src" ] || { echo "windows-deps: cannot fetch libsndfile's source package" >&2; exit 1; }
  fi
  if ! ls libebur128_*.orig.tar.* >/dev/null 2>&1; then
    apt-get source -qq --tar-only libebur128-dev >/dev/null 2>&1 || true
  fi
  ls libebur128_*.orig.tar.* >/dev/null 2>&1 || { echo "windows-deps: cannot fetch libebur128's source" >&2; exit 1; }
  local t=$(ls libebur128_*.orig.tar.* | head -n 1)
  [ -d "$(topdir "$t")" ] || tar xf "$t"
  ebur128_src=$srcdir/$(topdir "$t")
  # libsoxr (the loudness meter's resampler for rates below 44.1 kHz) is optional:
  # without it plumbra.exe measures those rates at their own rate.
  soxr_src=
  if ! ls libsoxr_*.orig.tar.* >/dev/null 2>&1; then
    apt-get source -qq --tar-only libsoxr-dev >/dev/null 2>&1 || true
  fi
  if ls libsoxr_*.orig.tar.* >/dev/null 2>&1; then
    t=$(ls libsoxr_*.orig.tar.* | head -n 1)
    [ -d "$(topdir "$t")" ] || tar xf "$t"
    soxr_src=$srcdir/$(topdir "$t")
  else
    echo "windows-deps: libsoxr's source not found; plumbra.exe will measure low rates at their own rate" >&2
  fi
  cd "$root"
}

# Runs one build step with its output in the log, shown only if the step fails.
run() {
  "$@" >>"$log" 2>&1 || { tail -40 "$log" >&2; echo "windows-deps: failed: $*" >&2; exit 1; }
}

build_for() {
  local triple=$1
  local prefix=$root/build/deps/$triple
  local stamp=$prefix/.built-$stamp_version
  [ -f "$stamp" ] && return 0
  [ -n "${sndfile_src:-}" ] || fetch_sources
  echo "== windows-deps: libsndfile and libebur128 for $triple"
  local toolchain=$root/cmake/toolchain-$triple.cmake
  # The same floating-point settings as the plug-in: sample conversions in the
  # host must round the same way on every build.
  local cflags="-O2 -ffp-contract=off"
  [ "${triple%%-*}" = i686 ] && cflags="$cflags -msse2 -mfpmath=sse"
  local common=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
                -DCMAKE_C_FLAGS="$cflags" -DCMAKE_INSTALL_PREFIX="$prefix"
                -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF)
  local work=$root/build/deps/work-$triple
  rm -rf "$work" "$prefix"
  mkdir -p "$work"
  log=$work/build.log

  run cmake -Wno-dev -Wno-deprecated -S "$sndfile_src" -B "$work/sndfile" "${common[@]}" \
    -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_TESTING=OFF -DBUILD_REGTEST=OFF -DENABLE_CPACK=OFF -DENABLE_PACKAGE_CONFIG=OFF \
    -DINSTALL_PKGCONFIG_MODULE=ON -DINSTALL_MANPAGES=OFF
  run cmake --build "$work/sndfile" -j"$jobs"
  run cmake --install "$work/sndfile"

  run cmake -Wno-dev -Wno-deprecated -S "$ebur128_src" -B "$work/ebur128" "${common[@]}" \
    -DENABLE_INTERNAL_QUEUE_H=ON
  run cmake --build "$work/ebur128" -j"$jobs" --target ebur128
  cmake --install "$work/ebur128" >>"$log" 2>&1 || {
    # Its install rule also lists the test programs; install the library by hand.
    mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
    cp "$ebur128_src/ebur128/ebur128.h" "$prefix/include/"
    cp "$work/ebur128/libebur128.a" "$prefix/lib/"
    cp "$work/ebur128/ebur128/libebur128.pc" "$prefix/lib/pkgconfig/"
  }
  [ -f "$prefix/lib/pkgconfig/sndfile.pc" ] && [ -f "$prefix/lib/pkgconfig/libebur128.pc" ] || {
    echo "windows-deps: pkg-config files missing in $prefix" >&2; exit 1; }

  # Optional: a failure leaves plumbra.exe without it (see above), not without the rest.
  if [ -n "${soxr_src:-}" ]; then
    if cmake -Wno-dev -Wno-deprecated -S "$soxr_src" -B "$work/soxr" "${common[@]}" -DWITH_OPENMP=OFF \
         -DWITH_LSR_BINDINGS=OFF -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_AVFFT=OFF >>"$log" 2>&1 &&
       cmake --build "$work/soxr" -j"$jobs" >>"$log" 2>&1 && cmake --install "$work/soxr" >>"$log" 2>&1 &&
       [ -f "$prefix/lib/libsoxr.a" ]; then
      # Its static build installs no pkg-config file; the host finds it through one.
      [ -f "$prefix/lib/pkgconfig/soxr.pc" ] || cat > "$prefix/lib/pkgconfig/soxr.pc" <<PC
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: soxr
Description: High quality, one-dimensional sample-rate conversion library
Version: 0.1.3
Libs: -L\${libdir} -lsoxr
Cflags: -I\${includedir}
PC
      echo "== windows-deps: libsoxr for $triple"
    else
      cp "$log" "$prefix/soxr-build.log"
      echo "windows-deps: libsoxr did not build for $triple (see $prefix/soxr-build.log);" \
           "plumbra.exe will measure low rates at their own rate" >&2
      rm -f "$prefix/lib/pkgconfig/soxr.pc"
    fi
  fi
  rm -rf "$work"
  touch "$stamp"
}

for triple in "${triples[@]}"; do
  build_for "$triple"
done
