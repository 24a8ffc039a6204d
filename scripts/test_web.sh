#!/usr/bin/env bash
# The web viewer's tests: builds the WebAssembly decoder and runs
#   1. the Node test: every reference vector, the round-trip files of each coding method and the
#      sample decode in WebAssembly to the same bytes as with the native library;
#   2. the browser test: the page in headless Chromium draws the sample's images as decoded
#      natively, saves PNG, and reports a damaged file.
# NATIVE_BUILD is the release build of scripts/test.sh (its pqz2_dump and make_web_files).
# Emscripten, Chromium and npm are installed with apt-get when missing and running as root;
# otherwise the stage is skipped with a note. Any test failure fails the script.
#   scripts/test_web.sh NATIVE_BUILD
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=$(cd "${1:-$root/build}" && pwd)
start=$SECONDS

missing=()
command -v emcc >/dev/null || missing+=(emscripten)
command -v chromium >/dev/null || missing+=(chromium)
command -v npm >/dev/null || missing+=(npm)
if ((${#missing[@]})); then
    if [ "$(id -u)" != 0 ]; then
        echo "web tests skipped: apt-get install ${missing[*]} (as root) to run them"
        exit 0
    fi
    echo "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
        --no-install-recommends "${missing[@]}" >/dev/null
    echo "installed in $((SECONDS - start)) s"
fi

PQZ2_WEB_BUILD_DIR="$native-web" bash "$root/web/build.sh"
(cd "$root/web" && npm ci --no-audit --no-fund --loglevel=error)

export PQZ2_BUILD_DIR=$native
node --test "$root/web/test/node.test.js"
node "$root/web/test/browser.js"
echo "web tests passed in $((SECONDS - start)) s"
