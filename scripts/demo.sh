#!/bin/sh
# Builds zelfx and runs the demo: the driver, loaded by the zelfx host,
# reads and writes a simulated FX PLC (fxsim) on a pseudo-terminal.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
"$ROOT/scripts/setup.sh"
echo "building (first time: a minute or two)..." >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
exec build/host/zelfx demo "$@"
