"""Shared fixtures: the repository's test data, the bitmaps of the reference vectors, tools."""

from __future__ import annotations

import os
import shutil
import struct
import sys
from pathlib import Path
from typing import List, Optional

import numpy as np
import pytest

PACKAGE_DIR = Path(__file__).resolve().parents[1]
ROOT = PACKAGE_DIR.parent
VECTORS = ROOT / "tests" / "data" / "vectors"
IMAGES = ROOT / "tests" / "data" / "images"
SAMPLE = ROOT / "samples" / "TestFile.pqz"

# The package from this tree, in this process and in the processes the tests start.
if str(PACKAGE_DIR) not in sys.path:
    sys.path.insert(0, str(PACKAGE_DIR))
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(PACKAGE_DIR)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
)


def vector_files(*folders: str) -> List[Path]:
    """The reference vectors of the given folders (all but the damaged ones by default)."""
    wanted = folders or ("container", "bitstream", "context", "method1", "method2", "mixed")
    return sorted(p for f in wanted for p in (VECTORS / f).glob("*.pqz"))


def vector_id(path: Path) -> str:
    return f"{path.parent.name}/{path.stem}"


class Dib:
    """A bitmap of the reference vectors: header, colour table and bottom-up rows."""

    def __init__(self, path: Path) -> None:
        data = path.read_bytes()
        self.width, self.height = struct.unpack_from("<ii", data, 4)
        self.bits = struct.unpack_from("<H", data, 14)[0]
        colours = 1 << self.bits if self.bits <= 8 else 0
        table = np.frombuffer(data, np.uint8, 4 * colours, 40).reshape(colours, 4)
        self.colours = table[:, 2::-1]  # red, green, blue
        # rows keep the stored packing (5-7 bits: a byte per pixel), padded to 4 bytes
        size = struct.unpack_from("<I", data, 20)[0]
        stride = size // self.height if self.height else 0
        rows = np.frombuffer(data, np.uint8, stride * self.height, 40 + 4 * colours)
        self.rows = rows.reshape(self.height, stride)[::-1]  # top row first

    def values(self) -> np.ndarray:
        """One value per pixel for 1, 4 and 8 bits per pixel."""
        bits = np.unpackbits(self.rows, axis=1)[:, : self.width * self.bits]
        groups = bits.reshape(self.height, self.width, self.bits)
        weights = (1 << np.arange(self.bits - 1, -1, -1)).astype(np.uint16)
        return (groups * weights).sum(axis=2).astype(np.uint8)

    def pixels(self, bytes_per_pixel: int) -> np.ndarray:
        """(height, width, bytes) of byte-aligned pixels."""
        used = self.rows[:, : self.width * bytes_per_pixel]
        return used.reshape(self.height, self.width, bytes_per_pixel)


def dib_files(vector: Path) -> List[Path]:
    found = list(vector.parent.glob(vector.stem + ".*.dib"))
    return sorted(found, key=lambda p: int(p.suffixes[-2][1:]))


@pytest.fixture(scope="session")
def sample_bytes() -> bytes:
    return SAMPLE.read_bytes()


def find_pqzconvert() -> Optional[str]:
    env = os.environ.get("PQZ2_CONVERT")
    if env:
        return env
    for build in sorted(ROOT.glob("build*/tools/pqzconvert")):
        return str(build)
    return shutil.which("pqzconvert")


@pytest.fixture(scope="session")
def pqzconvert() -> str:
    tool = find_pqzconvert()
    if tool is None:
        pytest.skip("pqzconvert not built (set PQZ2_CONVERT)")
    return tool
