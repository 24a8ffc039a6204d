"""Decoded arrays against the reference bitmaps of every vector and against the source photos."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from PIL import Image as PILImage

import pqz2
from conftest import IMAGES, SAMPLE, Dib, dib_files, vector_files, vector_id


def expected_from_dib(image: pqz2.Image, dib: Dib) -> np.ndarray:
    """What to_numpy() must give, rebuilt from the bitmap the reference reader made."""
    n, h, w = image.bits_per_pixel, image.height, image.width
    if n == 0:
        return np.zeros((h, w), np.uint8)
    if n in (1, 2, 4, 8):  # 2-bit pixels come widened to 4 bits, values unchanged
        return dib.values()
    if n < 8:  # 3, 5, 6, 7 bits: the bitmap keeps the stored packing
        native = dib.rows[:, : image.native_row_bytes]
        if n == 3:
            pairs = np.stack([native >> 5, (native >> 2) & 7], axis=2).reshape(h, -1)
            return pairs[:, :w]
        return native >> (8 - n)
    if n in (15, 16):  # widened to 5-5-5 colour without bit 15
        bgr = dib.pixels(3).astype(np.uint16)
        return (bgr[..., 2] >> 3) << 10 | (bgr[..., 1] >> 3) << 5 | bgr[..., 0] >> 3
    if n <= 16:
        pair = dib.pixels(2).astype(np.uint16)
        return pair[..., 0] | pair[..., 1] << 8
    if n == 32:  # the bitmap drops the fourth byte
        return dib.pixels(3)
    return dib.pixels(image.bytes_per_pixel)


def decoded_for_dib(image: pqz2.Image) -> np.ndarray:
    array = image.to_numpy()
    n = image.bits_per_pixel
    if n in (15, 16):
        return array & 0x7FFF
    if n == 32:
        return array[..., :3]
    return array


@pytest.mark.parametrize("vector", vector_files(), ids=vector_id)
def test_vector_images_equal_reference_bitmaps(vector: Path) -> None:
    dibs = dib_files(vector)
    with pqz2.open(vector) as f:
        images = []
        try:
            for block in f:
                if isinstance(block, pqz2.Image):
                    images.append(block)
        except pqz2.Error as e:  # stray bytes at the end: reported after every image
            assert e.status == pqz2.Status.ERR_DAMAGED and "too few bytes" in e.message
        assert len(images) == len(dibs)
        for image, dib_path in zip(images, dibs):
            dib = Dib(dib_path)
            array = image.to_numpy()
            n = image.bits_per_pixel
            assert array.shape == image.shape()
            assert array.dtype == (np.uint8 if n <= 8 or n > 16 else np.uint16)
            where = f"{dib_path.name} ({n} bits, {image.coding.name})"
            np.testing.assert_array_equal(decoded_for_dib(image), expected_from_dib(image, dib),
                                          err_msg=where)
            if image.colour == pqz2.Colour.PALETTE and not image.palette_inherited:
                entries = min(len(image.palette), len(dib.colours))
                np.testing.assert_array_equal(image.palette[:entries], dib.colours[:entries],
                                              err_msg=where)


# Lossless images of the sample file: (image number, photo, crop box x, y, width, height).
SAMPLE_PHOTOS = [
    (0, "camera.png", (128, 96, 256, 192)),  # raw grey
    (2, "astronaut.png", (160, 40, 160, 120)),  # raw colour
    (3, "logo.png", (100, 100, 120, 90)),  # raw colour with alpha
    (6, "coins.png", (0, 0, 256, 192)),  # bit-stream coder, grey
    (9, "astronaut.png", (0, 0, 192, 160)),  # context model, colour
    (10, "moon.png", (128, 128, 256, 192)),  # coding method 1, grey
    (12, "camera.png", (160, 64, 192, 160)),  # coding method 2, grey
]


@pytest.mark.parametrize("number,photo,box", SAMPLE_PHOTOS, ids=[p[1] + str(p[0]) for p in SAMPLE_PHOTOS])
def test_sample_images_equal_photos(number: int, photo: str, box: tuple) -> None:
    x, y, w, h = box
    picture = np.asarray(PILImage.open(IMAGES / photo))[y : y + h, x : x + w]
    with pqz2.open(SAMPLE) as f:
        image = f.images[number]
        assert image.tolerance == 0
        array = image.to_numpy()
    if picture.ndim == 3:  # the stored order is blue, green, red (, alpha)
        picture = picture[..., [2, 1, 0, 3][: picture.shape[2]]]
    np.testing.assert_array_equal(array, picture)


def test_modes_of_a_colour_image() -> None:
    with pqz2.open(SAMPLE) as f:
        image = f.images[3]  # 32-bit: blue, green, red, alpha
        native = image.to_numpy()
        assert native.shape == (90, 120, 4) and image.format_loss() is None
        np.testing.assert_array_equal(image.to_numpy("rgba"), native[..., [2, 1, 0, 3]])
        np.testing.assert_array_equal(image.to_numpy("rgb"), native[..., 2::-1])
        value = image.to_numpy("value")
        assert value.dtype == np.uint32
        np.testing.assert_array_equal(value, native.view("<u4")[..., 0])
        rows = image.to_numpy("native")
        np.testing.assert_array_equal(rows, native.reshape(90, -1))
        assert image.format_loss("rgb") is not None
        with pytest.raises(pqz2.Error) as e:
            image.to_numpy("index")
        assert e.value.status == pqz2.Status.ERR_FORMAT
        with pytest.raises(ValueError):
            image.to_numpy("cmyk")


def test_modes_of_packed_and_palette_images() -> None:
    with pqz2.open(SAMPLE) as f:
        images = f.images
        page = images[5]  # raw 1-bit grey
        values = page.to_numpy()
        assert values.shape == (96, 384) and set(np.unique(values)) <= {0, 1}
        np.testing.assert_array_equal(np.packbits(values, axis=1), page.to_numpy("native"))
        np.testing.assert_array_equal(page.to_numpy("grey") > 0, values > 0)
        palette = images[4]  # raw 8-bit with its palette
        assert palette.colour == pqz2.Colour.PALETTE and not palette.palette_inherited
        index = palette.to_numpy("index")
        np.testing.assert_array_equal(index, palette.to_numpy())
        np.testing.assert_array_equal(palette.to_numpy("rgb"), palette.palette[index])
