#!/bin/sh
# Installs the Debian packages that building and testing zelfx needs.
# Idempotent: only missing packages are installed.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config clang-14 clang-format \
libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev \
nlohmann-json3-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64 socat"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    SUDO=""
    if [ "$(id -u)" != "0" ]; then SUDO="sudo"; fi
    echo "setup: installing$missing" >&2
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
    # shellcheck disable=SC2086
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
fi
