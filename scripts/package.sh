#!/usr/bin/env bash
# Writes dist/: the Debian package (plumbra_<version>_amd64.deb, CPack from the
# package preset's build), the Windows installers (NSIS, one per bitness), the
# Windows zips (scripts/build-windows.sh) and SHA256SUMS over them.
# Usage: scripts/package.sh [--no-windows] [--build-dir DIR]
#   --no-windows     only the Debian package
#   --build-dir DIR  build the Debian package in DIR instead of build/package
# The version is the project's (top CMakeLists.txt) with git's description of a
# commit between releases; file dates come from the commit (SOURCE_DATE_EPOCH), so
# two runs on one commit give the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

windows=1
build_dir=build/package
while [ $# -gt 0 ]; do
  case "$1" in
    --no-windows) windows=0 ;;
    --build-dir) build_dir=$2; shift ;;
    *) echo "usage: $0 [--no-windows] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ $windows = 1 ]; then scripts/setup.sh native windows package; else scripts/setup.sh native package; fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH
export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-$(command -v ccache || true)}
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)}
# The same modes whatever umask the caller has (they land in the package).
umask 022
mkdir -p dist

echo "== Debian package"
cmake --preset package -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
rm -rf "$build_dir/cpack"
(cd "$build_dir" && cpack -G DEB --config CPackConfig.cmake >/dev/null)
deb=$(cd "$build_dir/cpack" && ls plumbra_*.deb)
rm -f dist/plumbra_*.deb
cp "$build_dir/cpack/$deb" dist/
echo "package: dist/$deb"

if [ $windows = 1 ]; then
  echo "== Windows"
  scripts/build-windows.sh
  version=$(cmake -DPROJECT_VERSION="$(sed -n 's/^project(.* VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)" \
    -DSOURCE_DIR="$root" -DPRINT=1 -P cmake/PlumbraVersion.cmake 2>&1)
  for preset in win32 win64; do
    out=dist/Halvex_Plumbra-Vektis-$preset-setup.exe
    packaging/windows/make-installer.sh "$preset" "build/$preset" "$version" "$out"
    echo "installer: $out"
  done
fi

(cd dist && rm -f SHA256SUMS && sha256sum -- *.deb $( [ $windows = 1 ] && echo "*.exe *.zip") > SHA256SUMS)
echo "checksums: dist/SHA256SUMS"
