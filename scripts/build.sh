#!/usr/bin/env bash
# Builds the plug-in, build/ondrell_20.so, and our host framework library beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
export CMAKE_GENERATOR="${CMAKE_GENERATOR:-Ninja}"  # new trees: Ninja (see scripts/run.sh)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRELL_TESTS=OFF
cmake --build build -j"$(nproc)"
echo "built: $(pwd)/build/ondrell_20.so"
