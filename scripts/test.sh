#!/usr/bin/env bash
# Fresh machine to passing tests: install, build, run every check.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=2

stage() { printf '\n==== %s ====\n' "$*"; }

stage "build and unit tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j$jobs
ctest --test-dir build --output-on-failure -j$jobs

stage "driver image for Windows XP"
bash scripts/check_image.sh
