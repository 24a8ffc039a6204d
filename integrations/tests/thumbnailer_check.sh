#!/usr/bin/env bash
# The system's gdk-pixbuf-thumbnailer with the PQZ loader (GDK_PIXBUF_MODULE_FILE and the MIME
# database set by the caller): a thumbnail of the sample, and for every forged file, within 1 GiB
# of address space, a plain failure that the loader reported.
#   thumbnailer_check.sh PIXBUF_TEST SAMPLE OUT_DIR
set -euo pipefail
pixbuf_test=$1 sample=$2 out=$3
forged=$(cd "$(dirname "${BASH_SOURCE[0]}")/forged" && pwd)
rm -rf "$out" && mkdir -p "$out"
gdk-pixbuf-thumbnailer -s 128 "$sample" "$out/sample.png"
"$pixbuf_test" --thumbnail "$out/sample.png" "$sample" 128
for file in "$forged"/*.pqz; do
    status=0
    (ulimit -v 1048576 && gdk-pixbuf-thumbnailer -s 128 "$file" "$out/forged.png") \
        2>"$out/forged.log" || status=$?
    if [ "$status" -eq 0 ] || [ "$status" -ge 128 ] || [ -e "$out/forged.png" ] ||
        ! grep -q "PQZ image: " "$out/forged.log"; then
        echo "thumbnailer on $(basename "$file"): exit status $status"
        cat "$out/forged.log"
        exit 1
    fi
done
echo "thumbnailer: sample thumbnail ok, forged files refused"
