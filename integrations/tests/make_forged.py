#!/usr/bin/python3
"""Writes the forged files of forged/ from the sample: image headers that announce far more
pixels than their data holds. Run from the repository: integrations/tests/make_forged.py"""
import struct
from pathlib import Path

here = Path(__file__).resolve().parent
sample = (here / "../../samples/TestFile.pqz").read_bytes()
IMAGE_TAG = b"\x81\x8a20"
# Image 11 of the sample: 192 x 144, 24 bits, coding method 1 with a plane table.
block = 364073
head = sample[block + 4:block + 20]
width, height, reserved, fmt, flags, size = struct.unpack("<HH6sBBI", head)
payload = sample[block + 20:block + 20 + size]


def image(w, h, fmt, flags, payload, announced=None, aux=b""):
    size = len(payload) if announced is None else announced
    return IMAGE_TAG + struct.pack("<HH6sBBI", w, h, bytes(6), fmt, flags, size) + aux + payload


files = {
    # Compressed data of a small image under a header of 65535 x 65535 pixels.
    "huge-compressed.pqz": image(65535, 65535, fmt, flags, payload[:512]),
    # The same within the pixel limits: 4096 x 2048 pixels from 512 bytes of coded data.
    "large-compressed.pqz": image(4096, 2048, fmt, flags, payload[:512]),
    # An uncompressed 65535 x 65535 image whose payload is not in the file.
    "huge-raw.pqz": image(65535, 65535, 24, 0, bytes(64), announced=65535 * 65535 * 3 % 2**32),
    # An auxiliary header announcing 4 GiB in front of a small image.
    "huge-aux.pqz": image(2, 2, 8, 0x80, bytes(4), aux=struct.pack("<II", 1, 2**32 - 1)),
    # A palette image whose 768-byte palette is cut to 10 bytes.
    "cut-palette.pqz": image(4, 4, 0x88, 0, bytes(16)) + bytes(10),
    # The tag and half an image header.
    "cut-header.pqz": IMAGE_TAG + head[:8],
}
for name, data in files.items():
    (here / "forged" / name).write_bytes(data)
