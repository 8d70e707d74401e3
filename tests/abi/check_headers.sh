#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compiles every public header included first and alone, with the warnings
# a strict user build turns into errors: C++ headers as C++17 and C++20, the
# C headers also as C99 and C11.   check_headers.sh INCLUDE_DIR CXX CC
set -euo pipefail
include=$1
cxx=$2
cc=$3
strict=(-Wall -Wextra -Wshadow -Wpedantic -Werror -fsyntax-only)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
try() { # LANGUAGE STD HEADER COMPILER
  local src=$work/alone.$1
  # A declaration after it: ISO C refuses an empty translation unit.
  printf '#include <%s>\ntypedef int orwin_header_check;\n' "$3" >"$src"
  if ! "$4" "-std=$2" "${strict[@]}" -I"$include" "$src" 2>"$work/err"; then
    echo "check_headers: $3 does not compile alone as $2:" >&2
    head -n 20 "$work/err" >&2
    failed=1
  fi
}
count=0
for path in "$include"/*.h "$include"/*.hpp; do
  header=$(basename "$path")
  for std in c++17 c++20; do try cpp "$std" "$header" "$cxx"; done
  if [ "${header##*.}" = h ] && ! grep -q "is a C++ header" "$path"; then
    for std in c99 c11; do try c "$std" "$header" "$cc"; done
  fi
  count=$((count + 1))
done
[ "$failed" -eq 0 ] || exit 1
echo "check_headers: $count public headers compile alone with strict warnings"
