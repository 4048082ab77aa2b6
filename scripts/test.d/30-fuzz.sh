# Bounded fuzzing: the libFuzzer targets, built with clang under ASan and
# UBSan, each run for ZELFX_FUZZ_SECONDS (default 60) from its seed corpus
# and kept regression inputs. Any finding fails the stage; the input that
# caused it is left in build-fuzz/artifacts/.
set -eu
JOBS=$(nproc 2>/dev/null || echo 2)
SECONDS_EACH=${ZELFX_FUZZ_SECONDS:-60}

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZELFX_BUILD_FUZZ=ON -DZELFX_SANITIZE=ON \
    -DZELFX_BUILD_TESTS=OFF -DZELFX_BUILD_TOOLS=OFF -DZELFX_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$JOBS" --target fuzz_gate fuzz_link

mkdir -p build-fuzz/artifacts
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Both targets at once, one per core. New inputs worth keeping go to the
# first corpus directory; the kept regressions join the seeds when there are
# any.
for target in gate link; do
    mkdir -p "build-fuzz/corpus/$target"
    set -- "build-fuzz/corpus/$target" "fuzz/corpus/$target"
    [ -d "fuzz/regressions/$target" ] && set -- "$@" "fuzz/regressions/$target"
    build-fuzz/fuzz/fuzz_$target -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" "$@" \
        >"build-fuzz/fuzz_$target.log" 2>&1 &
    eval "pid_$target=$!"
done

status=0
for target in gate link; do
    echo "--- fuzz_$target"
    if eval "wait \$pid_$target"; then
        grep -a -E "^(Done|stat::)" "build-fuzz/fuzz_$target.log" || true
    else
        status=1
        tail -n 40 "build-fuzz/fuzz_$target.log"
    fi
done
if [ "$status" != 0 ]; then
    echo "fuzzing failed; logs in build-fuzz/fuzz_*.log, inputs in build-fuzz/artifacts/" >&2
    exit 1
fi
