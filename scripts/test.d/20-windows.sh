# Windows: ZELFX.DLL and TORVEK.DLL cross-built for 32-bit (build-win32) and
# 64-bit hosts (build-win64) with mingw-w64; the i686 DLL's exports, imports
# and calling convention checked with objdump; the conformance suite run
# under Wine with the 64-bit build against build/sim/fxsim (Debian's wine64
# cannot run 32-bit programs). Everything through ctest, label `windows`.
set -eu
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

for target in i686:build-win32 x86_64:build-win64; do
    arch=${target%%:*}
    dir=${target#*:}
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" \
        -DZELFX_FXSIM="$ROOT/build/sim/fxsim"
    cmake --build "$dir" -j "$JOBS"
done

# A fresh Wine prefix for every run; the conformance runner boots it (once,
# which takes a while) before its first use.
rm -rf "$ROOT/build-win64/wine"

for dir in build-win32 build-win64; do
    ctest --test-dir "$dir" -L windows --output-on-failure --timeout 600
done
