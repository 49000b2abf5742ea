#!/usr/bin/env bash
# The version comes from one place, the project version in the top CMakeLists.txt
# (with git's description between releases): plumbra --version prints it, the
# VST 2 plug-in reports it as its vendor version and the LV2 bundle as its minor
# and micro version.
# Usage: version.sh <source dir> <plumbra> <VST 2 library> <LV2 bundle>
set -euo pipefail
src=$1 plumbra=$2 vst=$3 lv2=$4
project=$(sed -n 's/^project(.* VERSION \([0-9]*\.[0-9]*\.[0-9]*\) .*/\1/p' "$src/CMakeLists.txt")
IFS=. read -r major minor patch <<<"$project"
expected=$(cmake -DPROJECT_VERSION="$project" -DSOURCE_DIR="$src" -DPRINT=1 -P "$src/cmake/PlumbraVersion.cmake" 2>&1)
status=0
same() { if [ "$2" = "$3" ]; then echo "$1: $2"; else echo "$1: '$2', expected '$3'"; status=1; fi; }
same "plumbra --version" "$("$plumbra" --version)" "plumbra $expected"
case "$expected" in
  "$project" | "$project+git"[0-9]*.g[0-9a-f]*) ;;
  *) echo "version '$expected' is neither $project nor a build between releases"; status=1 ;;
esac
same "VST 2 vendor version" "$("$plumbra" info --plugin "$vst" | sed -n 's/^vendor version *//p')" "$((major * 10000 + minor * 100 + patch))"
ttl=$lv2/Halvex_Plumbra-Vektis.ttl
same "LV2 minor and micro version" "$(sed -n 's/.*lv2:\(minor\|micro\)Version \([0-9]*\) ;/\2/p' "$ttl" | tr '\n' .)" "$minor.$patch."
exit $status
