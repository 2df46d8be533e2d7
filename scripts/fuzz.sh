#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan, no recovery) in build-fuzz/ and runs each
# for a while, starting from the checked-in seeds in fuzz/corpus/<target>/.
#
#   bash scripts/fuzz.sh                 every target, 60 seconds each
#   bash scripts/fuzz.sh 600 receive     one target, 10 minutes
#
# New inputs go to build-fuzz/corpus/<target>/, findings to build-fuzz/findings/<target>/ (the
# file name starts with crash-, leak- or timeout-). Replay one with
#   build-fuzz/fuzz/fuzz_<target>_replay <file>
# and turn it into a regression test in tests/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(receive settings value cache host_config)

bash scripts/install_deps.sh clang libclang-rt-14-dev

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DONDRELL_FUZZ=ON -DONDRELL_TESTS=OFF -DONDRELL_BENCHMARKS=OFF
build_targets=()
for t in "${targets[@]}"; do build_targets+=("fuzz_${t}_fuzzer" "fuzz_${t}_replay"); done
cmake --build build-fuzz -j2 --target "${build_targets[@]}"

status=0
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t" "build-fuzz/findings/$t"
  echo "== fuzz_${t}: ${seconds} s"
  # Names above 256 bytes and JSON above 16 KiB add nothing a shorter input cannot reach.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "build-fuzz/fuzz/fuzz_${t}_fuzzer" "build-fuzz/corpus/$t" "fuzz/corpus/$t" \
      -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$t/" \
      2>&1 | tee "build-fuzz/fuzz_${t}.log" | grep -E '^(#[0-9]+ +(INITED|DONE)|stat::|==|SUMMARY)' \
    || status=1
done
exit $status
