#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Rewrites the lists of exported symbols in abi/ from a build, after an
# intended change of the public interface; review the diff before committing.
#   update-exports.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
for lib in orwin orwin_c orwin_c_macos; do
  file=$(find "$build" -name "lib$lib.so" -print -quit)
  [ -n "$file" ] || { echo "update-exports: lib$lib.so not built in $build" >&2; exit 1; }
  bash "$root/tests/abi/check_exports.sh" --update "$file" "$root/abi/lib$lib.exports"
done
