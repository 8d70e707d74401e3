#!/usr/bin/env bash
# The main job: start the unit simulator on loopback, ask it who it is with
# orwin-info, read and write its RMAP target node with orwin-rmap, run the
# demo application against it (open, send on one link, receive on another,
# record the stream and replay the recording), then send raw SpaceWire packets
# to an echo node on link 3 through the object layer, and CCSDS packets from
# link 1 to a handler on link 2.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORWIN_BUILD_TESTS=OFF -DORWIN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target orwin-unitsim orwin-demo orwin-info orwin-rmap spacewire-echo ccsds-packets
port=${ORWIN_DEMO_PORT:-14949}
./build/unitsim/orwin-unitsim --port "$port" --family vex --links 6 --wire 1:2 --echo 3 --rmap-target 5 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
  sleep 0.1
done
./build/tools/orwin-info "127.0.0.1:$port"
# RMAP against the simulator's target node on link 5: write, read back, merge under a mask.
./build/tools/orwin-rmap --link 5 --key 0x20 "127.0.0.1:$port" write 0x1000 "de ad be ef 01 02 03 04"
./build/tools/orwin-rmap --link 5 --key 0x20 "127.0.0.1:$port" read 0x1000 8
./build/tools/orwin-rmap --link 5 --key 0x20 --json "127.0.0.1:$port" rmw 0x1000 00ff 0f0f
./build/examples/orwin-demo "127.0.0.1:$port" "${ORWIN_DEMO_RECORDING:-/tmp/orwin-demo.rec}"
./build/examples/spacewire-echo "127.0.0.1:$port" 3
./build/examples/ccsds-packets "127.0.0.1:$port" 1 2
