#!/usr/bin/env bash
# Robustness stages: the tests under AddressSanitizer+UBSan and the threaded ones under
# ThreadSanitizer, the libFuzzer targets for a fixed time each, clang-tidy and cppcheck.
# Usage: scripts/check_robustness.sh [asan|tsan|fuzz|analysis|all] ; FUZZ_SECONDS (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=2
fuzz_seconds=${FUZZ_SECONDS:-60}

stage() { printf '\n==== %s ====\n' "$*"; }
timed() { local start=$SECONDS; "$@"; echo "($1 took $((SECONDS - start)) s)"; }

asan() {
    stage "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    # With an image (NMEAFILT_IMAGE), the loader reads it and damaged copies of it here too.
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
        -DNMEAFILT_SANITIZE=address,undefined -DNMEAFILT_IMAGE="${NMEAFILT_IMAGE:-}" >/dev/null
    # Only what the tests need; the benchmark is no use under a sanitizer.
    local targets
    targets=$(cmake --build build-asan --target help | sed -n 's/^\([a-z_]*_tests\|nmeafilt\): .*/\1/p')
    cmake --build build-asan -j$jobs --target $targets
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j$jobs
}

tsan() {
    stage "reads completed on another thread under ThreadSanitizer"
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
        -DNMEAFILT_SANITIZE=thread >/dev/null
    cmake --build build-tsan -j$jobs --target kernel_tests driver_tests
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    # The whole stand-in (its port completes on worker threads), and the driver tests that
    # complete reads, device controls or forwarded requests on another thread.
    build-tsan/tests/kernel/kernel_tests
    build-tsan/tests/driver/driver_tests \
        --gtest_filter='*Async*:*Thread*:*Concurrent*:*SecondRead*:*Held*:*Cancel*:*Pending*'
}

fuzz() {
    stage "fuzz targets, ${fuzz_seconds} s each"
    cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++ -DNMEAFILT_FUZZ=ON >/dev/null
    cmake --build build-fuzz -j$jobs --target engine_fuzz time_fuzz driver_fuzz
    for target in engine_fuzz time_fuzz driver_fuzz; do
        # New inputs go to a scratch corpus; the committed seeds stay as they are.
        local work=build-fuzz/corpus/$target
        mkdir -p "$work"
        # The engine also starts from the receiver logs, read where they are kept with their
        # licence; from their first 4 KB, the length libFuzzer chose before they came, as the
        # engine holds no more than three 512-byte buffers and longer inputs only run slower.
        local flags=() seeds=(fuzz/corpus/$target)
        if [ $target = engine_fuzz ]; then
            flags=(-max_len=4096)
            seeds+=(tests/data/corpus)
        fi
        build-fuzz/fuzz/$target -max_total_time="$fuzz_seconds" -timeout=30 -print_final_stats=1 \
            "${flags[@]}" -artifact_prefix=build-fuzz/$target- "$work" "${seeds[@]}" \
            2>build-fuzz/$target.log ||
            { tail -n 60 build-fuzz/$target.log; return 1; }
        grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss)' build-fuzz/$target.log
        grep -E '(NEW|REDUCE|pulse|INITED) +cov' build-fuzz/$target.log | tail -n 1
    done
}

analysis() {
    stage "clang-tidy and cppcheck over src/"
    # The host build's compile commands; configure one if the unit-test stage has not.
    [ -f build/compile_commands.json ] ||
        cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    local files
    files=$(sed -n 's|.*"file": "\(.*/src/[^"]*\.cpp\)".*|\1|p' build/compile_commands.json | sort -u)
    echo "$files" | xargs -n 4 -P $jobs clang-tidy -p build --quiet 2>/dev/null
    # Only our sources: the test and benchmark entries are left out of the project.
    python3 -c "import json; c = json.load(open('build/compile_commands.json')); \
json.dump([e for e in c if '/src/' in e['file']], open('build/src_compile_commands.json', 'w'))"
    cppcheck --project=build/src_compile_commands.json \
        --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
        --suppress=missingIncludeSystem -j $jobs --quiet \
        --suppress='passedByValue:*/gps_time.cpp' # the conversions take the record by value
}

what=${1:-all}
case "$what" in
    asan | tsan | fuzz | analysis) timed "$what" ;;
    all) for s in analysis asan tsan fuzz; do timed "$s"; done ;;
    *) echo "usage: $0 [asan|tsan|fuzz|analysis|all]" >&2; exit 2 ;;
esac
