"""Speed of the Python package beside the library it calls.

    PQZ2_LIBRARY=build/libpqz2.so /usr/bin/python3 python/bench_pqz2.py [--repeat N]

1. Image.to_numpy() against the library's own decode of the same image, called directly:
   into a buffer the library allocates (pqz2_decode_alloc, what a C program pays for a new
   image) and into one buffer reused every time (the decoding alone). Images: the coded images
   of the sample file, the largest being re-packed at 4x4 their size is not possible without
   an encoder, so a large raw image made here stands for the large case.
2. Several images decoded by 1, 2, ... threads, each with its own file object (the GIL is
   released while the library decodes).
Times are the best of N runs: CPU time of the decoding thread for 1, wall-clock time for 2.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import struct
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable, List, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402

import pqz2  # noqa: E402
from pqz2._lib import DecodeResult, lib  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
lib.pqz2_decode_alloc.restype = ctypes.c_int
lib.pqz2_decode_alloc.argtypes = [
    ctypes.c_void_p,
    ctypes.c_int,
    ctypes.POINTER(ctypes.c_void_p),
    ctypes.POINTER(ctypes.c_size_t),
    ctypes.POINTER(DecodeResult),
]
lib.pqz2_free.restype = None
lib.pqz2_free.argtypes = [ctypes.c_void_p]


def raw_image_file(width: int, height: int) -> bytes:
    """One raw 24-bit image block of noise-free gradient pixels."""
    y, x = np.mgrid[0:height, 0:width]
    pixels = np.stack([x & 255, y & 255, (x + y) & 255], axis=2).astype(np.uint8)
    payload = pixels.tobytes()
    header = struct.pack("<HH6sBBI", width, height, bytes(6), 24, 0, len(payload))
    return b"\x81\x8a20" + header + payload


def best(fn: Callable[[], object], repeat: int) -> float:
    """Best wall-clock time of fn."""
    return interleaved([fn], repeat, time.perf_counter)[0]


def interleaved(fns: List[Callable[[], object]], repeat: int,
                clock: Callable[[], float] = time.thread_time) -> List[float]:
    """Best time of each function (by default CPU time of this thread, which other work on a
    shared machine disturbs least), the functions taking turns so that a busy moment of the
    machine falls on all of them alike."""
    times = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = clock()
            fn()
            times[i] = min(times[i], clock() - start)
    return times


def compare_one(name: str, data: bytes, number: int, repeat: int) -> None:
    with pqz2.open(data) as f:
        image = f.images[number]
        image.to_numpy()  # positions the file on the image
        handle = f._handle
        fmt, dtype, shape = pqz2._file._layout(image._info, "lossless")
        reused = np.empty(shape, dtype)
        stride = reused.strides[0]

        def c_alloc() -> None:
            pixels, stride_out = ctypes.c_void_p(), ctypes.c_size_t()
            status = lib.pqz2_decode_alloc(handle, int(fmt), ctypes.byref(pixels),
                                           ctypes.byref(stride_out), None)
            assert status == 0, status
            lib.pqz2_free(pixels)

        def c_reused() -> None:
            status = lib.pqz2_decode(handle, int(fmt), reused.ctypes.data, reused.nbytes,
                                     stride, None)
            assert status == 0, status

        t_alloc, t_reused, t_numpy = interleaved([c_alloc, c_reused, image.to_numpy], repeat)
    mp = image.width * image.height / 1e6
    print(f"{name:34s} {image.width:5d}x{image.height:<5d} {mp / t_alloc:8.1f} Mpx/s  "
          f"C alloc {t_alloc * 1e6:9.1f} us  C reused {t_reused * 1e6:9.1f} us  "
          f"to_numpy {t_numpy * 1e6:9.1f} us  ({(t_numpy / t_alloc - 1) * 100:+6.1f} %)")


def decode_all(jobs: List[Tuple[bytes, int]]) -> None:
    for data, number in jobs:
        with pqz2.open(data) as f:
            f.images[number].to_numpy()


def threads(sample: bytes, repeat: int) -> None:
    work = [(sample, n) for n in (7, 9, 10, 11, 12, 13)] * 2
    cores = os.cpu_count() or 1
    base = None
    for count in sorted({1, 2, cores}):
        chunks = [work[i::count] for i in range(count)]

        def run() -> None:
            with ThreadPoolExecutor(count) as pool:
                list(pool.map(decode_all, chunks))

        cpu = time.process_time()
        wall = time.perf_counter()
        t = best(run, repeat)
        busy = (time.process_time() - cpu) / (time.perf_counter() - wall)
        base = base or t
        print(f"{len(work)} coded images, {count} thread(s): {t * 1e3:8.1f} ms, "
              f"speed-up {base / t:4.2f}, cores busy on average {busy:4.2f} "
              f"(machine: {cores} cores, load average {os.getloadavg()[0]:.1f})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    sample = (ROOT / "samples" / "TestFile.pqz").read_bytes()
    print(f"pqz2 library {pqz2.library_version()}, numpy {np.__version__}, best of {args.repeat}")
    for name, number in [("bit-stream 24-bit", 7), ("context model 24-bit", 9),
                         ("method 1 grey", 10), ("method 1 24-bit near-lossless", 11),
                         ("method 2 grey", 12), ("method 2 32-bit", 13)]:
        compare_one(name, sample, number, args.repeat)
    large = (ROOT / "tests" / "data" / "vectors" / "bitstream" / "large-plane-v2.pqz").read_bytes()
    compare_one("bit-stream grey, large plane", large, 0, args.repeat)
    compare_one("raw 24-bit (memory-bound)", raw_image_file(4096, 3072), 0, args.repeat)
    # The package's own cost per call, seen where the decode itself costs next to nothing.
    compare_one("raw 24-bit 1 x 1 (fixed cost)", raw_image_file(1, 1), 0, args.repeat * 40)
    threads(sample, args.repeat)


if __name__ == "__main__":
    main()
