# Benchmarks as a smoke run: every benchmark runs once, briefly, on the
# native build, so that they keep building and working. Figures from runs
# this short mean little; docs/benchmarks.md gives the full runs and their
# results. No timing is asserted.
set -eu
BUILD=${ZELFX_BENCH_BUILD:-build}
JOBS=$(nproc 2>/dev/null || echo 2)
[ -f "$BUILD/build.ninja" ] || cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j "$JOBS" --target zelfx_cpu_bench zelfx_pty_bench
"$BUILD/bench/zelfx_cpu_bench" --benchmark_min_time=0.01
"$BUILD/bench/zelfx_pty_bench" --seconds 0.2 --rounds 1 --paced-singles 5 --paced-blocks 1
