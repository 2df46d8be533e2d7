#!/usr/bin/env bash
# The tree's one formatting (.clang-format): rewrites the C++ sources in place, or with --check
# only lists the files that differ from it and fails (a test of the build runs that).
#
#   bash scripts/format.sh [--check]
#
# The class-table units under tests/class_table/ are left as written: their compile errors are
# what those checks read.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(find armel battery battery_host bench fuzz host host_framework plugin report \
  simulator soak string_device tests memcheck \( -name '*.cpp' -o -name '*.h' \) \
  -not -path 'tests/class_table/*' | sort)
if [ "${1:-}" = "--check" ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
      echo "not formatted: $f (bash scripts/format.sh)"
      bad=1
    fi
  done
  exit "$bad"
fi
clang-format -i "${files[@]}"
