#!/usr/bin/env bash
# Makes the Debian package from a build, installs it with apt, runs a tool
# from it and removes it again, checking that nothing is left behind.
#   check-deb.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if ! sudo -n true 2>/dev/null; then
    echo "check-deb: needs root or sudo for apt; skipped"
    exit 0
  fi
  SUDO="sudo"
fi
(cd "$build" && rm -f orwin_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/orwin_*.deb)
apt=($SUDO env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=120)
if dpkg-query -W -f='${Status}' orwin 2>/dev/null | grep -q "install ok installed"; then
  echo "check-deb: a package orwin is already installed; left alone, check skipped"
  exit 0
fi
trap '"${apt[@]}" remove orwin >/dev/null 2>&1 || true' EXIT
"${apt[@]}" install "$(realpath "$deb")" >/dev/null
files=$(dpkg-query -L orwin)
/usr/bin/orwin-info --help | grep -q "usage: orwin-info"
/usr/bin/orwin-unitsim --version | grep -q "35.21"
pkg-config --exists orwin
if [ -d /usr/lib/python3/dist-packages/orwin ]; then
  (cd / && /usr/bin/python3 -c "import orwin; assert orwin.__version__ == '35.21'")
fi
"${apt[@]}" remove orwin >/dev/null
trap - EXIT
if dpkg-query -W -f='${Status}' orwin 2>/dev/null | grep -q "install ok installed"; then
  echo "check-deb: orwin still installed after removal" >&2
  exit 1
fi
left=$(for f in $files; do [ -f "$f" ] && echo "$f"; done || true)
if [ -n "$left" ]; then
  echo "check-deb: left behind after removal:" $left >&2
  exit 1
fi
echo "check-deb: $(basename "$deb") installs, runs and removes cleanly"
