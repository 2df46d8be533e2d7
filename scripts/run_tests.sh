#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the tests twice: once as shipped, once under
# AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh --tests
jobs="$(nproc)"
export CMAKE_GENERATOR="${CMAKE_GENERATOR:-Ninja}"  # new trees: Ninja (see scripts/run.sh)

# ccache (installed with the test tools): a later run on the same machine, from any clone,
# compiles only what changed; results are keyed on the preprocessed source and the flags, so a
# cached object is the one the compiler would make. A first run costs what it did without it.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
fi

# -g1: line tables for the sanitizers' reports, without the full debug information that costs
# compile time and that nobody reads from this tree.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DONDRELL_SANITIZE=ON -DONDRELL_TESTS=ON
cmake --build build-asan -j"$jobs"
# LeakSanitizer of GCC 12 can crash at a program's exit ("Tracer caught signal 11") while it
# walks the dynamic TLS of a thread that used a library since unloaded: battery-host unloads the
# plug-in, whose clock keeps a thread-local cache, before it ends. Without thread-local storage
# as a root the check has fewer roots, so it can only find more leaks, never fewer; the block
# glibc keeps for the unloaded library is on LeakSanitizer's own suppression list, and the list
# of suppressions used is not printed (tests read the programs' last lines).
LSAN_OPTIONS="use_tls=0:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# build/ may have been made without the tests by scripts/run.sh or scripts/build.sh.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRELL_TESTS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The controller target: armel cross-build, the same tests under qemu-arm, the armel package.
bash scripts/armel.sh

# Instruction, allocation, memory and size budgets, measured in the shipped build/ (-O2); the
# armel library just built is held to its size budget too.
bash scripts/budgets.sh --armel-lib build-armel/ondrell_20.so --build build
