#!/bin/sh
# Checks the include graph of the library: every folder includes only its own layer and those
# below it. Layers from the bottom: base, codec/shared, the coders (codec/range, codec/method1,
# codec/method2, codec/bitstream; none includes another), pipeline, reader (container walk),
# api (the decoding API), pqz2_read (the ten functions, built on the API alone). Usage:
# check_layers.sh SOURCE_DIR
src="${1:-.}"
status=0

allowed() {  # folder of the including file -> folders it may include
    case "$1" in
        base) echo "base" ;;
        codec/shared) echo "base codec/shared" ;;
        codec/*) echo "base codec/shared $1" ;;
        pipeline) echo "base codec/shared codec/range codec/method1 codec/method2 codec/bitstream pipeline" ;;
        reader) echo "base codec/shared pipeline reader" ;;
        api) echo "base codec/shared pipeline reader api" ;;
        pqz2_read) echo "base api pqz2_read" ;;
        *) echo "" ;;
    esac
}

for dir in base codec/shared codec/range codec/method1 codec/method2 codec/bitstream pipeline reader api pqz2_read; do
    [ -d "$src/$dir" ] || continue
    ok=$(allowed "$dir")
    for file in "$src/$dir"/*.h "$src/$dir"/*.cpp; do
        [ -f "$file" ] || continue
        grep -o '^#include "[^"]*"' "$file" | sed 's/#include "\(.*\)"/\1/' | while read -r inc; do
            target=$(dirname "$inc")
            [ "$target" = "." ] && continue
            case " $ok " in
                *" $target "*) ;;
                *) echo "${file#$src/}: includes $inc from a layer above or beside it"; exit 1 ;;
            esac
        done || status=1
    done
done
[ $status -eq 0 ] && echo "include graph: no upward or sideways include"
exit $status
