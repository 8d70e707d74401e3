#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the consumers against an installed orwin and runs them against a
# unit: with CMake (find_package(orwin), the JSON library's CMake package
# hidden, as on a machine without it) and with pkg-config, in C and C++.
#   run_consumers.sh SOURCE_DIR WORK_DIR UNIT_ADDRESS PREFIX LIBDIR
set -euo pipefail
source=$1
work=$2
address=$3
prefix=$4
libdir=$5
fail() { echo "run_consumers: $*" >&2; exit 1; }

cmake -S "$source/tests/install/consumer" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON >"$work/cmake-consumer.log" 2>&1 ||
  { cat "$work/cmake-consumer.log" >&2; fail "CMake consumer does not configure"; }
cmake --build "$work/cmake-consumer" >"$work/cmake-consumer-build.log" 2>&1 ||
  { cat "$work/cmake-consumer-build.log" >&2; fail "CMake consumer does not build"; }
"$work/cmake-consumer/consumer" "$address" || fail "CMake consumer (orwin) failed"
"$work/cmake-consumer/consumer_c" "$address" | grep -q CentOS-7 || fail "CMake consumer (orwin_c) failed"
"$work/cmake-consumer/consumer_cpp" "$address" || fail "CMake consumer (C++, orwin) failed"

export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --variable=prefix orwin)" = "$prefix" ] ||
  fail "orwin.pc names prefix '$(pkg-config --variable=prefix orwin)', not '$prefix'"
for pc in orwin orwin_c; do
  # shellcheck disable=SC2046
  cc -o "$work/pc-$pc" "$source/tests/install/consumer/consumer.c" $(pkg-config --cflags --libs "$pc")
  LD_LIBRARY_PATH=$libdir "$work/pc-$pc" "$address" || fail "pkg-config consumer ($pc) failed"
done
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/pc-cpp" "$source/tests/install/consumer/consumer.cpp" $(pkg-config --cflags --libs orwin)
LD_LIBRARY_PATH=$libdir "$work/pc-cpp" "$address" >/dev/null || fail "pkg-config consumer (C++) failed"
echo "run_consumers: CMake and pkg-config consumers, C and C++, all fine"
