"""The Pillow plugin: opening without decoding, frames, and pixels against pqzconvert's PNGs."""

from __future__ import annotations

import subprocess
from pathlib import Path

import numpy as np
import pytest
from PIL import Image as PILImage

import pqz2
from conftest import SAMPLE, vector_files, vector_id


def test_open_reads_headers_only(monkeypatch: pytest.MonkeyPatch) -> None:
    def refuse(*args: object) -> None:
        raise AssertionError("decoded while opening")

    monkeypatch.setattr(pqz2.Image, "to_numpy", refuse)
    with PILImage.open(SAMPLE) as im:
        assert im.format == "PQZ"
        assert (im.size, im.mode) == ((256, 192), "L")
        assert im.n_frames == 14 and im.is_animated and im.tell() == 0
        im.seek(2)
        assert (im.size, im.mode, im.tell()) == ((160, 120), "RGB", 2)
        im.seek(3)
        assert im.mode == "RGBA"
        im.seek(4)
        assert im.mode == "P"
        with pytest.raises(EOFError):
            im.seek(14)
        assert im.info["aux"] if im.tell() == 0 else True


def test_frames_decode_like_the_package(sample_bytes: bytes) -> None:
    with pqz2.open(sample_bytes) as f:
        images = f.images
        with PILImage.open(SAMPLE) as im:
            for k in (0, 2, 3, 9, 4):
                im.seek(k)
                im.load()
                want = images[k].to_pil()
                assert im.mode == want.mode
                np.testing.assert_array_equal(np.asarray(im), np.asarray(want))
            im.seek(0)
            np.testing.assert_array_equal(np.asarray(im), images[0].to_numpy())


def test_not_pqz_and_empty_are_refused(tmp_path: Path) -> None:
    for name, data in (("empty.pqz", b""), ("text.pqz", b"\x81\x8a20 but nothing after")):
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(PILImage.UnidentifiedImageError):
            PILImage.open(path)


def comparable(im: PILImage.Image, frame: pqz2.Image) -> np.ndarray:
    """Pixels as pqzconvert's PNG must hold them too."""
    if im.mode == "P" and not frame.palette_inherited:
        im = im.convert("RGB")
    array = np.asarray(im).astype(np.int64)
    if frame.colour == pqz2.Colour.RGB555:
        array >>= 3  # 5-bit channels: pqzconvert leaves the low bits zero
    return array


ROUND_TRIP = [SAMPLE] + vector_files()


@pytest.mark.parametrize("path", ROUND_TRIP, ids=[vector_id(p) for p in ROUND_TRIP])
def test_round_trip_against_pqzconvert(path: Path, pqzconvert: str, tmp_path: Path) -> None:
    """Every frame equals pqzconvert's PNG of it. Images taking the palette of an earlier image
    are compared by index: their colours follow the nearest stored palette here, while
    pqzconvert keeps the reader's running palette table."""
    subprocess.run([pqzconvert, "-q", "-o", str(tmp_path), str(path)], check=False)
    with pqz2.open(path) as f:
        if not any(isinstance(b, pqz2.Image) for b in _blocks(f)):
            with pytest.raises(PILImage.UnidentifiedImageError):
                PILImage.open(path)
            return
    compared = 0
    with PILImage.open(path) as im:
        for k in range(im.n_frames):
            im.seek(k)
            frame = im.frame_info
            png = tmp_path / f"{path.stem}.{frame.image_index}.png"
            if frame.bits_per_pixel > 32:
                continue  # pqzconvert writes 16-bit samples there
            assert png.exists(), png.name
            with PILImage.open(png) as want:
                assert {im.mode, want.mode} <= {"I;16", "I"} or im.mode == want.mode
                np.testing.assert_array_equal(
                    comparable(im, frame), comparable(want, frame), err_msg=png.name
                )
            compared += 1
    assert compared


def _blocks(f: pqz2.File) -> list:
    """The blocks up to the first damage."""
    found = []
    try:
        for block in f:
            found.append(block)
    except pqz2.Error:
        pass
    return found
