#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the release build: unit, end-to-end, tool and install tests, the reference vectors, the
#      desktop integrations (gdk-pixbuf loader, Qt plug-in, thumbnailer, MIME type);
#   2. an AddressSanitizer + UndefinedBehaviorSanitizer build running the whole test suite;
#   3. a ThreadSanitizer build running the concurrent-reading tests (the library on several
#      threads, and the converter on several threads as a process of that build);
#   4. a clang build of the libFuzzer targets, each run for a bounded time on its seeds;
#   5. the Python package: installed with its library, its tests run by the system Python.
#   6. a build with PQZ2_PORTABLE=ON (plain code, no vector intrinsics, no control register)
#      running the reference vectors and the coding method 2 tests;
#   7. a cross build for 64-bit ARM (g++-aarch64-linux-gnu, installed with apt-get) running the
#      unit tests, the reference vectors and the round trips under qemu-user.
#   8. the web viewer: its WebAssembly build against the native library in Node and in Chromium.
# Any failure or sanitizer finding fails the run. PQZ2_QUICK=1 runs only the first stage.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${PQZ2_BUILD_DIR:-$root/build}
jobs=$(nproc)
fuzz_seconds=${PQZ2_FUZZ_SECONDS:-45}

stage() { printf '\n=== %s ===\n' "$*"; }

# --- desktop integrations ----------------------------------------------------------------------
# The gdk-pixbuf loader and the Qt image plug-in are built and tested (desktop_* in ctest, about
# a minute) in the release stage. Their packages are installed here when missing (as root, as CI
# runs); the build then requires them. PQZ2_NO_DESKTOP=1 leaves the integrations to whatever is
# installed.
desktop_packages=(pkg-config libgdk-pixbuf-2.0-dev libgdk-pixbuf2.0-bin qt6-base-dev
                  shared-mime-info libglib2.0-bin)
desktop_required=ON
install_desktop_packages() {
    local missing=() package
    for package in "${desktop_packages[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    stage "desktop integration packages: ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages; install them as root: apt-get install ${missing[*]}"
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
if [ "${PQZ2_NO_DESKTOP:-0}" = 1 ]; then
    desktop_required=OFF
else
    install_desktop_packages
fi
# --- end of desktop integrations -------------------------------------------------------------

stage "release build and tests"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPQZ2_DESKTOP_REQUIRED="$desktop_required"
cmake --build "$out"
ctest --test-dir "$out" --output-on-failure -j "$jobs"
[ "${PQZ2_QUICK:-0}" = 1 ] && exit 0

stage "address and undefined-behaviour sanitizers"
cmake -S "$root" -B "$out-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPQZ2_SANITIZE=ON
cmake --build "$out-asan" --target pqz2_tests
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$out-asan/tests/pqz2_tests" --gtest_brief=1
# Desktop integrations: the loader and the Qt plug-in in programs of this build (about a minute).
if [ "$desktop_required" = ON ]; then
    cmake --build "$out-asan" --target pqz2_pixbuf_test pqz2_qt_test pqz2_pixbuf_cache pqz2_test_mime
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$out-asan" --output-on-failure -R '^desktop_(pixbuf|qt)$'
fi

stage "thread sanitizer"
cmake -S "$root" -B "$out-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPQZ2_TSAN=ON
cmake --build "$out-tsan" --target pqz2_tests
TSAN_OPTIONS=halt_on_error=1 "$out-tsan/tests/pqz2_tests" --gtest_filter='Threads*:*Concurrent*' \
    --gtest_brief=1

stage "fuzz targets"
CC=clang CXX=clang++ cmake -S "$root" -B "$out-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPQZ2_FUZZ=ON -DPQZ2_BUILD_TESTS=OFF
cmake --build "$out-fuzz"
"$out-fuzz/fuzz/make_seeds" "$out-fuzz/seeds"
for target in api pqz2api salvage bitstream context method1 method2; do
    # No single allocation may exceed what the largest image a target can make needs (4 Mpixel
    # images through the two interfaces, 64 x 64 in the decoder families) plus a decoder object.
    malloc_limit=64
    case $target in api | pqz2api | salvage) malloc_limit=128 ;; esac
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
stage "portable build: plain code, no control register"
cmake -S "$root" -B "$out-portable" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPQZ2_PORTABLE=ON
cmake --build "$out-portable" --target pqz2_tests
"$out-portable/tests/pqz2_tests" --gtest_filter='*Vector*:Method2*:BitStreamCodes*:*EndToEnd*:*RoundTrip*' \
    --gtest_brief=1

stage "64-bit ARM: cross build, tests under qemu-user"
# Everything but the tests that start programs of the build (the emulator runs only the test
# program itself) and the concurrency and damage walks, which the release stage covers.
arm_filter='-Demo*:Library*:Pqzconvert*:Threads*:*Concurrent*:Damage*'
arm_ready() {
    command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null &&
        [ -f /usr/src/googletest/CMakeLists.txt ] && dpkg -s libpng-dev:arm64 >/dev/null 2>&1
}
if ! arm_ready && command -v apt-get >/dev/null; then
    sudo=
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo dpkg --add-architecture arm64
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq g++-aarch64-linux-gnu qemu-user \
        googletest libpng-dev:arm64
fi
if arm_ready; then
    cmake -S "$root" -B "$out-arm64" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
    cmake --build "$out-arm64" --target pqz2_tests
    # Two halves of the tests side by side, one emulator each.
    pids=()
    for shard in 0 1; do
        GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard QEMU_LD_PREFIX=/usr/aarch64-linux-gnu \
            qemu-aarch64 "$out-arm64/tests/pqz2_tests" --gtest_filter="$arm_filter" \
            --gtest_brief=1 >"$out-arm64/tests_$shard.log" 2>&1 &
        pids+=($!)
    done
    arm_status=0
    for shard in 0 1; do
        wait "${pids[$shard]}" || arm_status=1
        cat "$out-arm64/tests_$shard.log"
    done
    [ "$arm_status" = 0 ] || { echo "aarch64 tests failed"; exit 1; }
else
    echo "no apt-get here to install the ARM cross compiler and qemu-user: stage skipped"
fi
# --- Python package (scripts/test_python.sh) ---
stage "python package"
bash "$root/scripts/test_python.sh" "$out"
# --- end of Python package ---

stage "web viewer: WebAssembly build, Node and browser tests"
bash "$root/scripts/test_web.sh" "$out"
echo "all tests passed"
