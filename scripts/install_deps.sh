#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need (only those that are missing).
set -euo pipefail
packages=(cmake make g++ pkg-config binutils libjsoncpp-dev libboost-dev libgtest-dev valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
