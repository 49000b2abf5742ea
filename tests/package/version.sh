#!/usr/bin/env bash
# The version comes from one place, the project version in the top CMakeLists.txt
# (with git's description between releases): plumbra --version prints it, the
# LV2 bundle gives it as its minor and micro version and the VST 3 bundle in its
# module information. The VST 2 plug-in's vendor version stays 0, as hosts have
# always been told.
# Usage: version.sh <source dir> <plumbra> <VST 2 library> <LV2 bundle> <VST 3 bundle>
set -euo pipefail
src=$1 plumbra=$2 vst=$3 lv2=$4 vst3=$5
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
same "VST 2 vendor version" "$("$plumbra" info --plugin "$vst" | sed -n 's/^vendor version *//p')" "0"
ttl=$lv2/Halvex_Plumbra-Vektis.ttl
same "LV2 minor and micro version" "$(sed -n 's/.*lv2:\(minor\|micro\)Version \([0-9]*\) ;/\2/p' "$ttl" | tr '\n' .)" "$minor.$patch."
same "VST 3 module version" "$(sed -n 's/.*"Version": *"\([^"]*\)".*/\1/p' "$vst3/Contents/Resources/moduleinfo.json" | head -n 1)" \
  "$major.$minor.$patch.0"
exit $status
