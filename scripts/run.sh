#!/usr/bin/env bash
# The main job: installs what is missing, builds the plug-in and the reference host, and runs
# battery-host. Without arguments it polls the built-in module simulator once a second and shows
# the live view of the string; any arguments are passed on (e.g. --port /dev/ttyUSB0).
#
#   bash scripts/run.sh --site            the shipped example site: four strings on two lines
#   bash scripts/run.sh --site FILE       a site of your own
#   bash scripts/run.sh --discharge-test  a capacity test of the simulated string (100 Ah for
#                                         2 h at 50 A, block 7 weak) run to its end voltage in
#                                         about a minute, then the report; prints its paths
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what building and running need; the report's packages for the discharge test. The test
# tools come with scripts/run_tests.sh.
if [ "${1:-}" = "--discharge-test" ]; then
  bash scripts/install_deps.sh --report
else
  bash scripts/install_deps.sh
fi
# New build trees use Ninja: it keeps every core busy across targets, where make finishes one
# library before it starts compiling the next (battery-host's first build: 44 s against 51 s
# on two cores). A tree made earlier keeps the generator it was made with.
export CMAKE_GENERATOR="${CMAKE_GENERATOR:-Ninja}"
# Same build type as the tests use for build/, so that both commands share one build tree. A new
# tree is made without the tests (GoogleTest is a test tool); scripts/run_tests.sh adds them.
tests=()
[ -f build/CMakeCache.txt ] || tests=(-DONDRELL_TESTS=OFF)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${tests[@]+"${tests[@]}"}" > /dev/null

if [ "${1:-}" = "--discharge-test" ]; then
  cmake --build build --target battery-host battery_report -j"$(nproc)"
  out=build/discharge-test
  rm -rf "$out" && mkdir -p "$out"
  # 150 simulated seconds per real one: a round every 0.2 s is half a simulated minute, so 260
  # rounds take about a minute and cover 2 h 10 min: the string on a constant 50 A until it
  # reaches 10.5 V a block and the load trips (block 7, 80 % of the others' capacity, first),
  # 25 A more for a minute every 10 minutes for the resistance estimate, then rest.
  echo "discharge test: the simulated string on 50 A to its end voltage, block 7 weak (about 1 min)..."
  build/battery-host --history "$out/history.sqlite" --events "$out/events.jsonl" \
    --sim-discharge --sim-weak-cell 7 --sim-weak-capacity 0.8 --sim-load-step 25 \
    --sim-time-scale 150 --interval-ms 200 --rounds 260 --plain > "$out/rounds.txt"
  build/battery-report "$out/history.sqlite" --out "$(pwd)/$out/report" \
    --pdf "$(pwd)/$out/report/report.pdf" --rated-ah 100 --rated-minutes 120
  echo "$(pwd)/$out/report/report.pdf"
  exit 0
fi
cmake --build build --target battery-host -j"$(nproc)"

args=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--site" ] && { [ $# -eq 1 ] || [ "${2#--}" != "$2" ]; }; then
    args+=(--site battery_host/examples/site.example.json)
  else
    args+=("$1")
  fi
  shift
done
exec build/battery-host "${args[@]+"${args[@]}"}"
