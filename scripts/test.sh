#!/usr/bin/env bash
# Fresh machine to passing tests: install, build, run every check.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=2

stage() { printf '\n==== %s ====\n' "$*"; }

stage "layout"
bash scripts/check_format.sh

stage "driver image and installation check for Windows XP"
bash scripts/check_image.sh
# The image just checked is the one every later stage loads.
export NMEAFILT_IMAGE=$PWD/build-win/src/drv/sys/nmeafilt.sys

stage "build and unit tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNMEAFILT_IMAGE="$NMEAFILT_IMAGE" \
    >/dev/null
cmake --build build -j$jobs
ctest --test-dir build --output-on-failure -j$jobs

stage "the Debian package, unpacked and run"
bash scripts/check_package.sh build

stage "the installation check under Wine"
bash scripts/check_wine.sh build

stage "the shipped image in the stand-in"
bash scripts/check_image_run.sh "$NMEAFILT_IMAGE"

stage "static analysis: clang-tidy and cppcheck"
bash scripts/check_robustness.sh analysis

stage "sanitizers: tests under ASan+UBSan, threaded tests under TSan"
bash scripts/check_robustness.sh asan
bash scripts/check_robustness.sh tsan

stage "fuzz targets, 60 s each"
bash scripts/check_robustness.sh fuzz
