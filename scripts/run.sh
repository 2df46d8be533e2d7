#!/usr/bin/env bash
# The main job: installs what is missing, builds the plug-in and the reference host, and runs
# battery-host. Without arguments it polls the built-in module simulator once a second and shows
# the live view of the string; any arguments are passed on (e.g. --port /dev/ttyUSB0).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
# Same configuration as the tests use for build/, so that both commands share one build tree.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build --target battery-host -j"$(nproc)"
exec build/battery-host "$@"
