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
against all training rows at a time, about `block_bytes`.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]

# Large enough for efficient matrix products (hundreds of query rows against
# 10^4 training points), small beside the neighbour table itself.
BLOCK_BYTES = 64 << 20
# Arrays of the block's shape alive at once: the shifted distances, their
# partition, the candidate mask (counted as one).
ARRAYS_PER_BLOCK = 3


def error_factor(d: int) -> float:
    """Bound on |product-based - native squared distance| per unit of
    |a|^2 + |b|^2 (centred coordinates), with a factor of 2 to spare.

    A dot product of d terms errs by at most d*u*|a||b| in any summation
    order, the squared norms by d*u each, forming |a|^2 + |b|^2 - 2 a.b by a
    few u of |a|^2 + |b|^2, centring the coordinates by 2u per square and the
    native sum itself by d*u of the squared distance (at most 2(|a|^2 + |b|^2)).
    """
    u = np.finfo(np.float64).eps / 2
    return 2.0 * (4 * d + 16) * u


def squared_distances(x_query: F64, rows: I64, x_train: F64, cols: I64) -> F64:
    """Squared distance of query row rows[i] to training row cols[i], summed
    in coordinate order (the native search's arithmetic)."""
    total = np.zeros(len(rows))
    for j in range(x_query.shape[1]):
        diff = x_query[rows, j] - x_train[cols, j]
        total += diff * diff
    return total


def _block_rows(x_query: F64, x_train: F64, k: int, centre: F64, train_m2: F64,
                train_norms: F64, factor: float) -> tuple[F64, I64]:
    # With s = factor * (|q|^2 + |t|^2) the error bound of a product-based
    # distance a: the candidates are the t with a - s <= (k-th smallest a + s).
    # Shifting every a by factor * |t|^2 (b = a + f|t|^2) leaves one
    # per-column and one per-row term: b - 2f|t|^2 <= k-th smallest b + 2f|q|^2.
    q = x_query - centre
    q_norms = np.einsum("ij,ij->i", q, q)
    b = q @ train_m2.T
    b += q_norms[:, None]
    b += (1.0 + factor) * train_norms
    kth = np.partition(b, k - 1, axis=1)[:, k - 1]
    b -= (2.0 * factor) * train_norms
    rows, cols = np.nonzero(b <= (kth + (2.0 * factor) * q_norms)[:, None])
    del b
    sq = squared_distances(x_query, rows, x_train, cols)
    order = np.lexsort((cols, sq, rows))
    # Every row keeps at least k candidates (those below its k-th upper bound).
    starts = np.searchsorted(rows[order], np.arange(len(x_query)))
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
    train_m2 = -2.0 * train_centred
    factor = error_factor(x_train.shape[1])
    step = max(1, block_bytes // (8 * ARRAYS_PER_BLOCK * n_train))
    for start in range(0, n_query, step):
        stop = min(start + step, n_query)
        dist[start:stop], index[start:stop] = _block_rows(
            x_query[start:stop], x_train, k, centre, train_m2, train_norms, factor)
    return dist, index


def self_table(x: F64, k: int, block_bytes: int = BLOCK_BYTES) -> tuple[F64, I64]:
    """The k nearest points of every point (itself first unless an exact copy
    has a smaller index), shape (n, min(k, n))."""
    return cross_table(x, x, k, block_bytes)
