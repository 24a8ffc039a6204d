#!/usr/bin/env bash
# Builds the WebAssembly decoder into web/lib/ (pqz2_wasm.js, pqz2_wasm.wasm) and copies the
# sample file next to it, so that web/ can be served as it is:
#   bash web/build.sh && python3 -m http.server -d web -b 127.0.0.1 8000
# Needs Emscripten (apt-get install emscripten), CMake and Ninja. PQZ2_WEB_BUILD_DIR sets the
# build folder (default build-web in the source tree).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${PQZ2_WEB_BUILD_DIR:-$root/build-web}
mkdir -p "$out"
# Emscripten's tools are Node scripts that need the Debian's Node modules (acorn).
export NODE_PATH=${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs
emcmake cmake -S "$root/web" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -- -j"${PQZ2_JOBS:-2}"
cp "$root/samples/TestFile.pqz" "$root/web/lib/TestFile.pqz"
ls -l "$root/web/lib"
