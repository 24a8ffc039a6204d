#!/usr/bin/env bash
# Builds the library and the demo program and runs the demo on the bundled TestFile.pqz.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PQZ2_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target PQZ2_demo
cd "$root/samples"
"$build/PQZ2_demo"
echo
