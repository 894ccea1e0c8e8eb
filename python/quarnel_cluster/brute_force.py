"""Exact k-nearest-neighbour tables for points of any dimension, by blocked
brute force on NumPy's matrix products (the native k-d tree serves 2 to 8
columns).

The rows equal what the native search returns: neighbours ordered by
(squared distance, index), the squared distance summed over the coordinates
in column order with one rounding per square and per addition, then
square-rooted. A matrix product gives |a|^2 + |b|^2 - 2 a.b far faster, but
with cancellation errors, so it only chooses candidates: every point whose
product-based distance, minus a bound on its error, does not exceed the k-th
smallest product-based distance plus that bound. The candidates' distances
are then recomputed the native way and sorted. Memory: a block of query rows
against all training rows at a time per worker (one per core), about
`block_bytes` in all.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import numpy.typing as npt
from threadpoolctl import threadpool_limits

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]

# Large enough for efficient matrix products (hundreds of query rows against
# 10^4 training points), small beside the neighbour table itself.
BLOCK_BYTES = 64 << 20
# Bytes per (query, training) pair of a block: the shifted distances (then
# partitioned in place), their lower bounds, the candidate mask.
BYTES_PER_ENTRY = 8 + 8 + 1
# Columns per group of the prefilter, and how many candidates per row
# (in units of k) it may leave before whole rows are partitioned instead.
PREFILTER_GROUP = 32
PREFILTER_SPARE = 4
# Candidates whose coordinates are gathered at a time.
CANDIDATE_CHUNK = 1 << 15


def error_factor(d: int) -> float:
    """Bound on |product-based - native squared distance| per unit of
    |a|^2 + |b|^2 (centred coordinates), for a product of d terms (one more
    than the coordinates: the norm rides along as a last term), with room
    to spare.

    A dot product of d terms errs by at most d*u times the sum of its terms'
    magnitudes in any summation order (at most |a|^2 + 2|b|^2 here), the
    squared norms by d*u each, centring the coordinates by 4u of
    |a|^2 + |b|^2 and the native sum itself by (d + 1)*u of the squared
    distance (at most 2(|a|^2 + |b|^2)): about 5d*u in all, against the 8d*u
    allowed, which also covers rounding the bounds and the comparisons.
    """
    u = np.finfo(np.float64).eps / 2
    return 2.0 * (4 * d + 16) * u


def squared_distances(x_query: F64, rows: I64, x_train: F64, cols: I64) -> F64:
    """Squared distance of query row rows[i] to training row cols[i], summed
    in coordinate order (the native search's arithmetic)."""
    total = np.empty(len(rows))
    # In chunks: with many equal distances a row can have far more than k
    # candidates, and a gathered candidate takes d values.
    for start in range(0, len(rows), CANDIDATE_CHUNK):
        part = slice(start, start + CANDIDATE_CHUNK)
        diff = x_query[rows[part]]
        diff -= x_train[cols[part]]
        diff *= diff
        # Running sums add strictly left to right (a plain sum may pair terms).
        total[part] = np.cumsum(diff, axis=1)[:, -1]
    return total


def _true_entries(mask: npt.NDArray[np.bool_], n_cols: int) -> tuple[I64, I64]:
    # np.nonzero walks every byte; the mask is sparse (about k true entries a
    # row), so find the non-zero 8-byte words first and only look inside those.
    flat = mask.reshape(-1)
    words = np.flatnonzero(flat.view(np.uint64))
    where = (words[:, None] * 8 + np.arange(8)).reshape(-1)
    where = where[flat[where]]
    return where // n_cols, where % n_cols


class _Block:
    """Buffers for one block of query rows, reused from block to block."""

    def __init__(self, rows: int, n_train: int):
        self.shifted = np.empty((rows, n_train))
        self.lower = np.empty((rows, n_train))
        # Padded to whole 8-byte words for _true_entries.
        size = rows * n_train
        self.mask = np.zeros(size + (-size) % 8, dtype=bool)


def _block_rows(x_query: F64, x_train: F64, k: int, centre: F64, train_aug: F64,
                train_norms: F64, factor: float, block: _Block) -> tuple[F64, I64]:
    # a = |q|^2 + |t|^2 - 2 q.t errs from the native squared distance by at
    # most s = factor * (|q|^2 + |t|^2). The per-row |q|^2 never changes a
    # row's order, so the product computes b = a - |q|^2 + factor |t|^2 (the
    # appended column of ones picks up (1 + factor) |t|^2): then every one of
    # the k smallest b lies within b + factor |q|^2 of the native value, and a
    # point can only be a neighbour when b - 2 factor |t|^2 does not exceed
    # the k-th smallest b + 2 factor |q|^2.
    m, n_train = len(x_query), len(x_train)
    q = x_query - centre
    q_norms = np.einsum("ij,ij->i", q, q)
    q_aug = np.ones((m, q.shape[1] + 1))
    q_aug[:, :-1] = q
    shifted = block.shifted[:m]
    np.matmul(q_aug, train_aug.T, out=shifted)
    size = m * n_train
    padded = size + (-size) % 8
    block.mask[size:padded] = False
    mask = block.mask[:size].reshape(m, n_train)
    twice_factor_norms = (2.0 * factor) * train_norms
    group = min(PREFILTER_GROUP, n_train // (4 * k))
    if group >= 2:
        # Cheaper than partitioning whole rows: the k-th smallest of the
        # minima of groups of columns is at least the k-th smallest b, and
        # only the few b below it (plus every error allowance) are looked at.
        # When neighbours crowd into few groups (points sorted in space) or
        # far outliers widen the allowance, the bound is loose; then whole
        # rows are partitioned after all.
        whole = n_train - n_train % group
        minima = shifted[:, :whole].reshape(m, -1, group).min(axis=2)
        bound = np.partition(minima, k - 1, axis=1)[:, k - 1]
        bound += (4.0 * factor) * (q_norms + train_norms.max())
        np.less_equal(shifted, bound[:, None], out=mask)
        if np.count_nonzero(mask) <= PREFILTER_SPARE * k * m:
            rows, cols = _true_entries(block.mask[:padded], n_train)
            values = shifted[rows, cols]
            order = np.lexsort((values, rows))
            kth = values[order[np.searchsorted(rows, np.arange(m)) + k - 1]]
            threshold = kth + (2.0 * factor) * q_norms
            keep = values - twice_factor_norms[cols] <= threshold[rows]
            rows, cols = rows[keep], cols[keep]
            return _nearest_candidates(x_query, x_train, k, rows, cols)
    lower = block.lower[:m]
    np.subtract(shifted, twice_factor_norms, out=lower)
    shifted.partition(k - 1, axis=1)
    threshold = shifted[:, k - 1] + (2.0 * factor) * q_norms
    np.less_equal(lower, threshold[:, None], out=mask)
    rows, cols = _true_entries(block.mask[:padded], n_train)
    return _nearest_candidates(x_query, x_train, k, rows, cols)


def _nearest_candidates(x_query: F64, x_train: F64, k: int, rows: I64,
                        cols: I64) -> tuple[F64, I64]:
    # rows ascending, each row's cols ascending, at least k per row.
    m = len(x_query)
    sq = squared_distances(x_query, rows, x_train, cols)
    # Stable, and each row's candidates come in index order: ties stay by index.
    order = np.lexsort((sq, rows))
    # Every row keeps at least k candidates (its k smallest b).
    starts = np.searchsorted(rows[order], np.arange(m))
    pick = order[starts[:, None] + np.arange(k)]
    return np.sqrt(sq[pick]), cols[pick].astype(np.int64)


def cross_table(x_train: F64, x_query: F64, k: int,
                block_bytes: int = BLOCK_BYTES) -> tuple[F64, I64]:
    """The min(k, n_train) nearest training points of every query point, as
    (distances, indices) arrays of shape (n_query, min(k, n_train))."""
    n_train, n_query = len(x_train), len(x_query)
    k = min(k, n_train)
    dist = np.empty((n_query, k))
    index = np.empty((n_query, k), dtype=np.int64)
    if k == 0 or n_query == 0:
        return dist, index
    # Centring keeps the norms, and so the error bounds, as small as the data allow.
    centre = x_train.mean(axis=0)
    train_centred = x_train - centre
    train_norms = np.einsum("ij,ij->i", train_centred, train_centred)
    # One more column than the points have: the product's error bound is
    # that of a d + 1 term dot product.
    factor = error_factor(x_train.shape[1] + 1)
    train_aug = np.empty((n_train, x_train.shape[1] + 1))
    train_aug[:, :-1] = train_centred
    train_aug[:, :-1] *= -2.0
    train_aug[:, -1] = (1.0 + factor) * train_norms
    # Partition, comparisons and gathers run one thread each, so blocks are
    # shared out between workers (each block's rows depend on nothing else:
    # the result is the same for any number of workers).
    n_workers = available_cores()
    step = max(1, min(-(-n_query // n_workers),
                      block_bytes // (n_workers * BYTES_PER_ENTRY * n_train)))
    starts = range(0, n_query, step)
    n_workers = min(n_workers, len(starts))
    buffers = [_Block(step, n_train) for _ in range(n_workers)]

    def work(worker: int) -> None:
        for start in starts[worker::n_workers]:
            stop = min(start + step, n_query)
            dist[start:stop], index[start:stop] = _block_rows(
                x_query[start:stop], x_train, k, centre, train_aug, train_norms, factor,
                buffers[worker])

    if n_workers == 1:
        work(0)
    else:
        # The workers' products run side by side, one BLAS thread each
        # (more would only compete for the same cores).
        with threadpool_limits(1, user_api="blas"), ThreadPoolExecutor(n_workers) as pool:
            for done in [pool.submit(work, w) for w in range(n_workers)]:
                done.result()
    return dist, index


def available_cores() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def self_table(x: F64, k: int, block_bytes: int = BLOCK_BYTES) -> tuple[F64, I64]:
    """The k nearest points of every point (itself first unless an exact copy
    has a smaller index), shape (n, min(k, n))."""
    return cross_table(x, x, k, block_bytes)
