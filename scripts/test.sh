#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks formatting (scripts/check-format.sh), builds everything and runs
# every test: a normal build with -Werror, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, and a bounded fuzz pass. The Python package and its pytest
# suite are part of the normal pass; the sanitizer builds leave them out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

echo "== formatting"
bash scripts/check-format.sh

echo "== build and test (RelWithDebInfo)"
# The main job configures the same build directory without tests.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORWIN_BUILD_TESTS=ON -DORWIN_BUILD_BENCHMARKS=ON \
  -DORWIN_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== Debian packages: build, lintian, install, use, purge"
bash scripts/check-deb.sh

echo "== build and test under ASan+UBSan"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORWIN_SANITIZE=ON -DORWIN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j"$jobs")

echo "== threaded tests under TSan"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORWIN_SANITIZE_THREAD=ON -DORWIN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target orwin_threaded_tests
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j"$jobs" -L threaded)

echo "== bounded fuzz pass"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DORWIN_ENABLE_FUZZING=ON \
  -DORWIN_BUILD_TESTS=OFF -DORWIN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs"
(cd build-fuzz && ctest --output-on-failure -L fuzz)
