#!/usr/bin/env bash
# Builds ondrell_20.so for armel (32-bit ARM, soft float) in build-perf-armel/, only to measure
# its size: the cross compiler of crossbuild-essential-armel, JsonCpp from the armel packages
# (downloaded and unpacked inside the build folder, not installed), Boost's headers from the
# build machine (header-only parts). Prints the path of the library.
#
#   bash bench/armel/measure_size.sh && bash scripts/budgets.sh --armel-lib build-perf-armel/ondrell_20.so
set -euo pipefail
cd "$(dirname "$0")/../.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_get() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"; }
if ! dpkg-query -W -f='${Status}' crossbuild-essential-armel 2>/dev/null | grep -q "install ok installed"; then
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends crossbuild-essential-armel
fi
if ! dpkg --print-foreign-architectures | grep -qx armel; then
  $sudo dpkg --add-architecture armel
  apt_get update -qq
fi

out=build-perf-armel
root="$out/sysroot"
mkdir -p "$out/debs" "$root" "$out/include"
if [ ! -f "$root/usr/include/jsoncpp/json/json.h" ]; then
  (cd "$out/debs" && apt-get download libjsoncpp-dev:armel libjsoncpp25:armel) ||
    { apt_get update -qq && (cd "$out/debs" && apt-get download libjsoncpp-dev:armel libjsoncpp25:armel); }
  for deb in "$out"/debs/*.deb; do dpkg -x "$deb" "$root"; done
fi
ln -sfn /usr/include/boost "$out/include/boost"

# The same options as the CMake build of the plug-in (Release, -O2).
flags=(-std=c++17 -O2 -DNDEBUG -Wall -Wextra -ffp-contract=off -fPIC -fvisibility=hidden
       -fvisibility-inlines-hidden -ffunction-sections -fdata-sections -I. -I"$out/include" -I"$root/usr/include/jsoncpp")
rm -f "$out/ondrell_20.so"
objects=()
for src in battery/*.cpp string_device/*.cpp plugin/*.cpp; do
  obj="$out/obj/${src%.cpp}.o"
  mkdir -p "$(dirname "$obj")"
  arm-linux-gnueabi-g++ "${flags[@]}" -c "$src" -o "$obj"
  objects+=("$obj")
done
jsonlib="$(ls "$root"/usr/lib/arm-linux-gnueabi/libjsoncpp.so.* | head -1)"
arm-linux-gnueabi-g++ -shared -o "$out/ondrell_20.so" -Wl,-soname,ondrell_20.so \
  -Wl,-z,now -Wl,--as-needed -Wl,--gc-sections -Wl,--version-script=plugin/exports.map \
  "${objects[@]}" "$jsonlib"
echo "$out/ondrell_20.so"
