#!/usr/bin/env bash
# The installation check as it runs: its x86-64 build under wine64, on the pseudo-terminals of
# nmeafilt run and simulate from the native build, in a private Wine prefix; then the installer
# on a port's keys in a prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
build=${2:-build-win64}

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake >/dev/null
cmake --build "$build" -j2
python3 tests/wine/check_under_wine.py "$build/src/win/nmeafilt-check.exe" \
    "$native/src/host/nmeafilt/nmeafilt" "$build/tests/wine/idle_driver.sys"
version=$(sed -n 's/^project(nmeafilt VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
python3 tests/wine/setup_under_wine.py "$build/src/win/nmeafilt-setup.exe" \
    "$build/src/win/nmeafilt-check.exe" "$build/tests/wine/idle_driver.sys" "$version"
