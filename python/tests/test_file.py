"""Opening from a path, bytes and file objects; blocks, extra data and errors."""

from __future__ import annotations

import io
from pathlib import Path
from typing import List

import numpy as np
import pytest

import pqz2
from conftest import SAMPLE, VECTORS


def decode_all(f: pqz2.File) -> List[np.ndarray]:
    return [image.to_numpy() for image in f.images]


class Unseekable(io.RawIOBase):
    """A stream that can only be read forward, like a pipe."""

    def __init__(self, data: bytes) -> None:
        self._data = io.BytesIO(data)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:  # type: ignore[override]
        return self._data.readinto(buffer)


def test_path_bytes_and_file_objects_agree(sample_bytes: bytes) -> None:
    with pqz2.open(SAMPLE) as f:
        reference = decode_all(f)
        summary = [(b.index, b.offset, b.size, type(b).__name__) for b in f]
    assert len(reference) == 14
    sources = [
        str(SAMPLE),
        sample_bytes,
        bytearray(sample_bytes),
        memoryview(sample_bytes),
        io.BytesIO(sample_bytes),
        Unseekable(sample_bytes),
    ]
    with open(SAMPLE, "rb") as raw:
        sources.append(raw)
        for source in sources:
            with pqz2.open(source) as f:
                assert [(b.index, b.offset, b.size, type(b).__name__) for b in f] == summary
                for got, want in zip(decode_all(f), reference):
                    np.testing.assert_array_equal(got, want)


def test_file_object_read_from_its_position(sample_bytes: bytes) -> None:
    stream = io.BytesIO(b"leading bytes" + sample_bytes)
    stream.seek(13)
    with pqz2.open(stream) as f:
        assert len(f.images) == 14


def test_blocks_aux_and_extra_data(sample_bytes: bytes) -> None:
    with pqz2.open(sample_bytes) as f:
        extras = [(e.type, e.data) for e in f.extras]
        assert extras == [
            (1, b"PQZ2 sample file"),
            (2, b"between images"),
            (3, b""),
            (4, b"method 2 follows"),
        ]
        images = f.images
        aux = {i: (im.aux_type, im.aux) for i, im in enumerate(images) if im.aux is not None}
        assert aux[0] == (100, b"raw 8-bit grey")
        assert aux[13] == (104, b"method 2, colour with alpha")
        assert images[1].aux is None and images[1].aux_type is None
        # information without decoding, in any order of access
        assert [im.image_index for im in images] == list(range(14))
        assert {im.coding for im in images} == set(pqz2.Coding) - {pqz2.Coding.NONE}
        last = images[13]
        assert (last.width, last.height, last.bits_per_pixel) == (160, 120, 32)
        assert last.tolerance == 3 and last.planes
        first = images[0].to_numpy()  # back to an earlier image after the walk
        assert first.shape == (192, 256)


def test_empty_data_is_a_file_without_blocks() -> None:
    with pqz2.open(b"") as f:
        assert f.blocks == []


@pytest.mark.parametrize(
    "data,status",
    [
        (b"not a PQZ file at all", pqz2.Status.ERR_NOT_PQZ),
        (b"\x89PNG\r\n\x1a\n" + bytes(40), pqz2.Status.ERR_NOT_PQZ),
    ],
)
def test_not_pqz_raises_at_open(data: bytes, status: pqz2.Status, tmp_path: Path) -> None:
    for source in (data, io.BytesIO(data)):
        with pytest.raises(pqz2.Error) as e:
            pqz2.open(source)
        assert e.value.status == status and e.value.message
    path = tmp_path / "bad.pqz"
    path.write_bytes(data)
    with pytest.raises(pqz2.Error) as e:
        pqz2.open(path)
    assert e.value.status == status


def test_cut_file_gives_the_images_before_the_cut(sample_bytes: bytes) -> None:
    with pqz2.open(sample_bytes) as f:
        last = f.images[-1]
        cut = sample_bytes[: last.offset + 40]  # inside the last image's payload
    with pqz2.open(cut) as f:
        seen = []
        with pytest.raises(pqz2.Error) as e:
            for block in f:
                if isinstance(block, pqz2.Image):
                    seen.append(block.to_numpy())
        assert len(seen) == 13
        assert e.value.status == pqz2.Status.ERR_DAMAGED and e.value.message


def test_damaged_payload_raises_with_message() -> None:
    with pqz2.open(VECTORS / "damaged" / "range-truncated.pqz") as f:
        with pytest.raises(pqz2.Error) as e:
            for image in f.images:
                image.to_numpy()
        assert e.value.status == pqz2.Status.ERR_DAMAGED
        assert e.value.message and str(e.value).endswith("[ERR_DAMAGED]")


def test_missing_file_and_wrong_types(tmp_path: Path) -> None:
    with pytest.raises(pqz2.Error) as e:
        pqz2.open(tmp_path / "missing.pqz")
    assert e.value.status == pqz2.Status.ERR_IO and "missing.pqz" in e.value.message
    with pytest.raises(TypeError):
        pqz2.open(42)  # type: ignore[arg-type]


def test_limits_and_closed_files(sample_bytes: bytes) -> None:
    with pqz2.open(sample_bytes, max_pixels=1000) as f:
        image = f.images[0]
        assert image.width * image.height > 1000  # details still readable
        with pytest.raises(pqz2.Error) as e:
            image.to_numpy()
        assert e.value.status == pqz2.Status.ERR_LIMIT
    with pytest.raises(ValueError):
        image.to_numpy()


def test_progress_can_cancel_and_errors_in_callbacks_surface(sample_bytes: bytes) -> None:
    calls = []
    with pqz2.open(sample_bytes, progress=lambda done, total: calls.append((done, total))) as f:
        f.images[10].to_numpy()
    assert calls and calls[-1][0] == calls[-1][1]
    stop = [True]
    with pqz2.open(sample_bytes, progress=lambda done, total: stop[0]) as f:
        with pytest.raises(pqz2.Error) as e:
            f.images[10].to_numpy()
        assert e.value.status == pqz2.Status.ERR_CANCELLED and "cancelled" in e.value.message
        stop[0] = False
        assert f.images[10].to_numpy().shape == (192, 256)  # the file stays usable

    def broken(done: int, total: int) -> None:
        raise KeyError("from the callback")

    with pqz2.open(sample_bytes, progress=broken) as f:
        with pytest.raises(KeyError):
            f.images[10].to_numpy()


def test_salvage_is_accepted(sample_bytes: bytes) -> None:
    with pqz2.open(sample_bytes, salvage=True) as f:
        image = f.images[0]
        image.to_numpy()
        assert not image.damaged and image.good_rows == image.height


def test_salvage_lists_a_cut_image_and_decodes_its_exact_rows(sample_bytes: bytes) -> None:
    with pqz2.open(sample_bytes) as f:
        last = f.images[-1]
        whole = last.to_numpy("native")
        cut = sample_bytes[: last.offset + last.size // 2]
    with pqz2.open(cut) as f:
        with pytest.raises(pqz2.Error):
            f.blocks
    with pqz2.open(cut, salvage=True) as f:
        image = f.images[-1]
        assert image.offset == last.offset
        with pytest.warns(pqz2.PartialImageWarning):
            part = image.to_numpy("native")
        assert image.damaged and image.good_rows < image.height
        assert (part[: image.good_rows] == whole[: image.good_rows]).all()
        assert not part[image.good_rows :].any()
