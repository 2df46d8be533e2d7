#!/usr/bin/env bash
# The main job: installs what is missing, builds the plug-in and the reference host, and runs
# battery-host. Without arguments it polls the built-in module simulator once a second and shows
# the live view of the string; any arguments are passed on (e.g. --port /dev/ttyUSB0).
#
#   bash scripts/run.sh --site            the shipped example site: four strings on two lines
#   bash scripts/run.sh --site FILE       a site of your own
#   bash scripts/run.sh --discharge-test  an hour of simulated discharge with block 7 weak, run
#                                         in about a minute, then the report; prints its path
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
# Same configuration as the tests use for build/, so that both commands share one build tree.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null

if [ "${1:-}" = "--discharge-test" ]; then
  cmake --build build --target battery-host battery_report -j"$(nproc)"
  out=build/discharge-test
  rm -rf "$out" && mkdir -p "$out"
  # A hundred simulated seconds per real one: a round every 0.6 s is a simulated minute, so 100
  # rounds take about a minute and discharge the string for 1 h 40 min.
  echo "discharge test: 100 rounds of the simulated string on load, block 7 weak (about 1 min)..."
  build/battery-host --history "$out/history.sqlite" --events "$out/events.jsonl" \
    --sim-discharge --sim-weak-cell 7 --sim-time-scale 100 --interval-ms 600 --rounds 100 \
    --plain > "$out/rounds.txt"
  build/battery-report "$out/history.sqlite" --out "$(pwd)/$out/report"
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
