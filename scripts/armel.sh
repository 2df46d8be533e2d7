#!/usr/bin/env bash
# The controller's target: cross-builds everything for 32-bit ARM soft-float (Debian armel),
# runs the whole test suite under qemu-arm through CTest, and builds the armel Debian package.
#
# Installs what it needs when missing: the cross compiler, qemu-user, dpkg-dev, and the armel
# architecture in dpkg so that apt-get can fetch the target's JsonCpp and GoogleTest; those two
# are unpacked (never installed) into build-armel/sysroot, beside links to the build machine's
# header-only Boost and CLI11. Delete that folder to fetch them anew.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-armel
sysroot=$build/sysroot
debs=$build/debs
# JsonCpp and GoogleTest for everything; SQLite and libmosquitto (with what libmosquitto links:
# OpenSSL, cJSON) for the host's history database and MQTT output.
target_packages=(libjsoncpp25:armel libjsoncpp-dev:armel libgtest-dev:armel
                 libsqlite3-0:armel libsqlite3-dev:armel
                 libmosquitto1:armel libmosquitto-dev:armel libssl3:armel libcjson1:armel)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_get() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 "$@"
}

started=$SECONDS

# --- build machine tools -------------------------------------------------------------------
bash scripts/install_deps.sh --tests crossbuild-essential-armel qemu-user dpkg-dev file

# --- target sysroot --------------------------------------------------------------------------
# A finished sysroot carries a stamp naming the package versions it was unpacked from, and the
# list of packages asked for: a sysroot made for another list is made anew.
wanted="${target_packages[*]}"
if [ ! -f "$sysroot/.complete" ] || [ "$(cat "$sysroot/.packages" 2>/dev/null)" != "$wanted" ]; then
  rm -rf "$sysroot" "$debs"
  mkdir -p "$sysroot" "$debs"
  if ! dpkg --print-foreign-architectures | grep -qx armel; then
    $sudo dpkg --add-architecture armel
  fi
  # The armel package lists exist only after an update that knew about the architecture.
  if ! apt-cache show libjsoncpp25:armel >/dev/null 2>&1; then
    apt_get update -qq
  fi
  # As root apt warns that it downloads without its sandbox user; that is harmless here.
  (cd "$debs" && apt_get download "${target_packages[@]}")
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
  done
  # Boost is used header-only; the headers are the same for every architecture.
  ln -sfn /usr/include/boost "$sysroot/usr/include/boost"
  for deb in "$debs"/*.deb; do
    echo "$(dpkg-deb -f "$deb" Package)=$(dpkg-deb -f "$deb" Version)"
  done > "$sysroot/.complete"
  echo "$wanted" > "$sysroot/.packages"
fi
# CLI11 (bms-sim's command line) is header-only and the same for every architecture too. Linked
# here, not with Boost above, so that a sysroot finished before bms-sim needed it gets it as well.
mkdir -p "$sysroot/usr/include"
ln -sfn /usr/include/CLI "$sysroot/usr/include/CLI"
sysroot_done=$SECONDS
echo "armel sysroot: $(paste -sd' ' "$sysroot/.complete") ($((sysroot_done - started)) s)"

# --- build and test --------------------------------------------------------------------------
jobs="$(nproc)"
cmake --preset armel
cmake --build --preset armel -j"$jobs"
build_done=$SECONDS
ctest --preset armel -j"$jobs"
tests_done=$SECONDS

echo "armel: sysroot $((sysroot_done - started)) s, build $((build_done - sysroot_done)) s," \
     "tests under qemu-arm $((tests_done - build_done)) s, total $((tests_done - started)) s"
