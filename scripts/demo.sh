#!/usr/bin/env bash
# The main job: start the unit simulator on loopback, ask it who it is with
# orwin-info, run the demo application against it (open, send on one link,
# receive on another, record the stream and replay the recording), then send
# raw SpaceWire packets to an echo node on link 3 through the object layer,
# and CCSDS packets from link 1 to a handler on link 2.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORWIN_BUILD_TESTS=OFF -DORWIN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target orwin-unitsim orwin-demo orwin-info spacewire-echo ccsds-packets
port=${ORWIN_DEMO_PORT:-14949}
./build/unitsim/orwin-unitsim --port "$port" --family vex --links 4 --wire 1:2 --echo 3 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
  sleep 0.1
done
./build/tools/orwin-info "127.0.0.1:$port"
./build/examples/orwin-demo "127.0.0.1:$port" "${ORWIN_DEMO_RECORDING:-/tmp/orwin-demo.rec}"
./build/examples/spacewire-echo "127.0.0.1:$port" 3
./build/examples/ccsds-packets "127.0.0.1:$port" 1 2
