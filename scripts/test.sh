#!/bin/sh
# Builds zelfx and runs every test suite: unit, serial, simulator, host and
# integration tests natively; the same suites under ASan+UBSan; the Windows
# DLLs with their conformance suite under Wine; bounded fuzzing; a smoke run
# of the benchmarks. Usage: scripts/test.sh [--quick]   (--quick: native only)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1

"$ROOT/scripts/setup.sh"

JOBS=$(nproc 2>/dev/null || echo 2)
step() { printf '\n=== %s ===\n' "$*"; }

step "native build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 300

[ "$QUICK" = 1 ] && exit 0

for stage in "$ROOT"/scripts/test.d/*.sh; do
    [ -e "$stage" ] || continue
    step "$(basename "$stage" .sh)"
    sh "$stage"
done

step "all suites passed"
