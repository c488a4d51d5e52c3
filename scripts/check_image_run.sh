#!/usr/bin/env bash
# The shipped image in the kernel stand-in: the 32-bit build (stand-in, driver tests, nmeafilt)
# run under qemu-i386 with the image in place of the linked driver, then nmeafilt replay and run
# through the image against the native build's, byte for byte.
# Usage: scripts/check_image_run.sh [IMAGE]; IMAGE defaults to the one scripts/check_image.sh
# builds and checks, and the native program is taken from build/.
set -euo pipefail
cd "$(dirname "$0")/.."
image=$(realpath "${1:-build-win/src/drv/sys/nmeafilt.sys}")
native=build/src/host/nmeafilt/nmeafilt
shipped=(qemu-i386 -L /usr/i686-linux-gnu build-i386/src/host/nmeafilt/nmeafilt)

cmake -S . -B build-i386 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNMEAFILT_IMAGE="$image" >/dev/null
cmake --build build-i386 -j2
ctest --test-dir build-i386 --output-on-failure -j2
qemu-i386 -L /usr/i686-linux-gnu build-i386/tests/image/image_replay_tests \
    --gtest_filter='ImageStack.*' | grep 'deepest'

[ -x "$native" ] || cmake --build build --target nmeafilt -j2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Output, summary and commands of one capture at one chunk and read size, from both programs.
agree() {
    local capture=$1 chunk=$2 read=$3 side
    for side in native shipped; do
        local program=("$native") extra=()
        [ $side = shipped ] && program=("${shipped[@]}") && extra=(--image "$image")
        "${program[@]}" replay "${extra[@]}" --chunk "$chunk" --read-size "$read" \
            --commands "$work/$side.cmd" "$capture" >"$work/$side.out" 2>"$work/$side.err"
    done
    for part in out err cmd; do
        cmp -s "$work/native.$part" "$work/shipped.$part" || {
            echo "replay of $capture at chunk $chunk, read $read: the image's $part differs" >&2
            diff <(od -c "$work/native.$part") <(od -c "$work/shipped.$part") | head -n 20 >&2
            return 1
        }
    done
    rm -f "$work"/*.cmd
}
runs=0
for capture in samples/receiver-sample.nmea tests/data/corpus/*.log; do
    for chunk in 1 7 96; do
        for read in 1 13 4096; do
            agree "$capture" "$chunk" "$read"
            runs=$((runs + 1))
        done
    done
done
echo "replay through the image: the native program's bytes in all $runs runs"

# run, with the sample as a device read to its end.
"$native" run --port samples/receiver-sample.nmea - >"$work/native.out" 2>"$work/native.err"
"${shipped[@]}" run --image "$image" --port samples/receiver-sample.nmea - \
    >"$work/shipped.out" 2>"$work/shipped.err"
cmp "$work/native.out" "$work/shipped.out" && cmp "$work/native.err" "$work/shipped.err"
echo "run through the image: the native program's bytes"
