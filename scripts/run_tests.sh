#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the tests twice: once as shipped, once under
# AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh poppler-utils  # pdftoppm: the report test renders its PDF
jobs="$(nproc)"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DONDRELL_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The controller target: armel cross-build, the same tests under qemu-arm, the armel package.
bash scripts/armel.sh

# Instruction, allocation, memory and size budgets (Release build in build-perf/); the armel
# library just built is held to its size budget too.
bash scripts/budgets.sh --armel-lib build-armel/ondrell_20.so
