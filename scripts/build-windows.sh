#!/usr/bin/env bash
# Builds the 32-bit and 64-bit Windows plug-ins with the mingw-w64 cross compilers
# and packs each into dist/: a folder and a zip holding the VST 2 DLL, the VST 3
# bundle, the plumbra.exe command-line host (when it was built) and INSTALL.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh windows
scripts/windows-deps.sh   # the host's audio libraries, for plumbra.exe
jobs=$(nproc)
name=Halvex_Plumbra-Vektis

install_note() {
  local bits=$1
  # CRLF line ends, so that Notepad shows the lines.
  sed 's/$/\r/' <<EOF
${name} ${bits}-bit for Windows: a VST 2 audio-effect plug-in
(twelve-band loudness and dynamics processor, 2 inputs, 2 outputs)

Install
-------
Copy ${name}.dll into the folder where your host looks for VST 2 plug-ins,
then let the host rescan its plug-ins. Common folders are:

  C:\\Program Files\\VSTPlugins
  C:\\Program Files\\Steinberg\\VstPlugins
  C:\\Program Files\\Common Files\\VST2

Most hosts let you add any other folder in their plug-in settings.

A 32-bit host loads only 32-bit plug-ins and a 64-bit host only 64-bit ones:
use the win32 package for 32-bit hosts and the win64 package for 64-bit hosts.
On 64-bit Windows, 32-bit hosts usually keep their plug-ins under
C:\\Program Files (x86)\\... instead of C:\\Program Files\\...

The DLL needs no runtime libraries beyond those that come with Windows.

VST 3 hosts: copy the folder ${name}.vst3 (the whole folder) into
the VST 3 folder, where hosts find it without further settings:

  C:\\Program Files\\Common Files\\VST3            (64-bit hosts; 32-bit hosts
                                                  on 32-bit Windows)
  C:\\Program Files (x86)\\Common Files\\VST3      (32-bit hosts on 64-bit Windows)

The VST 3 plug-in is the same processor with the same parameters, plus a
bypass that passes the programme delayed by the plug-in's latency.

plumbra.exe (if present) renders audio files through the plug-in from the
command line; run "plumbra.exe --help" for its usage. Keep it next to the DLL.
EOF
}

for preset in win32 win64; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"

  bits=32 triple=i686-w64-mingw32
  [ "$preset" = win64 ] && bits=64 triple=x86_64-w64-mingw32
  pkg=dist/${name}-${preset}
  rm -rf "$pkg" "$pkg.zip"
  mkdir -p "$pkg"
  cp "build/$preset/${name}.dll" "$pkg/"
  cp -r "build/$preset/${name}.vst3" "$pkg/"
  host_exe=$(find "build/$preset" -maxdepth 2 -name plumbra.exe -print -quit)
  if [ -n "$host_exe" ]; then
    cp "$host_exe" "$pkg/"
  else
    echo "note: plumbra.exe was not built for $preset"
  fi
  # Without the debug information of the RelWithDebInfo build; the export table stays.
  for f in "$pkg"/*.dll "$pkg"/*.exe "$pkg/${name}.vst3"/Contents/*-win/*.vst3; do
    [ -f "$f" ] && "$triple-strip" --strip-all "$f"
  done
  install_note "$bits" >"$pkg/INSTALL.txt"
  (cd dist && zip -q -r "${name}-${preset}.zip" "${name}-${preset}")
  echo "package: $(pwd)/$pkg.zip ($(cd "$pkg" && ls | tr '\n' ' '))"
done
