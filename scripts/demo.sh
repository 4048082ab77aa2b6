#!/bin/sh
# Builds zelfx and runs the demo: the driver against a simulated FX PLC.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
"$ROOT/scripts/setup.sh"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
Z=build/host/zelfx
"$Z" info
"$Z" parse DD0100 --type 0
"$Z" parse XP017
"$Z" parse MB0127 --block 64
"$Z" parse DD0101 --type 4 || true
