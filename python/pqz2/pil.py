"""Pillow plugin: ``PIL.Image.open`` reads PQZ files (registered by ``import pqz2``).

Each image of the file is a frame (``n_frames``, ``seek``, ``tell``), except images of no
pixels, which Pillow cannot hold; extra blocks are passed over. ``frame_info`` is the
`pqz2.Image` of the current frame (``frame_info.image_index``: its number in the file). A
damaged file gives the images in front of the damage (the error in ``walk_error``). Opening
reads only the blocks' headers; pixels are decoded on ``load()``. Modes:

- grey: 1 bit "1"; 2, 4 and 8 bits "L" (2 and 4-bit levels spread over 0-255 as Pillow does
  for such PNGs); 3, 5, 6, 7 bits "L" with the level in the top bits; 9-16 bits "I;16";
- palette images up to 8 bits (including those taking an earlier image's palette): "P";
- 15/16-bit colour and 17-24-bit colour: "RGB"; 25-32-bit colour: "RGBA" (fourth byte as
  alpha); other layouts: "L" / "I;16" values, or "RGB" when only a conversion fits.
"""

from __future__ import annotations

import ctypes
from typing import Any, List, Optional, Tuple

import numpy as np
from PIL import Image as PILImage
from PIL import ImageFile

from ._file import Error, File, Image
from ._lib import Colour, Format, Status, lib

FORMAT_NAME = "PQZ"

# (Pillow mode, raw mode of the decoded rows, to_numpy mode, left shift of values)
Layout = Tuple[str, str, str, int]


def pil_layout(image: Image) -> Layout:
    """How an image becomes a Pillow image."""
    n, colour = image.bits_per_pixel, image.colour
    if colour == Colour.GREY:
        if n == 1:
            return ("1", "1", "native", 0)
        if n in (2, 4):
            return ("L", f"L;{n}", "native", 0)
        if n <= 8:
            return ("L", "L", "value", 8 - n if n else 0)
        if n <= 16:
            return ("I;16", "I;16", "value", 0)
    if colour == Colour.PALETTE:
        return ("P", "P", "index", 0)
    if colour in (Colour.RGB555, Colour.BGR):
        return ("RGBA", "RGBA", "rgba", 0) if n > 24 else ("RGB", "RGB", "rgb", 0)
    if n <= 8:
        return ("L", "L", "value", 0)
    if n <= 16:
        return ("I;16", "I;16", "value", 0)
    if _available(image, Format.RGB8):
        return ("RGB", "RGB", "rgb", 0)
    raise Error(Status.ERR_FORMAT, f"{n}-bit image has no Pillow mode")


def _available(image: Image, fmt: Format) -> bool:
    return lib.pqz2_min_stride(_info(image), int(fmt)) > 0


def _info(image: Image) -> Any:
    return ctypes.byref(image._info)


def pil_pixels(image: Image, layout: Optional[Layout] = None) -> bytes:
    """The decoded rows of an image in the raw mode of its Pillow layout."""
    _, _, mode, shift = layout or pil_layout(image)
    array = image.to_numpy(mode)
    if shift:
        array <<= np.uint8(shift)
    return array.tobytes()


def pil_palette(image: Image) -> Optional[bytes]:
    palette = image.palette
    if palette is None:
        return None
    return palette.tobytes()


def to_pil(image: Image) -> PILImage.Image:
    """Decodes an image into a new Pillow image."""
    layout = pil_layout(image)
    out = PILImage.frombytes(
        layout[0], (image.width, image.height), pil_pixels(image, layout), "raw", layout[1]
    )
    palette = pil_palette(image) if layout[0] == "P" else None
    if palette is not None:
        out.putpalette(palette)
    return out


def _accept(prefix: bytes) -> bool:
    """A PQZ file starts with the tag of an image (0x8A) or extra block (0x90), version 2.0."""
    return len(prefix) >= 4 and prefix[0] == 0x81 and prefix[1] in (0x8A, 0x90) and prefix[2:4] == b"20"


class PqzDecoder(ImageFile.PyDecoder):
    """Decodes one frame: the whole image in one call."""

    _pulls_fd = True

    def decode(self, buffer: bytes) -> Tuple[int, int]:
        image, layout = self.args
        self.set_as_raw(pil_pixels(image, layout), layout[1])
        return -1, 0


class PqzImageFile(ImageFile.ImageFile):
    format = FORMAT_NAME
    format_description = "PQZ lossless image"
    _close_exclusive_fp_after_loading = False

    def _open(self) -> None:
        self.fp.seek(0)
        data = self.fp.read()
        # Pillow drops fp after loading a frame; the pixels come from the data read here, but
        # loading wants an fp, and closing the image closes _fp.
        self._fp = self.fp
        self._frames: List[Image] = []
        #: the error that stopped the walk of a damaged file (after its last readable image)
        self.walk_error: Optional[Error] = None
        try:
            self._pqz = File(data)
            for block in self._pqz:
                if isinstance(block, Image) and block.width and block.height:
                    self._frames.append(block)
        except Error as e:
            self.walk_error = e
        if not self._frames:
            raise SyntaxError(f"no readable PQZ image: {self.walk_error or 'none in the file'}")
        self._frame = -1
        self.frame_info: Image
        self._select(0)

    @property
    def n_frames(self) -> int:
        return len(self._frames)

    @property
    def is_animated(self) -> bool:
        return len(self._frames) > 1

    def seek(self, frame: int) -> None:
        if not self._seek_check(frame):
            return
        self._select(frame)

    def tell(self) -> int:
        return self._frame

    def _select(self, frame: int) -> None:
        if frame == self._frame:
            return
        image = self._frames[frame]
        layout = pil_layout(image)
        self._frame = frame
        self.frame_info = image
        self.fp = self._fp
        self._size = (image.width, image.height)
        _set_mode(self, layout[0])
        self.palette = None
        if layout[0] == "P":
            from PIL import ImagePalette

            self.palette = ImagePalette.raw("RGB", pil_palette(image) or bytes(3))
        self.info = {"bits_per_pixel": image.bits_per_pixel}
        if image.aux is not None:
            self.info["aux"] = image.aux
        self.tile = [("pqz2", (0, 0) + self._size, 0, (image, layout))]
        self.im = None  # drop the pixels of the previous frame



def _set_mode(im: PILImage.Image, mode: str) -> None:
    """Sets the mode of an image being opened (an attribute or a property by Pillow version)."""
    if isinstance(getattr(type(im), "mode", None), property):
        im._mode = mode
    else:
        im.mode = mode


PILImage.register_open(FORMAT_NAME, PqzImageFile, _accept)
PILImage.register_extension(FORMAT_NAME, ".pqz")
PILImage.register_mime(FORMAT_NAME, "image/x-pqz")
PILImage.register_decoder("pqz2", PqzDecoder)

__all__ = ["PqzImageFile", "pil_layout", "to_pil"]
