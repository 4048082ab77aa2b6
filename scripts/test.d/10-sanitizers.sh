# The unit and integration suites under AddressSanitizer and UBSan.
set -eu
JOBS=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELFX_SANITIZE=ON -DZELFX_BUILD_BENCH=OFF
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 600
