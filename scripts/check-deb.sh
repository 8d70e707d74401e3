#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from a clean checkout of HEAD with
# dpkg-buildpackage, runs lintian on them (an error fails), installs them
# with apt, builds and runs the consumers against the installed files, lets
# tshark decode a capture with the installed dissector (no -X), then purges
# the packages and checks that none of their files is left.
#   check-deb.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(liborwin35 liborwin-c34 liborwin-dev orwin-tools python3-orwin)
fail() { echo "check-deb: $*" >&2; exit 1; }
if [ "$(id -u)" -ne 0 ]; then
  echo "check-deb: needs root for apt; skipped"
  exit 0
fi
# "orwin" is the single package that earlier builds made.
for p in "${packages[@]}" orwin; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    echo "check-deb: package $p is already installed; left alone, check skipped"
    exit 0
  fi
done
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=120)

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "${apt[@]}" purge "${packages[@]}" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== Debian packages from a clean checkout"
mkdir "$work/orwin"
git -C "$root" archive --format=tar HEAD | tar -x -C "$work/orwin"
missing=$(cd "$work/orwin" && dpkg-checkbuilddeps 2>&1 | sed -n 's/.*Unmet build dependencies: //p' |
  sed 's/([^)]*)//g')
if [ -n "$missing" ]; then
  # shellcheck disable=SC2086
  "${apt[@]}" install $missing >/dev/null
fi
(cd "$work/orwin" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b \
  >"$work/build.log" 2>&1) || { tail -n 40 "$work/build.log" >&2; fail "dpkg-buildpackage failed"; }
for p in "${packages[@]}" liborwin35-dbgsym liborwin-c34-dbgsym orwin-tools-dbgsym; do
  ls "$work/${p}_"*.deb >/dev/null 2>&1 || fail "package $p was not built"
done

echo "== lintian"
lintian --fail-on error --info "$work"/orwin_*.changes || fail "lintian reports errors"

echo "== install with apt"
debs=()
for p in "${packages[@]}"; do debs+=("$(ls "$work/${p}_"*.deb)"); done
"${apt[@]}" install "${debs[@]}" >/dev/null
files=$(dpkg-query -L "${packages[@]}" | sort -u)
/usr/bin/orwin-info --help | grep -q "usage: orwin-info"
/usr/bin/orwin-unitsim --version | grep -q "$(dpkg-query -W -f='${Version}' orwin-tools)"
(cd / && /usr/bin/python3 -c "import orwin; assert orwin.__version__ == '$(dpkg-query -W -f='${Version}' python3-orwin)'") ||
  fail "the installed Python package does not import"

start_unit() { # LOG ARGS...: starts an installed simulator, prints its address
  local log=$1
  shift
  /usr/bin/orwin-unitsim --port 0 "$@" >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q 'listening on' "$log" 2>/dev/null && break
    sleep 0.05
  done
  sed -n 's/.*listening on \([0-9.]*:[0-9]*\).*/\1/p' "$log"
}

echo "== consumers against the installed packages"
unit=$(start_unit "$work/sim.log" --family vex --links 4)
[ -n "$unit" ] || fail "the installed simulator did not start"
bash "$root/tests/install/run_consumers.sh" "$root" "$work" "$unit" /usr "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"

echo "== tshark decodes a capture with the installed dissector"
recorder=$(start_unit "$work/recorder.log" --recording-unit TRC-8 --links 4 --traffic 5:32:50)
[ -n "$recorder" ] || fail "the installed recording-unit simulator did not start"
/usr/bin/orwin-capture --duration 2 --quiet "$recorder" "$work/capture.pcap" >/dev/null
decoded=$(tshark -r "$work/capture.pcap" -c 6 2>&1)
echo "$decoded"
echo "$decoded" | grep -qi "orwin" || fail "tshark did not use the installed dissector"

echo "== purge"
for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
wait 2>/dev/null || true
pids=()
"${apt[@]}" purge "${packages[@]}" >/dev/null
for p in "${packages[@]}"; do
  ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || fail "$p still installed after purge"
done
left=$(for f in $files; do [ -e "$f" ] && [ ! -d "$f" ] && echo "$f"; done || true)
[ -z "$left" ] || fail "left behind after purge: $left"
echo "check-deb: packages build, pass lintian, install, work and purge cleanly"
