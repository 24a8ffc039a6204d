#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds small programs against the installed
# copy, of the ten functions and of the decoding API: with pkg-config and with the CMake package.
#   install_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/pkgconfig | head -1)
libdir=${libdir%/pkgconfig}
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror "$src/tests/c_api_check.c" -o "$tmp/walk" $(pkg-config --cflags --libs pqz2)
LD_LIBRARY_PATH=$libdir "$tmp/walk" "$src/samples/TestFile.pqz"
# The decoding API through the same pkg-config file; the installed ten-function library finds
# the API library beside it without a search path.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror "$src/tests/pqz2_example.c" -o "$tmp/example" $(pkg-config --cflags --libs pqz2)
LD_LIBRARY_PATH=$libdir "$tmp/example" "$src/samples/TestFile.pqz" >/dev/null
[ -z "$(nm -D --defined-only "$libdir/libpqz2.so" | awk '{print $3}' | grep -v '^pqz2_')" ]

mkdir "$tmp/consumer"
cat >"$tmp/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(PQZ2 REQUIRED)
add_executable(walk walk.c)
target_link_libraries(walk PRIVATE PQZ2::PQZ2_read)
add_executable(example example.c)
target_link_libraries(example PRIVATE PQZ2::pqz2)
CMAKE
cp "$src/tests/c_api_check.c" "$tmp/consumer/walk.c"
cp "$src/tests/pqz2_example.c" "$tmp/consumer/example.c"
cmake -S "$tmp/consumer" -B "$tmp/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/consumer/build" >/dev/null
LD_LIBRARY_PATH=$libdir "$tmp/consumer/build/walk" "$src/samples/TestFile.pqz"
LD_LIBRARY_PATH=$libdir "$tmp/consumer/build/example" "$src/samples/TestFile.pqz" >/dev/null
"$tmp/consumer/build/example" "$src/samples/TestFile.pqz" >/dev/null  # found by its run path
"$prefix/bin/PQZ2_demo" >/dev/null 2>&1 || true
