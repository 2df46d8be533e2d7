#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing (apt-get as root, or through sudo):
#
#   bash scripts/install_deps.sh [--report] [--tests] [package ...]
#
#   (nothing)   what the main job needs: building the plug-in and the programs, and running
#               battery-host (its history and MQTT libraries, the sqlite3 shell for the history)
#   --report    also battery-report's (Python with matplotlib, a font with the labels' Chinese)
#   --tests     also what only the tests use (the report's included): GoogleTest, valgrind, a
#               Mosquitto broker, Chromium and its driver, poppler-utils (pdftoppm: the report
#               test renders its PDF), lintian, systemd's tools, clang-format (the
#               formatting check), ccache (the test command's compiles, cached between
#               runs). Add a tool that only a test needs to test_packages below.
#   package     any further packages (armel.sh, budgets.sh name theirs)
#
# The main job does not wait for the test tools: on a fresh machine they are most of the download.
# The Mosquitto package starts a system broker on port 1883; the tests start their own brokers
# on free loopback ports and never talk to it.
set -euo pipefail
build_packages=(cmake ninja-build g++ pkg-config binutils libjsoncpp-dev libboost-dev libcli11-dev
                libmosquitto-dev libsqlite3-dev sqlite3)
report_packages=(python3 python3-matplotlib fonts-wqy-microhei)
test_packages=(libgtest-dev valgrind mosquitto mosquitto-clients chromium chromium-driver
               poppler-utils lintian systemd clang-format ccache)
packages=("${build_packages[@]}")
for arg in "$@"; do
  case "$arg" in
    --report) packages+=("${report_packages[@]}") ;;
    --tests) packages+=("${report_packages[@]}" "${test_packages[@]}") ;;
    *) packages+=("$arg") ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # Another apt run (an unattended upgrade on a fresh machine) may hold the lock for a while.
  apt_get() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 "$@"
  }
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
fi
