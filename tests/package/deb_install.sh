#!/usr/bin/env bash
# The Debian package installed with apt-get on this machine (as root: CI runs on a
# throwaway machine as root), tried as a user would, then purged: not one of its
# files may remain.
# Usage: deb_install.sh <source dir> <native build dir>
set -euo pipefail
src=$1 native=$2
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing the package needs root (CI runs as root on a throwaway machine)"; exit 77
fi
deb=$(ls "$src"/dist/plumbra_*.deb 2>/dev/null | head -1)
[ -f "$deb" ] || { echo "no package in $src/dist: scripts/package.sh --no-windows (test package_deb)"; exit 1; }
work=$(mktemp -d)
export HOME=$work  # nothing of the user's (~/.lv2) in the way
unset LV2_PATH PYTHONPATH PLUMBRA_PLUGIN
purge() { apt-get -o DPkg::Lock::Timeout=600 purge -y -qq plumbra >/dev/null 2>&1 || true; }
trap 'purge; rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

echo "== apt-get install $deb"
apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
dpkg -L plumbra | sort >"$work/files"
echo "$(wc -l <"$work/files") paths installed"

echo "== smoke"
/usr/bin/plumbra --version
project=$(sed -n 's/^project(.* VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
version=$(cmake -DPROJECT_VERSION="$project" -DSOURCE_DIR="$src" -DPRINT=1 -P "$src/cmake/PlumbraVersion.cmake" 2>&1)
[ "$(/usr/bin/plumbra --version)" = "plumbra $version" ] || fail "plumbra --version is not plumbra $version"
[ "$(dpkg-query -W -f '${Version}' plumbra)" = "$version" ] || fail "the package's version is not $version"
uri=http://halvex.example/lv2/plumbra-vektis
lv2ls | grep -x "$uri" >/dev/null || fail "lv2ls does not list $uri"
lv2info "$uri" | grep "file:///usr/lib/lv2/Halvex_Plumbra-Vektis.lv2/" >/dev/null || fail "lv2info does not find the bundle in /usr/lib/lv2"
# A demo render through the installed VST 2 library, bit for bit the build's.
vst=/usr/lib/vst/Halvex_Plumbra-Vektis.so
/usr/bin/plumbra render --demo "$work/installed.wav" --demo-length 8 --plugin "$vst" --quiet
"$native/plumbra" render --demo "$work/built.wav" --demo-length 8 --plugin "$native/Halvex_Plumbra-Vektis.so" --quiet
if cmp "$work/installed.wav" "$work/built.wav"; then echo "demo render through $vst: the build's bits"
else fail "the demo render through $vst differs from the build's"; fi
/usr/bin/plumbra info | grep "^library *$vst" >/dev/null || fail "the installed plumbra does not find $vst by itself"
/usr/bin/plumbra params --preset /etc/plumbra/live.preset >/dev/null || fail "the example preset does not load"
unit=$(grep '/plumbra-live.service$' "$work/files")
echo "service: $unit"
grep -q "^ExecStart=/usr/bin/plumbra live .*--preset /etc/plumbra/live.preset" "$unit" ||
  fail "the service does not run /usr/bin/plumbra with /etc/plumbra/live.preset"
for page in plumbra plumbra-live; do
  man -w "$page" | grep "^/usr/share/man/man1/$page.1.gz" >/dev/null || fail "man does not find $page(1)"
done
for doc in README.md changelog.gz copyright; do
  [ -f "/usr/share/doc/plumbra/$doc" ] || fail "/usr/share/doc/plumbra/$doc is missing"
done

# The VST 3 bundle and the Python module, where hosts and Debian's python3 look.
so=/usr/lib/vst3/Halvex_Plumbra-Vektis.vst3/Contents/x86_64-linux/Halvex_Plumbra-Vektis.so
[ -f "$so" ] && [ -f /usr/lib/vst3/Halvex_Plumbra-Vektis.vst3/Contents/Resources/moduleinfo.json ] &&
  echo "VST 3 bundle: $so" || fail "the VST 3 bundle is not in /usr/lib/vst3"
module=$(cd "$work" && /usr/bin/python3 -c 'import plumbra; print(plumbra.__file__)') || fail "python3 cannot import plumbra"
grep -qx "$(dirname "$module")" "$work/files" && echo "python3 imports plumbra from $module" ||
  fail "python3 imports plumbra from $module, not from the package"
/usr/bin/python3 -c 'import plumbra, numpy; p = plumbra.Processor(48000); assert p.process(numpy.zeros(4800, numpy.float32)).shape == (4800, 2)' ||
  fail "the installed Python module does not process"

echo "== apt-get purge plumbra"
apt-get -o DPkg::Lock::Timeout=600 purge -y -qq plumbra >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
left=0
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  if [ -d "$path" ] && ! [ -L "$path" ]; then
    # A folder may stay only when another package owns it or it holds others' files.
    dpkg -S "$path" >/dev/null 2>&1 || [ -n "$(ls -A "$path")" ] || { echo "left: $path/"; left=$((left + 1)); }
  else
    echo "left: $path"; left=$((left + 1))
  fi
done <"$work/files"
for d in /etc/plumbra /usr/share/doc/plumbra /usr/lib/lv2/Halvex_Plumbra-Vektis.lv2 /usr/lib/vst3/Halvex_Plumbra-Vektis.vst3; do
  [ -e "$d" ] && { echo "left: $d"; left=$((left + 1)); }
done
[ $left -eq 0 ] && echo "purged: none of the $(wc -l <"$work/files") paths remains" || fail "$left paths remain after purge"
exit $status
