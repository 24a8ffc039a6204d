"""Read PQZ lossless image files into numpy arrays and Pillow images.

    import pqz2
    with pqz2.open("scan.pqz") as f:
        for image in f.images:
            pixels = image.to_numpy()          # lossless: every bit of every pixel

Importing the package also registers the Pillow plugin (when Pillow is installed), so that
``PIL.Image.open("scan.pqz")`` works; multi-image files have ``n_frames``, ``seek`` and ``tell``.
``python3 -m pqz2.convert SRC DST`` converts a tree of PQZ files to PNG.
"""

from ._file import (
    BaseBlock,
    Error,
    ExtraBlock,
    File,
    Image,
    PartialImageWarning,
    open,
)
from ._lib import Coding, Colour, Status, lib as _lib

__all__ = [
    "BaseBlock",
    "Coding",
    "Colour",
    "Error",
    "ExtraBlock",
    "File",
    "Image",
    "PartialImageWarning",
    "Status",
    "open",
    "library_version",
]


def library_version() -> str:
    """Version of the pqz2 library in use, e.g. "2.0.0"."""
    return _lib.pqz2_version_text().decode()


try:
    from . import pil as _pil  # noqa: F401  (registers the Pillow plugin)
except ImportError:  # Pillow is not installed: numpy use only
    pass
