#!/usr/bin/env bash
# The main job: installs what is missing, builds the plug-in and the reference host, and runs
# battery-host. Without arguments it polls the built-in module simulator once a second and shows
# the live view of the string; any arguments are passed on (e.g. --port /dev/ttyUSB0).
#
#   bash scripts/run.sh --site            the shipped example site: four strings on two lines
#   bash scripts/run.sh --site FILE       a site of your own
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
# Same configuration as the tests use for build/, so that both commands share one build tree.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
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
