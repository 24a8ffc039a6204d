#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds small programs against the installed
# copy: one with pkg-config, one with the CMake package.
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

mkdir "$tmp/consumer"
cat >"$tmp/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(PQZ2 REQUIRED)
add_executable(walk walk.c)
target_link_libraries(walk PRIVATE PQZ2::PQZ2_read)
CMAKE
cp "$src/tests/c_api_check.c" "$tmp/consumer/walk.c"
cmake -S "$tmp/consumer" -B "$tmp/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/consumer/build" >/dev/null
LD_LIBRARY_PATH=$libdir "$tmp/consumer/build/walk" "$src/samples/TestFile.pqz"
"$prefix/bin/PQZ2_demo" >/dev/null 2>&1 || true
