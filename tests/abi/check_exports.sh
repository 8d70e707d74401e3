#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares what a shared library exports with the list kept in abi/, so that
# an accidental export (or a lost one) fails. With --update, rewrites the
# list instead (after an intended change of the interface).
#   check_exports.sh [--update] LIBRARY LIST
set -euo pipefail
update=0
if [ "${1:-}" = --update ]; then
  update=1
  shift
fi
lib=$1
list=$2
actual=$(nm -D --defined-only --format=posix "$lib" | awk '{print $1}' | sed 's/@.*//' | LC_ALL=C sort -u)
if [ "$update" -eq 1 ]; then
  printf '%s\n' "$actual" >"$list"
  echo "check_exports: $(wc -l <"$list") symbols written to $list"
  exit 0
fi
if ! diff <(LC_ALL=C sort -u "$list") <(printf '%s\n' "$actual") >/dev/null; then
  echo "check_exports: $(basename "$lib") exports differ from $list (< only listed, > only exported):" >&2
  diff <(LC_ALL=C sort -u "$list") <(printf '%s\n' "$actual") | grep '^[<>]' | c++filt >&2 || true
  exit 1
fi
echo "check_exports: $(basename "$lib") exports exactly the $(wc -l <"$list") listed symbols"
