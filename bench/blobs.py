"""The benchmarks' blob mixture, block by block: 300 Gaussian blobs in a
100-wide cube, seeded by n, the points bench/scale.py and bench/peers.py
build in their child interpreters. Blocks of 10^6 rows, so that a store can
be filled with more points than memory holds."""

from __future__ import annotations

from typing import Iterator

import numpy as np

BLOBS = 300
BLOCK_ROWS = 10**6


def blocks(n: int, d: int = 3, blobs: int = BLOBS,
           seed: int | None = None) -> Iterator[tuple[int, np.ndarray]]:
    """(first row, rows) for rows 0..n-1 of the mixture, in order (seed
    None: n)."""
    rng = np.random.default_rng(n if seed is None else seed)
    centres = rng.uniform(0.0, 100.0, size=(blobs, d))
    scales = rng.uniform(0.5, 2.5, size=blobs)
    weights = rng.dirichlet(np.full(blobs, 2.0))
    for start in range(0, n, BLOCK_ROWS):
        stop = min(n, start + BLOCK_ROWS)
        which = rng.choice(blobs, size=stop - start, p=weights)
        yield start, centres[which] + rng.normal(size=(stop - start, d)) * scales[which, None]


def points(n: int, d: int = 3, blobs: int = BLOBS, seed: int | None = None) -> np.ndarray:
    """The mixture's n points as one array, made block by block so that
    making them takes little more memory than they do."""
    x = np.empty((n, d))
    for start, rows in blocks(n, d, blobs, seed):
        x[start:start + len(rows)] = rows
    return x
