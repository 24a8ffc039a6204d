#!/usr/bin/env bash
# The Python package's stage: installs Debian's numpy, Pillow, pytest, Dask and distributed,
# installs the package with its library from the release build into a scratch prefix, checks
# that the installed package finds its library alone, then runs the package's tests with the
# system interpreter against that library.
#   scripts/test_python.sh [BUILD_DIR]     (default: build, as scripts/test.sh uses)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(realpath -m "${1:-${PQZ2_BUILD_DIR:-$root/build}}")
py=/usr/bin/python3  # another Python earlier on PATH may not see Debian's packages

if ! "$py" -c 'import numpy, PIL, pytest, dask, distributed' 2>/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        python3-numpy python3-pil python3-pytest python3-dask python3-distributed
fi

if [ ! -f "$out/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$out" --target pqz2 pqzconvert
prefix="$out/python-install"
rm -rf "$prefix"
cmake --install "$out" --component python --prefix "$prefix" >/dev/null
site=$(find "$prefix" -type d -name dist-packages | head -n 1)
library=$(find "$site/pqz2" -name 'libpqz2*.so*' | head -n 1)

# The installed package on its own: no source tree, no library variable.
(cd "$prefix" && env -u PQZ2_LIBRARY PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 "$py" -c "
import sys, pqz2, PIL.Image
assert pqz2.__file__.startswith('$site'), pqz2.__file__
with pqz2.open('$root/samples/TestFile.pqz') as f:
    assert [i.to_numpy().shape for i in f.images][0] == (192, 256)
with PIL.Image.open('$root/samples/TestFile.pqz') as im:
    assert im.n_frames == 14
print('installed package:', pqz2.library_version(), 'from', '$site')
")

PQZ2_LIBRARY="$library" PQZ2_CONVERT="$out/tools/pqzconvert" PYTHONDONTWRITEBYTECODE=1 \
    "$py" -m pytest -q -p no:cacheprovider "$root/python/tests"
