#!/usr/bin/env bash
# The plug-in's cost budgets: builds the Release configuration (-O2) in build-perf/, counts the
# instructions of each operation with callgrind, measures allocations, heap, resident memory and
# the stripped library sizes with bench/ondrell_budgets, and the history a simulated day writes
# with bench/history_day, prints the tables and exits non-zero when a figure is over its budget.
#
#   bash scripts/budgets.sh [--armel-lib PATH] [--build DIR]
#
# PATH is an ondrell_20.so built for armel; without the option build-armel/ondrell_20.so (made by
# scripts/armel.sh) is used when present, otherwise the armel size is reported as not built.
set -euo pipefail
cd "$(dirname "$0")/.."

armel_lib=""
build=build-perf
while [ $# -gt 0 ]; do
  case "$1" in
    --armel-lib) armel_lib="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    *) echo "usage: $0 [--armel-lib PATH] [--build DIR]" >&2; exit 2 ;;
  esac
done
if [ -z "$armel_lib" ]; then
  for candidate in build-armel/ondrell_20.so; do
    if [ -f "$candidate" ]; then armel_lib="$candidate"; break; fi
  done
fi

bash scripts/install_deps.sh libbenchmark-dev valgrind

# build-perf/ is a Release tree of its own. The test command passes --build build instead: its
# RelWithDebInfo flags (-O2 -g1 -DNDEBUG, or -g in a tree made before that default) make the
# same machine code as -O2 -DNDEBUG (debug information changes no instruction, and the library
# is measured stripped), so the counts are the same and the plug-in is not compiled a fourth
# time.
if [ "$build" = build-perf ]; then
  export CMAKE_GENERATOR="${CMAKE_GENERATOR:-Ninja}"  # new trees: Ninja (see scripts/run.sh)
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
    -DONDRELL_TESTS=OFF >/dev/null
else
  flags="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)"
  if [ "$flags" != RelWithDebInfo ] ||
     ! grep -Eqx 'CMAKE_CXX_FLAGS_RELWITHDEBINFO:STRING=-O2 -g1? -DNDEBUG' "$build/CMakeCache.txt"; then
    echo "budgets: $build is not a RelWithDebInfo tree with -O2 -g1 -DNDEBUG" >&2
    exit 2
  fi
fi
cmake --build "$build" -j2 --target ondrell_20 ondrell_budgets history_day

budgets="$build/bench/ondrell_budgets"
work="$build/budgets"
mkdir -p "$work"

# Instructions of one operation: callgrind collects inside ondrell_measured_loop only, and not
# inside the host framework's services; n and 2n iterations are counted and the difference
# divided by n, so that set-up drops out.
count() {  # operation iterations
  local op="$1" n="$2" total=() runs=()
  # The two counts are independent programs: run side by side, one per core.
  rm -f "$work"/callgrind."$op".*
  for k in 1 2; do
    valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$work/callgrind.$op.$k" \
      --toggle-collect=ondrell_measured_loop \
      '--toggle-collect=XQRVDevice::*' '--toggle-collect=XQRSPDevice::*' \
      '--toggle-collect=get_ttime*' \
      "$budgets" loop "$op" $((n * k)) >/dev/null 2>"$work/valgrind.$op.$k.log" &
    runs+=($!)
  done
  wait "${runs[@]}" || true  # a failed run counts nothing, said below
  for k in 1 2; do
    local file="$work/callgrind.$op.$k" ir
    ir="$(awk '/^(summary|totals):/ { print $2; exit }' "$file" 2>/dev/null)"
    if [ -z "$ir" ]; then
      echo "callgrind counted nothing for $op (see $work/valgrind.$op.$k.log)" >&2
      exit 1
    fi
    total+=("$ir")
  done
  awk -v a="${total[0]}" -v b="${total[1]}" -v n="$n" -v op="$op" \
    'BEGIN { printf "%s %.1f\n", op, (b - a) / n }'
}

instructions="$work/instructions.txt"
{
  count round 100
  count process_reply 1000
  count process_chunk 1000
  count get_cell 1000
  count get_group 1000
  count get_unsupported 100
  count init_setting 100
  count clock_new_second 1000
  count regex_reference 20
} >"$instructions"

stripped_size() {  # strip-program library
  local copy="$work/stripped.so"
  "$1" --strip-all -o "$copy" "$2"
  stat -c %s "$copy"
}

args=(--instructions "$instructions" --lib-size "$(stripped_size strip "$build/ondrell_20.so")")
if [ -n "$armel_lib" ]; then
  args+=(--armel-size "$(stripped_size arm-linux-gnueabi-strip "$armel_lib")")
fi
status=0
"$budgets" report "${args[@]}" || status=$?

# The history a site writes in a simulated day at a 1 s period (bench/history_day: real devices
# on simulated modules, the simulated time as the receive time): a float-charge day at most 2 MB
# per string, at most one commit a second for the site, the discharge hour stored at every round,
# and every lowest and highest value of the day in the rows.
history="$work/history_day.txt"
"$build/bench/history_day" --strings 4 --dir "$work" >"$history"
cat "$history"
awk '
  NR == 1 { next }
  $1 == "float" && $4 > 2000000 { print "history: float day " $4 " bytes per string, budget 2000000"; bad = 1 }
  $6 > 1 { print "history: " $1 " day " $6 " commits a second for the site, budget 1"; bad = 1 }
  $1 == "discharge" && ($7 != $8 || $8 == 0) {
    print "history: discharge hour " $7 " rows of " $8 " rounds, budget every round"; bad = 1 }
  $9 != 0 { print "history: " $1 " day: " $9 " entries dropped by the writer"; bad = 1 }
  $10 != 1 { print "history: " $1 " day: a lowest or highest value of the day is not in the rows"; bad = 1 }
  END { exit bad }' "$history" || status=1
exit "$status"
