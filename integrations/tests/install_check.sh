#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses the plug-ins from there the way the README
# tells: the loader through the prefix's loaders.cache, the Qt plug-in through QT_PLUGIN_PATH,
# the MIME type through XDG_DATA_DIRS.
#   install_check.sh BUILD_DIR SAMPLE PIXBUF_TEST QT_TEST
set -euo pipefail
build=$1 sample=$2 pixbuf_test=$3 qt_test=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "install check: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
loader=$(find "$prefix" -name libpixbufloader-pqz.so)
plugin=$(find "$prefix" -path '*/qt6/plugins/imageformats/libqpqz.so')
[ -n "$loader" ] && [ -n "$plugin" ] || fail "plug-ins not installed"
case $loader in */gdk-pixbuf-2.0/*/loaders/*) ;; *) fail "loader in $loader" ;; esac
cache=$(cd "$(dirname "$loader")/.." && pwd)/loaders.cache
grep -q "\"$loader\"" "$cache" || fail "the loader is not in $cache"
[ "$(grep -c '^"/' "$cache")" -gt 1 ] || fail "$cache lacks the system's loaders"
[ -f "$prefix/share/thumbnailers/pqz2.thumbnailer" ] || fail "no thumbnailer entry"
[ -f "$prefix/share/mime/packages/pqz2.xml" ] || fail "no MIME package"
# The installed plug-ins find the installed library, not the build's.
for module in "$loader" "$plugin"; do
    # Read ldd's whole output first: grep -q stopping early would make ldd fail under pipefail.
    deps=$(ldd "$module")
    grep -q "libpqz2.* => $prefix/" <<<"$deps" || fail "$module: $(grep pqz2 <<<"$deps")"
done

# As the README tells for a prefix.
export XDG_DATA_DIRS=$prefix/share:/usr/local/share:/usr/share
GDK_PIXBUF_MODULE_FILE=$cache gdk-pixbuf-thumbnailer -s 64 "$sample" "$tmp/thumb.png"
GDK_PIXBUF_MODULE_FILE=$cache "$pixbuf_test" --thumbnail "$tmp/thumb.png" "$sample" 64
QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH=$(dirname "$(dirname "$plugin")") \
    "$qt_test" "$sample" "$here/forged" "$(dirname "$sample")/../tests/data/vectors" >/dev/null

# The MIME type by name and by content (a copy without the suffix).
if [ -f "$prefix/share/mime/mime.cache" ] && command -v gio >/dev/null; then
    cp "$sample" "$tmp/picture.pqz"
    cp "$sample" "$tmp/picture"
    for file in "$tmp/picture.pqz" "$tmp/picture"; do
        type=$(gio info -a standard::content-type "$file" |
            sed -n 's/.*standard::content-type: //p')
        [ "$type" = image/x-pqz ] || fail "$file has type '$type'"
    done
else
    fail "no MIME database in the prefix (update-mime-database and gio are needed)"
fi
echo "install check: loader, Qt plug-in, thumbnailer entry and MIME type work from $prefix"
