"""Decoding from several threads at once."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from typing import List

import numpy as np

import pqz2


def decode_all(source: bytes) -> List[np.ndarray]:
    with pqz2.open(source) as f:
        return [image.to_numpy() for image in f.images]


def test_two_threads_give_the_same_arrays(sample_bytes: bytes) -> None:
    reference = decode_all(sample_bytes)
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(decode_all, [sample_bytes] * 6))
    for result in results:
        assert len(result) == len(reference)
        for got, want in zip(result, reference):
            np.testing.assert_array_equal(got, want)


def test_threads_sharing_one_file_take_turns(sample_bytes: bytes) -> None:
    reference = decode_all(sample_bytes)
    with pqz2.open(sample_bytes) as f:
        images = f.images
        order = [i % len(images) for i in range(3 * len(images))]
        with ThreadPoolExecutor(2) as pool:
            results = list(pool.map(lambda i: images[i].to_numpy(), order))
    for i, got in zip(order, results):
        np.testing.assert_array_equal(got, reference[i])
