#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that every tracked C and C++ source is formatted as the checked-in
# .clang-format says; lists the files that are not and fails. Fix them with
#   git ls-files -z -- <the patterns below> | xargs -0 clang-format -i
#   check-format.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "check-format: clang-format is not installed" >&2; exit 1; }
patterns=('*.c' '*.h' '*.cc' '*.cpp' '*.cxx' '*.hh' '*.hpp' '*.hxx' '*.inc')
mapfile -d '' files < <(git ls-files -z -- "${patterns[@]}")
[ "${#files[@]}" -gt 0 ] || { echo "check-format: no sources found" >&2; exit 1; }
report=$(mktemp)
trap 'rm -f "$report"' EXIT
if printf '%s\0' "${files[@]}" | xargs -0 clang-format --style=file --dry-run --Werror 2>"$report"; then
  echo "check-format: ${#files[@]} files formatted"
  exit 0
fi
# One line per file; the full diagnostics are one clang-format --dry-run away.
mapfile -t bad < <(sed -n 's/^\([^: ]*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' "$report" | sort -u)
if [ "${#bad[@]}" -eq 0 ]; then
  cat "$report" >&2
  echo "check-format: clang-format failed" >&2
  exit 1
fi
printf 'check-format: not formatted: %s\n' "${bad[@]}" >&2
echo "check-format: ${#bad[@]} of ${#files[@]} files need clang-format" >&2
exit 1
