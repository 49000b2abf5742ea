#!/usr/bin/env bash
# Sets up and builds the plug-in, and says where it is.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh native
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)"
echo "plug-in: $(pwd)/build/native/Halvex_Plumbra-Vektis.so"
