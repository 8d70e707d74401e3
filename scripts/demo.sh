#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job: a tour of every layer against the unit simulator on loopback.
# Each step prints a few lines; a failing step is named and ends the job with
# a non-zero status. Files go to $ORWIN_DEMO_DIR (default /tmp/orwin-tour).
#   1 unit identity with orwin-info
#   2 packets on the framed link, recorded and replayed (C interface)
#   3 raw SpaceWire packets to an echo node (object layer)
#   4 CCSDS packets from link 1 to a handler on link 2
#   5 RMAP: orwin-rmap writes, reads and merges the simulator's target memory
#   6 a capture of a recording unit to pcap with orwin-capture, read back by
#     tshark with the dissector, and the error waveforms it saved as SVG
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${ORWIN_DEMO_BUILD:-build}
out=${ORWIN_DEMO_DIR:-/tmp/orwin-tour}
mkdir -p "$out"
# Configured like the test build, so that neither changes the other's cache.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target orwin-unitsim orwin-demo orwin-info orwin-rmap spacewire-echo \
  ccsds-packets orwin-capture >/dev/null

port=${ORWIN_DEMO_PORT:-14949}
unit=127.0.0.1:$port
"$build"/unitsim/orwin-unitsim --port "$port" --family vex --links 6 --wire 1:2 --echo 3 --rmap-target 5 \
  >"$out/simulator.log" 2>&1 &
sim=$!
# A recording unit for the capture: numbered packets on every link and an
# error event with its waveform every 300 ms.
"$build"/unitsim/orwin-unitsim --port "$((port + 1))" --recording-unit TRC-8 --links 4 --traffic 5:32:50 \
  --emit-every 300 --emit waveform >"$out/recording-unit.log" 2>&1 &
recorder=$!
trap 'kill $sim $recorder 2>/dev/null; wait $sim $recorder 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
  sleep 0.1
done
echo "simulator: $(head -1 "$out/simulator.log")"

number=0
# step TITLE LINES COMMAND...: run COMMAND, show its first LINES lines.
step() {
  local title=$1 lines=$2
  shift 2
  number=$((number + 1))
  local log="$out/step$number.log"
  echo "== step $number: $title"
  if ! "$@" >"$log" 2>&1; then
    sed 's/^/   /' "$log" | tail -20
    echo "FAILED: step $number: $title (log: $log)" >&2
    exit 1
  fi
  sed 's/^/   /' "$log" | head -"$lines"
  [ "$(wc -l <"$log")" -le "$lines" ] || echo "   ... (all of it in $log)"
}

# The examples before it leave the unit's links disabled as they close:
# --enable starts link 5 again.
rmap=("$build"/tools/orwin-rmap --link 5 --key 0x20 --enable)
step "unit identity (orwin-info)" 8 "$build"/tools/orwin-info "$unit"
step "framed link: packets sent, received, recorded and replayed" 7 \
  "$build"/examples/orwin-demo "$unit" "$out/framed-link.rec"
step "SpaceWire: raw packets to the echo node on link 3" 6 "$build"/examples/spacewire-echo "$unit" 3
step "SpaceWire: CCSDS packets from link 1 to link 2" 6 "$build"/examples/ccsds-packets "$unit" 1 2
step "RMAP: write the target's memory on link 5" 2 "${rmap[@]}" "$unit" write 0x1000 "de ad be ef 01 02 03 04"
step "RMAP: read it back" 2 "${rmap[@]}" "$unit" read 0x1000 8
step "RMAP: read-modify-write under a mask" 12 "${rmap[@]}" --json "$unit" rmw 0x1000 00ff 0f0f

rm -rf "$out/waveforms" "$out"/capture*.pcap
mkdir -p "$out/waveforms"
step "capture: every link of a recording unit to pcap for 2 s (orwin-capture)" 4 \
  "$build"/tools/orwin-capture --duration 2 --waveforms "$out/waveforms" --json "127.0.0.1:$((port + 1))" \
  "$out/capture.pcap"
step "pcap read back by tshark with the orwin dissector" 6 \
  tshark -X lua_script:wireshark/orwin.lua -r "$out/capture.pcap" -c 6
svg_count() { ls "$out"/waveforms/*.svg 2>/dev/null | wc -l; }
waveforms() { [ "$(svg_count)" -gt 0 ] && ls -1 "$out"/waveforms/*.svg; }
step "error waveforms captured and drawn as SVG" 4 waveforms

echo "== all $number steps passed; files in $out (recording: framed-link.rec, capture: capture.pcap," \
  "waveforms: waveforms/)"
