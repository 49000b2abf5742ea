#!/usr/bin/env bash
# Makes the Windows installer of one build tree with NSIS.
# Usage: make-installer.sh win32|win64 <build tree> <version> <output .exe>
set -euo pipefail
preset=$1 build=$(realpath "$2") version=$3 out=$(realpath -m "$4")
here=$(cd "$(dirname "$0")" && pwd)
bits=${preset#win}
command -v makensis >/dev/null || { echo "make-installer: makensis is missing (apt-get install nsis)" >&2; exit 1; }
for f in Halvex_Plumbra-Vektis.dll plumbra.exe; do
  [ -f "$build/$f" ] || { echo "make-installer: $build/$f is missing (build the $preset preset)" >&2; exit 1; }
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# The DLL and program without their debug information (the export table stays),
# as in the zips; the VST 3 bundle as the build made it.
triple=i686-w64-mingw32
[ "$bits" = 64 ] && triple=x86_64-w64-mingw32
mkdir -p "$stage/build"
cp "$build/Halvex_Plumbra-Vektis.dll" "$build/plumbra.exe" "$stage/build/"
"$triple-strip" --strip-all "$stage/build/Halvex_Plumbra-Vektis.dll" "$stage/build/plumbra.exe"
if [ -d "$build/Halvex_Plumbra-Vektis.vst3/Contents" ]; then
  cp -r "$build/Halvex_Plumbra-Vektis.vst3" "$stage/build/"
fi
sed 's/$/\r/' >"$stage/README.txt" <<TEXT
Halvex_Plumbra-Vektis $version, $bits-bit: a twelve-band loudness and dynamics processor
for programme audio, as a VST 2 and a VST 3 plug-in, and plumbra.exe, the
command-line host ("plumbra.exe --help"), which finds the installed VST 2 plug-in
by itself. Remove it all in Settings, Apps (or Programs and Features).
TEXT
# Stable inputs for the same bytes from the same commit: file dates from the commit.
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
fi
makensis -V2 -DBITS="$bits" -DVERSION="$version" -DBUILD="$stage/build" -DSTAGE="$stage" \
  -DOUTFILE="$out" "$here/plumbra.nsi"
