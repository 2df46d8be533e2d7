#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, and any more named as arguments,
# only those that are missing (apt-get as root, or through sudo).
#
#   bash scripts/install_deps.sh [package ...]
set -euo pipefail
packages=(cmake make g++ pkg-config binutils libjsoncpp-dev libboost-dev libcli11-dev libgtest-dev
          valgrind libmosquitto-dev mosquitto mosquitto-clients
          libsqlite3-dev sqlite3 python3 python3-matplotlib chromium chromium-driver
          fonts-wqy-microhei "$@")
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
