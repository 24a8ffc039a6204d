#!/usr/bin/env bash
# Takes the README's screenshot of a real image viewer showing a PQZ file: Eye of GNOME under a
# virtual X server, with the loader and the MIME type registered from the build folder (no
# installation). Not part of the test command; run it by hand when the picture should change.
#   bash scripts/desktop_screenshot.sh [FILE.pqz] [OUT.png]
# Needs (Debian): xvfb eog imagemagick x11-utils, plus what the build needs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
file=$(realpath "${1:-$root/samples/TestFile.pqz}")
out=$(realpath -m "${2:-$root/docs/desktop-viewer.png}")
build=${PQZ2_BUILD_DIR:-$root/build}
display=:${PQZ2_SCREENSHOT_DISPLAY:-77}

cmake -S "$root" -B "$build" -G Ninja -DPQZ2_DESKTOP_REQUIRED=ON >/dev/null
cmake --build "$build" --target pixbufloader-pqz pqz2_pixbuf_cache pqz2_test_mime
export GDK_PIXBUF_MODULE_FILE=$build/integrations/gdk-pixbuf/loaders.cache
export XDG_DATA_DIRS=$build/integrations/share:/usr/local/share:/usr/share

Xvfb "$display" -screen 0 800x560x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
viewer=
cleanup() {
    # The viewer is the child of the session bus runner, which then ends its bus and itself.
    if [ -n "$viewer" ]; then
        pkill -P "$viewer" 2>/dev/null || true
        wait "$viewer" 2>/dev/null || true
    fi
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done

# A fresh settings folder keeps the viewer's first-run state out of the picture.
home=$(mktemp -d)
HOME=$home XDG_CONFIG_HOME=$home GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 \
    dbus-run-session -- eog "$file" >"$home/eog.log" 2>&1 &
viewer=$!
# Wait for the window that shows the file, then for the picture to be drawn.
name=$(basename "$file")
for _ in $(seq 100); do
    xwininfo -root -tree 2>/dev/null | grep -q "$name" && break
    sleep 0.2
done
xwininfo -root -tree | grep -q "$name" || { cat "$home/eog.log"; exit 1; }
sleep 3
mkdir -p "$(dirname "$out")"
import -display "$display" -window root "$out"
rm -rf "$home"
echo "wrote $out"
