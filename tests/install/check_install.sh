#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs a build into a fresh prefix, checks what lands there, then builds
# a consumer against it with CMake and with pkg-config and runs it against
# the installed simulator.   check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name liborwin.so -print -quit)")
[ -n "$libdir" ] || fail "liborwin.so not installed"
for lib in liborwin.so.35.21 liborwin.so.35 liborwin_c.so.34.86 liborwin_c.so.34 liborwin_c_macos.so.34.86; do
  [ -e "$libdir/$lib" ] || fail "$lib not installed"
done
for f in include/orwin/Orwin.h include/orwin/Orwin_Platform.h bin/orwin-info bin/orwin-unitsim \
         share/man/man1/orwin-info.1 share/man/man1/orwin-unitsim.1 share/man/man1/orwin-rmap.1 bin/orwin-rmap share/man/man1/orwin-capture.1 bin/orwin-capture; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
[ -z "$(find "$prefix" -name 'OrwinInternal*')" ] || fail "an internal header was installed"
! grep -rq nlohmann "$prefix/include" || fail "an installed header names the JSON library"
[ -e "$libdir/cmake/orwin/orwinConfig.cmake" ] || fail "no CMake package"
[ -e "$libdir/pkgconfig/orwin.pc" ] || fail "no orwin.pc"

"$prefix/bin/orwin-unitsim" --port 0 --family vex --links 4 >"$work/sim.out" &
sim=$!
for _ in $(seq 100); do
  grep -q 'listening on' "$work/sim.out" 2>/dev/null && break
  sleep 0.05
done
address=$(sed -n 's/.*listening on \([0-9.]*:[0-9]*\).*/\1/p' "$work/sim.out")
[ -n "$address" ] || fail "the installed simulator did not start"
"$prefix/bin/orwin-info" "$address" >/dev/null || fail "installed orwin-info failed"

bash "$source/tests/install/run_consumers.sh" "$source" "$work" "$address" "$prefix" "$libdir" >/dev/null
echo "check_install: installed tree, CMake and pkg-config consumers all fine"
