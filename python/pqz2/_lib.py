"""ctypes declarations of the pqz2 C library and where the library file is found.

Every foreign call goes through ctypes.CDLL, which releases the GIL for the duration of the
call: decoding in one thread lets the other Python threads run, and different files decode in
parallel on several cores.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import enum
import os
from pathlib import Path
from typing import List, Optional

# Library file names tried next to the package and in the system's library path, newest first.
_NAMES = ("libpqz2.so.2", "libpqz2.so", "libpqz2.dylib", "pqz2.dll")


class Status(enum.IntEnum):
    """Status codes returned by the library."""

    OK = 0
    END = 1
    PARTIAL = 2
    ERR_ARGUMENT = 10
    ERR_BUFFER_TOO_SMALL = 11
    ERR_ORDER = 12
    ERR_IO = 20
    ERR_NOT_PQZ = 21
    ERR_DAMAGED = 22
    ERR_MISSING_MARKER = 23
    ERR_UNSUPPORTED = 24
    ERR_FORMAT = 25
    ERR_LIMIT = 30
    ERR_NO_MEMORY = 31
    ERR_CANCELLED = 32


class Colour(enum.IntEnum):
    """What an image's pixel values mean."""

    GREY = 1
    PALETTE = 2
    RGB555 = 3
    BGR = 4
    VALUES = 5


class Coding(enum.IntEnum):
    """How an image (or one of its planes) is coded."""

    RAW = 0
    CONTEXT_MODEL = 1
    METHOD1 = 2
    METHOD2 = 3
    BITSTREAM = 4
    NONE = 5  # a plane no decoder exists for: decoding refuses the image


class Format(enum.IntEnum):
    """Pixel layouts the library decodes into."""

    NATIVE = 0
    VALUE = 1
    GREY8 = 2
    RGB8 = 3
    RGBA8 = 4
    INDEX8 = 5


BLOCK_IMAGE = 1
BLOCK_EXTRA = 2

PROGRESS_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64)
IO_READ_FN = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)
IO_SEEK_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64)
IO_SIZE_FN = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.c_void_p)


class Options(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        ("max_pixels", ctypes.c_uint64),
        ("max_memory", ctypes.c_uint64),
        ("salvage", ctypes.c_int),
        ("progress", PROGRESS_FN),
        ("progress_user", ctypes.c_void_p),
    ]


class Io(ctypes.Structure):
    _fields_ = [
        ("read", IO_READ_FN),
        ("seek", IO_SEEK_FN),
        ("size", IO_SIZE_FN),
        ("user", ctypes.c_void_p),
    ]


class Block(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int),
        ("index", ctypes.c_uint32),
        ("image_index", ctypes.c_int32),
        ("offset", ctypes.c_uint64),
        ("size", ctypes.c_uint64),
        ("extra_type", ctypes.c_uint32),
        ("extra_size", ctypes.c_uint64),
        ("skipped_offset", ctypes.c_uint64),
        ("skipped_size", ctypes.c_uint64),
        ("damage", ctypes.c_int),  # where a damaged block breaks off; 0 for whole blocks
    ]


class PlaneInfo(ctypes.Structure):
    _fields_ = [
        ("order", ctypes.c_uint8),
        ("method", ctypes.c_uint8),
        ("model_flag", ctypes.c_uint8),
        ("has_reference", ctypes.c_uint8),
        ("offset", ctypes.c_uint8),
        ("coef", ctypes.c_int16 * 3),
        ("coding", ctypes.c_int),
    ]


class ImageInfo(ctypes.Structure):
    _fields_ = [
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("bits_per_pixel", ctypes.c_uint32),
        ("bytes_per_pixel", ctypes.c_uint32),
        ("format_byte", ctypes.c_uint8),
        ("flags_byte", ctypes.c_uint8),
        ("colour", ctypes.c_int),
        ("coding", ctypes.c_int),
        ("compressed", ctypes.c_int),
        ("separate_planes", ctypes.c_int),
        ("has_plane_table", ctypes.c_int),
        ("tolerance", ctypes.c_uint32),
        ("plane_count", ctypes.c_uint32),
        ("planes", PlaneInfo * 8),
        ("payload_offset", ctypes.c_uint64),
        ("payload_size", ctypes.c_uint64),
        ("native_row_bytes", ctypes.c_uint32),
        ("palette_entries", ctypes.c_uint32),
        ("palette_inherited", ctypes.c_int),
        ("palette", (ctypes.c_uint8 * 3) * 256),
        ("has_aux", ctypes.c_int),
        ("aux_type", ctypes.c_uint32),
        ("aux_size", ctypes.c_uint64),
    ]


class DecodeResult(ctypes.Structure):
    _fields_ = [("damaged", ctypes.c_int), ("good_rows", ctypes.c_uint32)]


def _candidates() -> List[str]:
    """Library files to try, in order: $PQZ2_LIBRARY, next to the package, the system's."""
    found = []
    env = os.environ.get("PQZ2_LIBRARY")
    if env:
        return [env]  # an explicit choice is not second-guessed
    here = Path(__file__).resolve().parent  # an install places a copy of the library here
    found += sorted(str(p) for p in here.glob("libpqz2*.so*")) + [
        str(here / n) for n in _NAMES[2:] if (here / n).exists()
    ]
    found += list(_NAMES)
    system = ctypes.util.find_library("pqz2")
    if system:
        found.append(system)
    return found


def _declare(lib: ctypes.CDLL) -> None:
    c = ctypes
    fp = c.c_void_p  # pqz2_file*
    table = {
        "pqz2_version": (c.c_uint32, []),
        "pqz2_version_text": (c.c_char_p, []),
        "pqz2_status_text": (c.c_char_p, [c.c_int]),
        "pqz2_options_init": (None, [c.POINTER(Options)]),
        "pqz2_create": (fp, [c.POINTER(Options)]),
        "pqz2_destroy": (None, [fp]),
        "pqz2_message": (c.c_char_p, [fp]),
        "pqz2_open_path": (c.c_int, [fp, c.c_char_p]),
        "pqz2_open_memory": (c.c_int, [fp, c.c_void_p, c.c_size_t]),
        "pqz2_open_io": (c.c_int, [fp, c.POINTER(Io)]),
        "pqz2_close": (c.c_int, [fp]),
        "pqz2_next_block": (c.c_int, [fp, c.POINTER(Block)]),
        "pqz2_rewind": (c.c_int, [fp]),
        "pqz2_seek_block": (c.c_int, [fp, c.c_uint32, c.POINTER(Block)]),
        "pqz2_extra_data": (c.c_int, [fp, c.c_void_p, c.c_size_t, c.POINTER(c.c_size_t)]),
        "pqz2_aux_data": (c.c_int, [fp, c.c_void_p, c.c_size_t, c.POINTER(c.c_size_t)]),
        "pqz2_image_info_get": (c.c_int, [fp, c.POINTER(ImageInfo)]),
        "pqz2_format_loss": (c.c_char_p, [c.POINTER(ImageInfo), c.c_int]),
        "pqz2_min_stride": (c.c_size_t, [c.POINTER(ImageInfo), c.c_int]),
        "pqz2_decode": (
            c.c_int,
            [fp, c.c_int, c.c_void_p, c.c_size_t, c.c_size_t, c.POINTER(DecodeResult)],
        ),
    }
    for name, (restype, argtypes) in table.items():
        f = getattr(lib, name)
        f.restype = restype
        f.argtypes = argtypes


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the library (path, or the first of $PQZ2_LIBRARY, the package folder, the system's
    library path that loads) and declares its functions."""
    errors = []
    for candidate in [path] if path else _candidates():
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as e:
            errors.append(f"{candidate}: {e}")
            continue
        _declare(lib)
        return lib
    raise ImportError(
        "pqz2: the pqz2 shared library was not found; install it with the package (see "
        "README) or set PQZ2_LIBRARY to its path. Tried:\n  " + "\n  ".join(errors)
    )


lib = load()
