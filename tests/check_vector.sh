#!/usr/bin/env bash
# Runs one reference vector: its transcript and every bitmap must match.
#   check_vector.sh CHECKER LIB VECTOR_BASE   (VECTOR_BASE = folder/name without .pqz)
set -u
checker=$1 lib=$2 base=$3
tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT
"$checker" "$lib" "$base.pqz" >"$tmp/out" || { echo "checker failed"; exit 1; }
if ! diff -u "$base.expect" "$tmp/out"; then exit 1; fi
for dib in "$base".*.dib; do
    [ -e "$dib" ] || continue
    k=${dib%.dib}; k=${k##*.}
    "$checker" "$lib" "$base.pqz" --dump "$k" "$tmp/$k.dib" >/dev/null
    cmp "$dib" "$tmp/$k.dib" || exit 1
done
