#!/usr/bin/env bash
# The Debian package: made by scripts/package.sh, checked by lintian (no error; the
# warnings and notes are shown), its control data (dependencies of run-time
# libraries only, the conffile), and made again in another build tree from the same
# commit: byte for byte the same package.
# Usage: deb.sh <source dir>
set -euo pipefail
cd "$1"
for tool in lintian dpkg-shlibdeps file; do
  if ! command -v $tool >/dev/null && [ "$(id -u)" -ne 0 ]; then
    echo "skipped: $tool is missing (scripts/setup.sh package, as root)"; exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

t0=$(date +%s)
scripts/package.sh --no-windows >"$work/first.log" 2>&1 || { cat "$work/first.log"; exit 1; }
t1=$(date +%s)
deb=$(ls dist/plumbra_*.deb)
cp "$deb" "$work/first.deb"
echo "$deb: $(stat -c %s "$deb") bytes, made in $((t1 - t0)) s"

echo "== lintian"
lintian --info --display-info --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
if grep -q '^E: ' "$work/lintian.txt"; then echo "lintian reports errors"; status=1; fi

echo "== control"
dpkg-deb -f "$deb" Package Version Architecture Depends Section Installed-Size
depends=$(dpkg-deb -f "$deb" Depends)
case ",$depends," in *-dev[,\ \(]*) echo "depends on a development package: $depends"; status=1 ;; esac
for lib in libsndfile1 libebur128-1 libjack libasound2 libc6 libstdc++6; do
  grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib"; status=1; }
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles >"$work/conffiles"
grep -qx /etc/plumbra/live.preset "$work/conffiles" || { echo "/etc/plumbra/live.preset is not a conffile"; status=1; }

echo "== files"
dpkg-deb -c "$deb" | awk '{ print $1, $2, $6, $7, $8 }'
# Owned by root, one date for every entry (the commit's).
dates=$(dpkg-deb -c "$deb" | awk '{ print $4, $5 }' | sort -u | wc -l)
[ "$dates" -eq 1 ] || { echo "entries carry $dates different dates"; status=1; }
if dpkg-deb -c "$deb" | awk '{ print $2 }' | grep -vqx root/root; then echo "entries not owned by root"; status=1; fi

echo "== a second build of the same commit, in another build tree"
scripts/package.sh --no-windows --build-dir build/package-again >"$work/second.log" 2>&1 || { cat "$work/second.log"; exit 1; }
if cmp "$work/first.deb" "$deb"; then
  echo "byte-identical: $(sha256sum <"$deb" | cut -c1-64)"
else
  echo "the second build differs"; status=1
  mkdir "$work/a" "$work/b"
  dpkg-deb -R "$work/first.deb" "$work/a"; dpkg-deb -R "$deb" "$work/b"
  diff -r "$work/a" "$work/b" | head -20 || true
  cp "$work/first.deb" "${deb%.deb}.first-build.deb"
fi
exit $status
