#!/usr/bin/env bash
# Differential check of two builds' decoders: decodes the same PQZ files with the library of
# each build and compares every decoded byte and every status.
#
#   scripts/diff_builds.sh [-i INPUTS] BASE NEW
#
# BASE and NEW are build folders (their libpqz2.so is used; nothing in them is rebuilt or
# changed) or git commits of this repository, which are checked out into a temporary folder
# and built there (the library only, a minute or two). The inputs: the benchmark photos coded
# by every coding method (lossless, and methods 1 and 2 near-lossless), written by
# pqz2_bench_inputs (of NEW, else of build/ in this tree) into a temporary folder, plus the reference vectors of
# tests/data/vectors (damaged files included); -i INPUTS takes the .pqz files of a folder
# instead. Each file is decoded in the stored layout and as RGBA by web/native/pqz2_dump,
# compiled against each build's own library and header. Exit status 0 when every file decodes
# alike, 1 when any differs (each is named), 2 for a usage or build problem. PQZ2_DIFF_DIR keeps
# the work folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
inputs=
while getopts "i:" opt; do
    case $opt in
    i) inputs=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [ $# -ne 2 ]; then
    echo "usage: $0 [-i INPUTS] BASE NEW   (build folders or git commits)" >&2
    exit 2
fi
work=${PQZ2_DIFF_DIR:-}
if [ -z "$work" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"

# A build folder for $1 (a folder, or a commit built under $work/$2); its path on stdout.
build_of() {
    if [ -d "$1" ]; then
        (cd "$1" && pwd)
        return
    fi
    local src=$work/$2-src out=$work/$2-build
    rm -rf "$src" && mkdir -p "$src"
    git -C "$root" archive "$1" | tar -x -C "$src"
    cmake -S "$src" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPQZ2_BUILD_TESTS=OFF \
        -DPQZ2_BUILD_TOOLS=OFF >"$work/$2-cmake.log" 2>&1
    ninja -C "$out" -j2 pqz2 >"$work/$2-ninja.log" 2>&1 || {
        tail -n 30 "$work/$2-ninja.log" >&2
        exit 2
    }
    echo "$out"
}

# The dumper linked with the library of build folder $1, built from that build's sources.
dumper_of() {
    local build=$1 name=$2 src
    src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
    [ -f "$build/libpqz2.so" ] || { echo "$build has no libpqz2.so" >&2; exit 2; }
    cc -O2 -std=c11 -I"$src" "$root/web/native/pqz2_dump.c" -L"$build" -lpqz2 \
        -Wl,-rpath,"$build" -o "$work/dump-$name"
    echo "$work/dump-$name"
}

echo "base: $1" >&2
base_build=$(build_of "$1" base)
echo "new: $2" >&2
new_build=$(build_of "$2" new)
base_dump=$(dumper_of "$base_build" base)
new_dump=$(dumper_of "$new_build" new)

files=()
if [ -n "$inputs" ]; then
    mapfile -t files < <(find "$inputs" -name '*.pqz' | sort)
else
    maker=$new_build/bench/pqz2_bench_inputs
    [ -x "$maker" ] || maker=$root/build/bench/pqz2_bench_inputs
    if [ ! -x "$maker" ]; then
        echo "pqz2_bench_inputs is missing: configure NEW or $root/build with" \
            "-DPQZ2_BUILD_BENCH=ON and build it (ninja pqz2_bench_inputs), or give -i" >&2
        exit 2
    fi
    mkdir -p "$work/inputs"
    "$maker" "$work/inputs" >/dev/null
    mapfile -t files < <(find "$work/inputs" "$root/tests/data/vectors" -name '*.pqz' | sort)
fi
[ ${#files[@]} -gt 0 ] || { echo "no .pqz files to decode" >&2; exit 2; }

# Decodes each file with both builds (side by side, one core each) and compares the dumps.
differ=0
for f in "${files[@]}"; do
    { "$base_dump" "$f" 0 4 && echo "exit 0" || echo "exit $?"; } >"$work/base.out" &
    { "$new_dump" "$f" 0 4 && echo "exit 0" || echo "exit $?"; } >"$work/new.out"
    wait
    if ! cmp -s "$work/base.out" "$work/new.out"; then
        echo "DIFFERS: $f" >&2
        differ=$((differ + 1))
    fi
done
echo "${#files[@]} files decoded by both builds: $((${#files[@]} - differ)) alike, $differ differ"
[ $differ -eq 0 ]
