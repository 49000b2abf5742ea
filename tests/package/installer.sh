#!/usr/bin/env bash
# The Windows installer of one build tree, made with makensis and run silently under
# Wine in a throwaway prefix of its own, twice: with the default folders, then with
# /VST2DIR= and /D=. Each time the files land where expected, Programs and Features
# lists the uninstaller, the installed plumbra.exe renders through the installed DLL
# (found by itself) bit for bit what the native build renders, and the uninstaller
# leaves the folders as they were before the install.
# Usage: installer.sh <source dir> <win32 or win64 build tree> <native build tree>
set -euo pipefail
src=$1 build=$2 native=$3
for tool in makensis wine wineboot wineserver; do
  command -v $tool >/dev/null || { echo "skipped: $tool is missing (scripts/setup.sh windows package)"; exit 77; }
done
[ -x "$native/plumbra" ] || { echo "skipped: no native build in $native to compare with"; exit 77; }
bits=64
grep -q '^CMAKE_AR:.*i686' "$build/CMakeCache.txt" && bits=32
project=$(sed -n 's/^project(.* VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
version=$(cmake -DPROJECT_VERSION="$project" -DSOURCE_DIR="$src" -DPRINT=1 -P "$src/cmake/PlumbraVersion.cmake" 2>&1)

work=$(mktemp -d "${TMPDIR:-/tmp}/plumbra-installer.XXXXXX")
"$src/packaging/windows/make-installer.sh" "win$bits" "$build" "$version" "$work/Halvex_Plumbra-Vektis-win$bits-setup.exe"
echo "installer: $(stat -c %s "$work/Halvex_Plumbra-Vektis-win$bits-setup.exe") bytes, version $version"

# Debian's wine is the 32-bit loader when wine32 is installed. A kernel that runs no
# 32-bit programs (some virtual machines) still runs the 64-bit one, wine64, directly.
wine=wine
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  if [ $bits = 64 ] && [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
  else
    echo "skipped: this machine runs no 32-bit programs, so no 32-bit Windows program under Wine"; exit 77
  fi
fi

unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX=$work/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
trap 'wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
$wine wineboot -i >/dev/null 2>&1
wineserver -w
c=$WINEPREFIX/drive_c
status=0
fail() { echo "FAIL: $*"; status=1; }
# Every file and folder outside Windows' own and the users' (temporary files) ones.
snapshot() { (cd "$c" && find . -path ./windows -prune -o -path ./users -prune -o -print | sort); }
key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Halvex_Plumbra-Vektis-win$bits"
view=/reg:$bits
pf="Program Files"; arch=x86_64-win
[ $bits = 32 ] && pf="Program Files (x86)" arch=x86-win

"$native/plumbra" render --demo "$work/native.wav" --demo-length 8 --quiet

# run <VST 2 folder as Windows has it> <program folder> [installer options...]
run() {
  local vst2=$1 prog=$2; shift 2
  local vst2_unix=$c/${vst2#C:\\} prog_unix=$c/${prog#C:\\}
  vst2_unix=${vst2_unix//\\//} prog_unix=${prog_unix//\\//}
  snapshot >"$work/before"
  echo "== setup.exe /S $*"
  $wine "$work/Halvex_Plumbra-Vektis-win$bits-setup.exe" /S "$@" || fail "setup.exe exited with $?"
  wineserver -w
  snapshot >"$work/after"
  echo "installed:"; comm -13 "$work/before" "$work/after" | sed 's/^\./  C:/'
  [ -f "$vst2_unix/Halvex_Plumbra-Vektis.dll" ] || fail "the DLL is not in $vst2"
  [ -f "$prog_unix/plumbra.exe" ] || fail "plumbra.exe is not in $prog"
  [ -f "$prog_unix/uninstall.exe" ] || fail "uninstall.exe is not in $prog"
  $wine reg query "$key" /v UninstallString $view 2>/dev/null | tr -d '\r' | grep -F "$prog\\uninstall.exe" ||
    fail "no uninstall entry $key naming $prog\\uninstall.exe"
  $wine reg query "$key" /v DisplayName $view 2>/dev/null | tr -d '\r' | grep -F "$version" || fail "the entry's name lacks $version"
  [ -f "$c/$pf/Common Files/VST3/Halvex_Plumbra-Vektis.vst3/Contents/$arch/Halvex_Plumbra-Vektis.vst3" ] ||
    fail "the VST 3 bundle is not in C:\\$pf\\Common Files\\VST3"
  # The installed program, finding the installed DLL by itself, against the native build.
  $wine "$prog_unix/plumbra.exe" render --demo "Z:$work/windows.wav" --demo-length 8 --quiet || fail "plumbra.exe render failed"
  $wine "$prog_unix/plumbra.exe" info 2>/dev/null | tr -d '\r' | grep -F "library" | grep -iF "$vst2\\Halvex_Plumbra-Vektis.dll" >/dev/null ||
    fail "plumbra.exe does not find the DLL in $vst2"
  if cmp "$work/native.wav" "$work/windows.wav"; then
    echo "render through the installed DLL: the native build's bits ($(sha256sum <"$work/windows.wav" | cut -c1-16))"
  else
    fail "the render through the installed DLL differs from the native build's"
  fi
  rm -f "$work/windows.wav"
  echo "== uninstall.exe /S"
  $wine "$prog_unix/uninstall.exe" /S || fail "uninstall.exe exited with $?"
  wineserver -w
  snapshot >"$work/removed"
  if diff "$work/before" "$work/removed"; then
    echo "uninstalled: the folders are as before"
  else
    fail "the uninstaller left or removed files (above)"
  fi
  ! $wine reg query "$key" $view >/dev/null 2>&1 || fail "the uninstall entry remains"
}

run "C:\\$pf\\VSTPlugins" "C:\\$pf\\Halvex\\Plumbra-Vektis"
run "C:\\Audio\\VST$bits" "C:\\Tools\\Plumbra" "/VST2DIR=C:\\Audio\\VST$bits" "/D=C:\\Tools\\Plumbra"
exit $status
