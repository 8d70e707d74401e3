#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build, tests, benchmarks and fuzzing need,
# and the readers the tests check our pcap, VCD and SVG output with;
# packages already present are left alone so that no network is needed then.
set -euo pipefail
packages=(cmake make g++ clang clang-format libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev nlohmann-json3-dev
  tshark libpcap-dev tcpdump sigrok-cli gtkwave librsvg2-bin libxml2-utils pkg-config dpkg-dev
  debhelper dh-python lintian python3 python3-dev pybind11-dev python3-pybind11 python3-pytest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
