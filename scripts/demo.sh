#!/usr/bin/env bash
# Fresh machine to rewritten sample: install, build, replay the bundled capture.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target nmeafilt -j2
./build/src/host/nmeafilt/nmeafilt replay
