"""Exact neighbour tables for any number of columns.

    1 column     the native k-d tree on the points with a zero second column:
                 sqrt((a - b)^2 + 0) is |a - b|, so nothing changes
    2-8 columns  the native k-d tree (knn_table, knn_cross: knn_query_cross)
    9 and more   the native k-d tree on the principal axes (knn_wide_table,
                 knn_wide_cross), or blocked brute force on matrix products
                 (brute_force.py) where that tree cannot prune

Rows are ordered by (distance, index) on every road, and the distances are
computed the same way (squares summed in column order, then the root).

The self table of either tree holds int32 indices below 2^31 points
(_native.knn_table, knn_query's rows): n x k x 12 bytes instead of
16, and it sets a run's peak memory. Every other table holds int64 indices;
the readers of a self table take either.
"""

from __future__ import annotations

import time

import numpy as np
import numpy.typing as npt

import quarnel

from . import _native as native
from . import brute_force

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]
# A self table's indices: int32 below 2^31 points, else int64.
Indices = npt.NDArray[np.int32] | npt.NDArray[np.int64]

NATIVE_MAX_DIM = 8
# Most points whose self table holds int32 indices.
INT32_ROWS = int(np.iinfo(np.int32).max)


# The tree of 9 and more columns first searches a sample of its queries and
# gives up, for the brute force, when they scan more than wide_share(d) of
# the points each. Both searches cost about a + b d per (query, point) pair
# they compare; these are the measured a and b, in the same units, of the
# tree scanning every point (its worst case: each point compared along the
# principal axes, then along the original columns) and of the brute force,
# fitted over 16 to 300 columns of points spread in every direction. The
# tree gives way only beyond about 150 columns.
TREE_PAIR, TREE_COLUMN = 0.37, 0.102
BRUTE_PAIR, BRUTE_COLUMN = 8.2, 0.056


def wide_share(d: int) -> float:
    """The share of the points a query of the wide tree may scan, on
    average, before the brute force is the faster search."""
    return (BRUTE_PAIR + BRUTE_COLUMN * d) / (TREE_PAIR + TREE_COLUMN * d)


def is_internal_stop(e: BaseException) -> bool:
    return isinstance(e, native.PanicException)


def _aligned(a: F64) -> F64:
    """a as the native search takes it: C-contiguous and aligned (arrays
    rebuilt from a byte stream, e.g. sent between processes, may not be)."""
    return np.require(a, np.float64, ["C", "A"])


def _native(search, *args):  # type: ignore[no-untyped-def]
    args = tuple(_aligned(a) if isinstance(a, np.ndarray) else a for a in args)
    try:
        return search(*args)
    except BaseException as e:
        # Inputs the checks let through but the search refuses end here.
        if is_internal_stop(e):
            raise ValueError(f"the neighbour search refused these points: {e}") from None
        raise


def _with_zero_column(x: F64) -> F64:
    return np.column_stack([x, np.zeros(len(x))])


def self_table(x: F64, k: int, timings: dict[str, float] | None = None,
               progress: np.ndarray | None = None) -> tuple[F64, Indices]:
    """The min(k, n) nearest points of every point, as (distances, indices)
    arrays of n rows; the indices are int32 below 2^31 points on the trees'
    roads, int64 otherwise. Beyond 8 columns, `timings` (a stage timer's)
    gets the search's seconds under "neighbours (tree)" or "neighbours
    (brute force)", whichever road it took. On the k-d tree's road below 2^31
    points, `progress` (an int64 array of shape (1,)) counts the rows done
    while the search runs, for a progress bar polled from another thread."""
    n, d = x.shape
    if d > NATIVE_MAX_DIM:
        start = time.perf_counter()
        found = _native(native.knn_wide_table, x, k, wide_share(d))
        road = "tree" if found is not None else "brute force"
        if found is None:
            table = brute_force.self_table(x, k)
        else:
            r = min(k, n)
            table = found[0].reshape(n, r), found[1].reshape(n, r)
        if timings is not None:
            key = f"neighbours ({road})"
            timings[key] = timings.get(key, 0.0) + time.perf_counter() - start
        return table
    if n > INT32_ROWS:
        return _tree_table(lambda x: quarnel.knn_query(x, k), x, k)
    return _tree_table(lambda x: native.knn_table(x, k, progress=progress), x, k)


def _tree_table(search, x: F64, k: int) -> tuple[F64, Indices]:  # type: ignore[no-untyped-def]
    """A self search on the k-d tree's road (1 to 8 columns; one column
    searched with a zero second), its flat outputs as n x min(k, n)."""
    n, d = x.shape
    if d == 1:
        x = _with_zero_column(x)
    dist, idx = _native(search, x)
    r = min(k, n)
    return dist.reshape(n, r), idx.reshape(n, r)


def cross_table(x_train: F64, x_query: F64, k: int) -> tuple[F64, I64]:
    """The min(k, n_train) nearest training points of every query point."""
    d = x_train.shape[1]
    if d > NATIVE_MAX_DIM:
        found = _native(native.knn_wide_cross, x_train, x_query, k, wide_share(d))
        if found is None:
            return brute_force.cross_table(x_train, x_query, k)
        r = min(k, len(x_train))
        return found[0].reshape(len(x_query), r), found[1].reshape(len(x_query), r)
    if d == 1:
        x_train, x_query = _with_zero_column(x_train), _with_zero_column(x_query)
    # The driver's copy of knn_query_cross lets other threads run meanwhile
    # (a distributed worker's event loop among them).
    dist, idx = _native(native.knn_cross, x_train, x_query, k)
    r = min(k, len(x_train))
    return dist.reshape(len(x_query), r), idx.reshape(len(x_query), r)
