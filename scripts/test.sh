#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the release build: unit, end-to-end, tool and install tests, the reference vectors;
#   2. an AddressSanitizer + UndefinedBehaviorSanitizer build running the whole test suite;
#   3. a ThreadSanitizer build running the concurrent-reading tests;
#   4. a clang build of the libFuzzer targets, each run for a bounded time on its seeds;
#   5. the web viewer: its WebAssembly build against the native library in Node and in Chromium.
# Any failure or sanitizer finding fails the run. PQZ2_QUICK=1 runs only the first stage.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${PQZ2_BUILD_DIR:-$root/build}
jobs=$(nproc)
fuzz_seconds=${PQZ2_FUZZ_SECONDS:-45}

stage() { printf '\n=== %s ===\n' "$*"; }

stage "release build and tests"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$out"
ctest --test-dir "$out" --output-on-failure -j "$jobs"
[ "${PQZ2_QUICK:-0}" = 1 ] && exit 0

stage "address and undefined-behaviour sanitizers"
cmake -S "$root" -B "$out-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPQZ2_SANITIZE=ON
cmake --build "$out-asan" --target pqz2_tests
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$out-asan/tests/pqz2_tests" --gtest_brief=1

stage "thread sanitizer"
cmake -S "$root" -B "$out-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPQZ2_TSAN=ON
cmake --build "$out-tsan" --target pqz2_tests
TSAN_OPTIONS=halt_on_error=1 "$out-tsan/tests/pqz2_tests" --gtest_filter='Threads*:*Concurrent*' \
    --gtest_brief=1

stage "fuzz targets"
CC=clang CXX=clang++ cmake -S "$root" -B "$out-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPQZ2_FUZZ=ON -DPQZ2_BUILD_TESTS=OFF -DPQZ2_BUILD_TOOLS=OFF
cmake --build "$out-fuzz"
"$out-fuzz/fuzz/make_seeds" "$out-fuzz/seeds"
for target in api pqz2api bitstream context method1 method2; do
    # No single allocation may exceed what the largest image a target can make needs (4 Mpixel
    # images through the two interfaces, 64 x 64 in the decoder families) plus a decoder object.
    malloc_limit=64
    case $target in api | pqz2api) malloc_limit=128 ;; esac
    corpus="$out-fuzz/corpus/$target"
    log="$out-fuzz/fuzz_$target.log"
    mkdir -p "$corpus" "$out-fuzz/artifacts"
    if ! ASAN_OPTIONS=detect_leaks=1 "$out-fuzz/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" \
        -rss_limit_mb=2048 -malloc_limit_mb="$malloc_limit" -timeout=30 -print_final_stats=1 \
        -artifact_prefix="$out-fuzz/artifacts/$target-" "$corpus" "$out-fuzz/seeds/$target" \
        >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz_$target found a fault (input in $out-fuzz/artifacts)"
        exit 1
    fi
    printf 'fuzz_%s: %s runs, coverage %s\n' "$target" \
        "$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')" \
        "$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$')"
done

stage "web viewer: WebAssembly build, Node and browser tests"
bash "$root/scripts/test_web.sh" "$out"
echo "all tests passed"
