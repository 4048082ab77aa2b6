# Every test suite of the native build (unit, serial, sim, host,
# integration, soak) built and run again under AddressSanitizer and
# UndefinedBehaviorSanitizer, LeakSanitizer included. Nothing is excluded;
# only the soak runs shorter (ZELFX_SOAK_TRANSACTIONS, default 3000 here)
# since the full soak already ran in the native stage.
set -eu
JOBS=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELFX_SANITIZE=ON -DZELFX_BUILD_BENCH=OFF
cmake --build build-asan -j "$JOBS"
echo "sanitizers: test labels:" $(ctest --test-dir build-asan --print-labels | sed -n 's/^  //p')
echo "sanitizers: soak shortened to ${ZELFX_SOAK_TRANSACTIONS:=3000} transactions"
export ZELFX_SOAK_TRANSACTIONS
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 600
